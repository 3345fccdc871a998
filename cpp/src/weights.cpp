#include "vantorel/weights.hpp"

#include <cmath>

namespace vantorel {

std::vector<std::uint8_t> rows_with_value(const AlignedView& m) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(m.rows()), 0);
    if (m.source().column_major()) {
        for (Index k = 0; k < m.cols(); ++k)
            for (Index i = 0; i < m.rows(); ++i)
                if (!out[static_cast<std::size_t>(i)] && !std::isnan(m.number(i, k))) out[static_cast<std::size_t>(i)] = 1;
    } else {
        for (Index i = 0; i < m.rows(); ++i)
            for (Index k = 0; k < m.cols(); ++k)
                if (!std::isnan(m.number(i, k))) {
                    out[static_cast<std::size_t>(i)] = 1;
                    break;
                }
    }
    return out;
}

std::vector<std::uint8_t> columns_with_value(const AlignedView& m) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(m.cols()), 0);
    if (m.source().column_major()) {
        for (Index k = 0; k < m.cols(); ++k)
            for (Index i = 0; i < m.rows(); ++i)
                if (!std::isnan(m.number(i, k))) {
                    out[static_cast<std::size_t>(k)] = 1;
                    break;
                }
    } else {
        for (Index i = 0; i < m.rows(); ++i)
            for (Index k = 0; k < m.cols(); ++k)
                if (!out[static_cast<std::size_t>(k)] && !std::isnan(m.number(i, k))) out[static_cast<std::size_t>(k)] = 1;
    }
    return out;
}

SmoothedWeights smooth_weights(const AlignedView& m, Index window) {
    SmoothedWeights result;
    const Index rows = m.rows(), cols = m.cols();
    result.values.cols = cols;
    if (window < 1 || rows < window) return result;

    // Dense copy with missing weights as 0, row-major so each window sum walks whole rows.
    std::vector<double> filled(static_cast<std::size_t>(rows * cols));
    for (Index i = 0; i < rows; ++i)
        for (Index k = 0; k < cols; ++k) {
            const double v = m.number(i, k);
            filled[static_cast<std::size_t>(i * cols + k)] = std::isnan(v) ? 0.0 : v;
        }

    const Index out_rows = rows - window + 1;
    std::vector<double>& out = result.values.values;
    out.assign(static_cast<std::size_t>(out_rows * cols), 0.0);
    const double w = static_cast<double>(window);
    Index kept = 0;
    for (Index r = 0; r < out_rows; ++r) {
        double* dst = out.data() + kept * cols;
        const double* first = filled.data() + r * cols;
        for (Index k = 0; k < cols; ++k) dst[k] = first[k];
        for (Index j = 1; j < window; ++j) {
            const double* src = filled.data() + (r + j) * cols;
            for (Index k = 0; k < cols; ++k) dst[k] += src[k];
        }
        bool any = false;
        for (Index k = 0; k < cols; ++k) {
            dst[k] /= w;
            any = any || !std::isnan(dst[k]);
        }
        if (!any) continue;  // an all-missing row is dropped before zeros turn into NaN
        for (Index k = 0; k < cols; ++k)
            if (dst[k] == 0.0) dst[k] = kNaN;
        result.kept_rows.push_back(r + window - 1);
        ++kept;
    }
    out.resize(static_cast<std::size_t>(kept * cols));
    result.values.rows = kept;
    return result;
}

WeightSummary summarise_weights(const AlignedView& m) {
    WeightSummary s;
    const Index rows = m.rows(), cols = m.cols();
    if (rows == 0) return s;
    auto as_zero_filled = [](double v) {
        if (std::isnan(v)) return 0.0;
        if (std::isinf(v)) return v > 0 ? kMaxFinite : -kMaxFinite;
        return v;
    };
    std::vector<double> finite_count(static_cast<std::size_t>(rows), 0.0);
    std::vector<double> change(static_cast<std::size_t>(rows), 0.0);  // change[i]: row i against row i-1
    if (m.source().column_major()) {
        for (Index k = 0; k < cols; ++k) {
            double prev = 0.0;
            for (Index i = 0; i < rows; ++i) {
                const double v = m.number(i, k);
                if (std::isfinite(v)) finite_count[static_cast<std::size_t>(i)] += 1.0;
                const double z = as_zero_filled(v);
                if (i > 0) change[static_cast<std::size_t>(i)] += std::fabs(z - prev);
                prev = z;
            }
        }
    } else {
        for (Index i = 0; i < rows; ++i)
            for (Index k = 0; k < cols; ++k) {
                const double v = m.number(i, k);
                if (std::isfinite(v)) finite_count[static_cast<std::size_t>(i)] += 1.0;
                if (i > 0)
                    change[static_cast<std::size_t>(i)] += std::fabs(as_zero_filled(v) - as_zero_filled(m.number(i - 1, k)));
            }
    }
    double count_sum = 0.0;
    for (double c : finite_count) count_sum += c;
    s.holding_count = count_sum / static_cast<double>(rows);
    if (rows > 1) {
        double change_sum = 0.0;
        for (Index i = 1; i < rows; ++i) change_sum += change[static_cast<std::size_t>(i)];
        s.turnover = change_sum / static_cast<double>(rows - 1) * 0.5;
    }
    return s;
}

}  // namespace vantorel
