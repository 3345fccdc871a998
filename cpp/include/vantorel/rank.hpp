// Ranks across stocks within each date.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// Average ranks of n keys already in ascending order: positions are numbered from 1 and every run
// of equal keys shares the mean of its positions, written to ranks[position_at(i)].
template <typename KeyAt, typename PositionAt, typename Ranks>
void average_ranks_of_sorted(std::size_t n, KeyAt key_at, PositionAt position_at, Ranks&& ranks) {
    for (std::size_t lo = 0; lo < n;) {
        std::size_t hi = lo + 1;
        while (hi < n && key_at(hi) == key_at(lo))
            ++hi;
        // Positions lo + 1 .. hi share their mean, which is exact in binary.
        const double rank = (static_cast<double>(lo + 1) + static_cast<double>(hi)) / 2.0;
        for (std::size_t j = lo; j < hi; ++j)
            ranks[position_at(j)] = rank;
        lo = hi;
    }
}

// Ranks of the non-NaN values of x[0 .. n) in ascending order, numbered from 1; equal values share
// the mean of their positions; NaN cells stay NaN. `scratch` is reused between calls.
void average_rank(const double* x, Index n, double* out, std::vector<std::pair<double, Index>>& scratch);

// The open-to-open return from the next date to the one after, for a date with two dates after it:
// forward[k] = after_open[k] / next_open[k] - 1, infinities read as missing (NaN).
void forward_open_return_row(const double* next_open, const double* after_open, Index cols, double* forward);

// forward[r, k] = open[r + 2, k] / open[r + 1, k] - 1, infinities as NaN (the last two rows NaN).
DenseMatrix forward_open_return(const AlignedView& open);

// Per date, the average rank of the open-to-open return from the next date to the one after
// (forward_open_return_row). The last two rows are all NaN.
std::vector<double> forward_return_rank(const AlignedView& open);

}  // namespace vantorel
