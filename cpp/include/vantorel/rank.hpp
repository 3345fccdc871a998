// Ranks across stocks within each date.
#pragma once

#include <utility>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// Ranks of the non-NaN values of x[0 .. n) in ascending order, numbered from 1; equal values share
// the mean of their positions; NaN cells stay NaN. `scratch` is reused between calls.
void average_rank(const double* x, Index n, double* out, std::vector<std::pair<double, Index>>& scratch);

// Per date, the average rank of the open-to-open return from the next date to the one after:
// open[i + 2] / open[i + 1] - 1, infinities read as missing. The last two rows are all NaN.
std::vector<double> forward_return_rank(const AlignedView& open);

}  // namespace vantorel
