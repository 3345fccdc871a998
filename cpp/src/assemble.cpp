#include "vantorel/assemble.hpp"

#include <cmath>

namespace vantorel {

void assemble_numbers(const std::vector<RowSource>& rows, Index cols, double* out) {
    for (const RowSource& src : rows) {
        if (src.view == nullptr) {
            for (Index k = 0; k < cols; ++k)
                out[k] = kNaN;
        } else {
            const AlignedView::Row row = src.view->row(src.row);
            for (Index k = 0; k < cols; ++k)
                out[k] = row.number(k);
        }
        out += cols;
    }
}

void assemble_flags(const std::vector<RowSource>& rows, Index cols, bool missing, std::uint8_t* out) {
    for (const RowSource& src : rows) {
        if (src.view == nullptr) {
            for (Index k = 0; k < cols; ++k)
                out[k] = missing ? 1 : 0;
        } else {
            const AlignedView::Row row = src.view->row(src.row);
            for (Index k = 0; k < cols; ++k)
                out[k] = row.flag(k, missing) ? 1 : 0;
        }
        out += cols;
    }
}

void fill_missing(double* row, const double* fallback, Index cols) {
    for (Index k = 0; k < cols; ++k)
        if (std::isnan(row[k]))
            row[k] = fallback[k];
}

void narrow_to_members(const AlignedView& mask, const std::vector<AlignedView>& memberships, double* out) {
    const Index rows = mask.rows(), cols = mask.cols();
    std::vector<AlignedView::Row> member_rows(memberships.size());
    for (Index i = 0; i < rows; ++i) {
        const AlignedView::Row mask_row = mask.row(i);
        for (std::size_t j = 0; j < memberships.size(); ++j)
            member_rows[j] = memberships[j].row(i);
        for (Index k = 0; k < cols; ++k) {
            double sum = kNaN;
            for (const AlignedView::Row& m : member_rows) {
                const double v = m.number(k);
                if (std::isnan(sum))
                    sum = std::isnan(v) ? kNaN : v;  // NaN + 0 fill: the present side alone
                else if (!std::isnan(v))
                    sum += v;
            }
            out[k] = sum > 0.0 ? mask_row.number(k) : kNaN;
        }
        out += cols;
    }
}

}  // namespace vantorel
