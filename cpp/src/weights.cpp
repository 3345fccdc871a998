#include "vantorel/weights.hpp"

#include <algorithm>
#include <cmath>

#include "vantorel/nan_scan.hpp"
#include "vantorel/row_blocks.hpp"

namespace vantorel {

WeightBlocks::WeightBlocks(const AlignedView& m, std::size_t block_rows) : m_(m), block_rows_(block_rows) {
    const auto R = static_cast<std::size_t>(m.rows());
    profile_.present.assign(R, 0);
    profile_.finite.assign(R, 0);
    profile_.change.assign(R, 0.0);
}

bool WeightBlocks::next() {
    if (n_ > 0)
        previous_row_ = rows_[n_ - 1];
    first_ += static_cast<Index>(n_);
    const Index rows = m_.rows();
    if (first_ >= rows) {
        n_ = 0;
        return false;
    }
    n_ = static_cast<std::size_t>(std::min<Index>(static_cast<Index>(block_rows_), rows - first_));
    if (rows_.size() < n_)
        rows_.resize(n_);
    for (std::size_t j = 0; j < n_; ++j)
        rows_[j].clear();
    zeros_.assign(n_, 0);
    infinities_.assign(n_, 0);
    if (m_.source().column_major())
        read_columns();
    else
        read_rows();
    profile_block();
    return true;
}

void WeightBlocks::record(std::size_t j, Index k, double v) {
    if (v != 0.0)
        rows_[j].push_back(WeightEntry{static_cast<std::int32_t>(k), v});
    else
        ++zeros_[j];
    if (v - v != 0.0)  // infinite
        ++infinities_[j];
}

void WeightBlocks::read_rows() {
    const Index cols = m_.cols();
    row_buffer_.resize(static_cast<std::size_t>(cols));
    for (std::size_t j = 0; j < n_; ++j) {
        const Index r = first_ + static_cast<Index>(j);
        const double* row = m_.contiguous_row(r);
        if (row == nullptr) {
            m_.read_row(r, row_buffer_.data());
            row = row_buffer_.data();
        }
        for_each_present(row, cols, [&](Index k) { record(j, k, row[k]); });
    }
}

void WeightBlocks::read_columns() {
    const Index cols = m_.cols();
    // Each column's run through the block is a wait on memory: the runs of the columns a little further
    // on are fetched meanwhile, and so is the start of each column's next run, which the next block reads.
    constexpr Index kAhead = 16;
    const auto n = static_cast<Index>(n_);
    const Index fetched = std::min(n + 1, m_.rows() - first_);  // the block's rows and the next one's first
    for (Index k = 0; k < cols; ++k) {
        if (k + kAhead < cols)
            if (const double* ahead = m_.contiguous_column(k + kAhead))
                for (Index j = 0; j < fetched; j += 8)
                    __builtin_prefetch(ahead + first_ + j);
        if (const double* column = m_.contiguous_column(k)) {
            const double* run = column + first_;  // the block's rows of this column
            for_each_present(run, static_cast<Index>(n_),
                             [&](Index j) { record(static_cast<std::size_t>(j), k, run[j]); });
            continue;
        }
        for (std::size_t j = 0; j < n_; ++j) {
            const double v = m_.number(first_ + static_cast<Index>(j), k);
            if (v == v)
                record(j, k, v);
        }
    }
}

namespace {

// Sum over columns of |z_b - z_a| for two sorted entry lists; absent cells are 0 on their side, and
// weights are neutralised (NaN as 0, infinities as the largest finite doubles).
double row_change(const std::vector<WeightEntry>& a, const std::vector<WeightEntry>& b) {
    double sum = 0.0;
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (j >= b.size() || (i < a.size() && a[i].col < b[j].col)) {
            sum += std::fabs(0.0 - neutralise(a[i++].weight));
        } else if (i >= a.size() || b[j].col < a[i].col) {
            sum += std::fabs(neutralise(b[j++].weight) - 0.0);
        } else {
            sum += std::fabs(neutralise(b[j++].weight) - neutralise(a[i++].weight));
        }
    }
    return sum;
}

}  // namespace

void WeightBlocks::profile_block() {
    for (std::size_t j = 0; j < n_; ++j) {
        const auto r = static_cast<std::size_t>(first_) + j;
        const auto present = static_cast<Index>(rows_[j].size()) + zeros_[j];
        profile_.present[r] = present;
        profile_.finite[r] = present - infinities_[j];
        if (r > 0)
            profile_.change[r] = row_change(j > 0 ? rows_[j - 1] : previous_row_, rows_[j]);
    }
}

WeightProfile profile_weights(const AlignedView& m) {
    WeightBlocks blocks(m);
    while (blocks.next()) {
    }
    return blocks.take_profile();
}

WeightSummary summarise_weights(const WeightProfile& p) {
    WeightSummary s;
    const Index rows = p.rows();
    if (rows == 0)
        return s;
    double count_sum = 0.0;
    for (Index c : p.finite)
        count_sum += static_cast<double>(c);
    s.holding_count = count_sum / static_cast<double>(rows);
    if (rows > 1) {
        double change_sum = 0.0;
        for (Index r = 1; r < rows; ++r)
            change_sum += p.change[static_cast<std::size_t>(r)];
        s.turnover = change_sum / static_cast<double>(rows - 1) * 0.5;
    }
    return s;
}

SmoothedWeights smooth_weights(const AlignedView& m, Index window) {
    SmoothedWeights result;
    const Index rows = m.rows(), cols = m.cols();
    result.values.cols = cols;
    if (window < 1 || rows < window)
        return result;

    // Dense copy with missing weights as 0, row-major so each window sum walks whole rows.
    std::vector<double> filled(static_cast<std::size_t>(rows * cols));
    RowBlocks days(m);
    for (Index i = 0; i < rows; ++i) {
        if (i % days.block_rows() == 0)
            days.load(i, std::min(days.block_rows(), rows - i));
        double* dst = filled.data() + i * cols;
        days.read_row(i, dst);
        for (Index k = 0; k < cols; ++k)
            if (std::isnan(dst[k]))
                dst[k] = 0.0;
    }

    const Index out_rows = rows - window + 1;
    std::vector<double>& out = result.values.values;
    out.assign(static_cast<std::size_t>(out_rows * cols), 0.0);
    const double w = static_cast<double>(window);
    Index kept = 0;
    for (Index r = 0; r < out_rows; ++r) {
        double* dst = out.data() + kept * cols;
        const double* first = filled.data() + r * cols;
        for (Index k = 0; k < cols; ++k)
            dst[k] = first[k];
        for (Index j = 1; j < window; ++j) {
            const double* src = filled.data() + (r + j) * cols;
            for (Index k = 0; k < cols; ++k)
                dst[k] += src[k];
        }
        bool any = false;
        for (Index k = 0; k < cols; ++k) {
            dst[k] /= w;
            any = any || !std::isnan(dst[k]);
        }
        if (!any)
            continue;  // an all-missing row is dropped before zeros turn into NaN
        for (Index k = 0; k < cols; ++k)
            if (dst[k] == 0.0)
                dst[k] = kNaN;
        result.kept_rows.push_back(r + window - 1);
        ++kept;
    }
    out.resize(static_cast<std::size_t>(kept * cols));
    result.values.rows = kept;
    return result;
}

}  // namespace vantorel
