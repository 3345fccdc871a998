// Ranks across stocks within each date.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Reused buffers of average_ranks.
struct RankScratch {
    std::vector<std::uint32_t> bucket, start, cursor, order, sorted_bucket;
    std::vector<double> sorted_value;
};

// Average ranks (from 1, ties sharing the mean of their positions) of n values, none NaN, into
// ranks[0 .. n). Values are spread over n buckets by their place between the least and the greatest,
// and each bucket is then sorted on its own: linear for the spread of returns, never worse than a
// comparison sort.
void average_ranks(const double* values, std::size_t n, double* ranks, RankScratch& scratch);

// Pearson correlation of two series of average ranks 1..n (as average_ranks gives them): the
// Spearman correlation; NaN for fewer than two or a side without spread.
double rank_correlation(const double* rx, const double* ry, std::size_t n);

// Reused buffers of spearman_of_sorted.
struct SpearmanScratch {
    std::vector<double> rx, ry;
    RankScratch ranks;
};

// Spearman correlation of n pairs given in ascending order of their x keys (any order-preserving
// image of x): the Pearson correlation of the average ranks of both sides; NaN for fewer than two
// pairs or a side without spread.
double spearman_of_sorted(const std::vector<std::uint64_t>& x_keys, const std::vector<double>& y,
                          SpearmanScratch& scratch);

// The open-to-open return from the next date to the one after, for a date with two dates after it:
// forward[k] = after_open[k] / next_open[k] - 1, infinities read as missing (NaN).
void forward_open_return_row(const double* next_open, const double* after_open, Index cols, double* forward);

// forward[r, k] = open[r + 2, k] / open[r + 1, k] - 1, infinities as NaN (the last two rows NaN).
DenseMatrix forward_open_return(const AlignedView& open);

// Per date, the average rank of the open-to-open return from the next date to the one after
// (forward_open_return_row). The last two rows are all NaN.
std::vector<double> forward_return_rank(const AlignedView& open);

}  // namespace vantorel
