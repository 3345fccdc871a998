// Scans and transforms of weight matrices: missing rows and columns, rolling smoothing, summary.
#pragma once

#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// For each row: true when at least one cell is not NaN (infinities count as present).
std::vector<std::uint8_t> rows_with_value(const AlignedView& m);

// For each column: true when at least one cell over all rows is not NaN.
std::vector<std::uint8_t> columns_with_value(const AlignedView& m);

// Rolling mean over `window` consecutive rows with missing weights read as 0.
// Row r of the result is the window ending at input row r + window - 1; each value is the
// plain sum of the window from the oldest row to the newest, divided by the window, so an
// all-zero window gives exactly 0 and a constant window that constant.
// Rows whose every value is NaN (only possible through inf - inf) are dropped, their input
// positions reported in `kept_rows`; finally exact zeros become NaN (no signal).
struct SmoothedWeights {
    DenseMatrix values;
    std::vector<Index> kept_rows;  // input row of each result row (the window's last row)
};
SmoothedWeights smooth_weights(const AlignedView& m, Index window);

struct WeightSummary {
    double holding_count = kNaN;  // mean count of finite weights per row
    double turnover = kNaN;       // mean half sum of absolute changes between consecutive rows
};
// NaN reads as 0 in turnover, infinities as the largest finite doubles.
WeightSummary summarise_weights(const AlignedView& m);

}  // namespace vantorel
