// Weight tables: per-row profile, row-wise sparse reading, rolling smoothing, summary.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// What one pass over a weight table learns per row, independent of its memory layout.
struct WeightProfile {
    std::vector<Index> present;  // cells that are not NaN (zeros and infinities count)
    std::vector<Index> finite;   // finite cells (zeros count)
    std::vector<double> change;  // sum over columns of |z[r] - z[r-1]|, z = weights with NaN as 0
                                 // and infinities as the largest finite doubles; change[0] = 0

    Index rows() const { return static_cast<Index>(present.size()); }
    bool row_has_value(Index r) const { return present[static_cast<std::size_t>(r)] > 0; }
    // The last row holding any weight, -1 when none does.
    Index last_row_with_value() const {
        for (Index r = rows(); r-- > 0;)
            if (row_has_value(r))
                return r;
        return -1;
    }
};

struct WeightSummary {
    double holding_count = kNaN;  // mean count of finite weights per row
    double turnover = kNaN;       // mean half sum of absolute changes between consecutive rows
};
WeightSummary summarise_weights(const WeightProfile& p);

// A weight that can trade: non-zero and not NaN (an empty or zero weight trades like none).
struct WeightEntry {
    std::int32_t col;
    double weight;
};

// Reads a weight table once, a block of rows at a time, into buffers that are reused: each row's
// entries in ascending column order, and the row's profile. Row-major tables are read row by
// row, column-major ones down each column through the block, so either is read in storage order.
class WeightBlocks {
public:
    static constexpr std::size_t kBlockRows = 64;
    explicit WeightBlocks(const AlignedView& m, std::size_t block_rows = kBlockRows);
    // The most rows the next blocks read.
    void set_block_rows(std::size_t rows) { block_rows_ = std::max<std::size_t>(rows, 1); }
    // Reads the next block; false when every row has been read.
    bool next();
    Index first_row() const { return first_; }
    std::size_t size() const { return n_; }
    const std::vector<WeightEntry>& entries(std::size_t j) const { return rows_[j]; }
    // The entries of the row just before the block (empty before the first block).
    const std::vector<WeightEntry>& previous_row() const { return previous_row_; }
    // Complete for every row read so far.
    const WeightProfile& profile() const { return profile_; }
    WeightProfile take_profile() { return std::move(profile_); }

private:
    void read_rows();
    void read_columns();
    void profile_block();
    // Notes a present (non-NaN) cell of block row j.
    void record(std::size_t j, Index k, double v);

    const AlignedView& m_;
    std::size_t block_rows_;
    Index first_ = 0;
    std::size_t n_ = 0;
    std::vector<std::vector<WeightEntry>> rows_;
    std::vector<Index> zeros_, infinities_;  // per row of the block
    std::vector<WeightEntry> previous_row_;  // last row of the previous block
    std::vector<double> row_buffer_;
    WeightProfile profile_;
};

// The profile of a whole table.
WeightProfile profile_weights(const AlignedView& m);

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

}  // namespace vantorel
