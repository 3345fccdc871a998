#include "vantorel/derive.hpp"

#include <cmath>

namespace vantorel {

namespace {

template <class Fn>
std::vector<double> cellwise(Index rows, Index cols, Fn&& fn) {
    std::vector<double> out(static_cast<std::size_t>(rows * cols));
    double* o = out.data();
    for (Index i = 0; i < rows; ++i)
        for (Index k = 0; k < cols; ++k)
            *o++ = fn(i, k);
    return out;
}

}  // namespace

std::vector<double> valid_mask(const AlignedView& close) {
    // x * 0 is NaN for NaN and for both infinities, 0 otherwise.
    return cellwise(close.rows(), close.cols(),
                    [&](Index i, Index k) { return std::isfinite(close.number(i, k)) ? 1.0 : kNaN; });
}

std::vector<double> shift_down_one(const AlignedView& x) {
    return cellwise(x.rows(), x.cols(), [&](Index i, Index k) { return i == 0 ? kNaN : x.number(i - 1, k); });
}

std::vector<double> split_ratio(const AlignedView& split_to, const AlignedView& valid) {
    return cellwise(split_to.rows(), split_to.cols(),
                    [&](Index i, Index k) { return split_to.number(i, k) / 10.0 * valid.number(i, k); });
}

std::vector<double> dividend_after_tax(const AlignedView& dividend, const AlignedView& valid) {
    return cellwise(dividend.rows(), dividend.cols(), [&](Index i, Index k) {
        return dividend.number(i, k) / 10.0 * 0.9 + (valid.number(i, k) - 1.0);
    });
}

std::vector<std::uint8_t> limit_flags(const AlignedView& price, const AlignedView& limit,
                                      const AlignedView& suspended, bool buy) {
    const Index rows = price.rows(), cols = price.cols();
    std::vector<std::uint8_t> out(static_cast<std::size_t>(rows * cols));
    const std::vector<Index>& price_cols = price.column_offsets();
    const std::vector<Index>& susp_cols = suspended.column_offsets();
    std::uint8_t* o = out.data();
    for (Index i = 0; i < rows; ++i) {
        const bool price_row = price.row(i).present();
        const bool susp_row = suspended.row(i).present();
        for (Index k = 0; k < cols; ++k) {
            const bool has_e = price_row && price_cols[static_cast<std::size_t>(k)] != AlignedView::kMissing;
            const bool has_s_label =
                susp_row && susp_cols[static_cast<std::size_t>(k)] != AlignedView::kMissing;
            // S is defined (1.0) exactly where the factor has the cell and it is not equal to 1.
            const bool s_defined = has_s_label && !(suspended.number(i, k) == 1.0);
            double total;
            if (has_e) {
                const double e = price.number(i, k) == limit.number(i, k) ? 1.0 : 0.0;
                total = e + (s_defined ? 1.0 : 0.0);
            } else {
                total = s_defined ? 1.0 : kNaN;
            }
            // Comparisons with NaN are false on both sides.
            *o++ = buy ? static_cast<std::uint8_t>(total <= 0.0) : static_cast<std::uint8_t>(total > 0.0);
        }
    }
    return out;
}

std::vector<double> membership_mask(const AlignedView& raw, bool& any) {
    any = false;
    std::vector<double> out = cellwise(raw.rows(), raw.cols(), [&](Index i, Index k) {
        const double v = raw.number(i, k);
        return std::isfinite(v) && v != 0.0 ? 1.0 : kNaN;
    });
    for (double v : out)
        if (v == 1.0) {
            any = true;
            break;
        }
    return out;
}

}  // namespace vantorel
