#include "vantorel/matrix.hpp"

namespace vantorel {

namespace {

std::vector<Index> offsets(const IndexMap& map, Index extent, Index stride) {
    std::vector<Index> out(map.size());
    for (std::size_t i = 0; i < map.size(); ++i) {
        const Index p = map[i];
        out[i] = (p < 0 || p >= extent) ? AlignedView::kMissing : p * stride;
    }
    return out;
}

}  // namespace

IndexMap identity_map(Index n) {
    IndexMap map(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i)
        map[static_cast<std::size_t>(i)] = i;
    return map;
}

AlignedView::AlignedView(const MatrixView& src, const IndexMap& row_map, const IndexMap& col_map)
    : src_(src),
      row_offset_(offsets(row_map, src.rows, src.row_stride)),
      col_offset_(offsets(col_map, src.cols, src.col_stride)) {
    contiguous_rows_ = src.kind == ElementKind::Float64 && (src.col_stride == 1 || col_offset_.size() <= 1);
    for (std::size_t k = 0; contiguous_rows_ && k < col_offset_.size(); ++k)
        contiguous_rows_ = col_offset_[k] == static_cast<Index>(k);
    contiguous_cols_ = src.kind == ElementKind::Float64 && (src.row_stride == 1 || row_offset_.size() <= 1);
    for (std::size_t i = 0; contiguous_cols_ && i < row_offset_.size(); ++i)
        contiguous_cols_ = row_offset_[i] == static_cast<Index>(i);
}

AlignedView::AlignedView(const MatrixView& src)
    : AlignedView(src, identity_map(src.rows), identity_map(src.cols)) {}

AlignedView::Row AlignedView::row(Index i) const {
    Row r;
    const Index ro = row_offset_[static_cast<std::size_t>(i)];
    const Index size = src_.kind == ElementKind::Float64 ? static_cast<Index>(sizeof(double)) : 1;
    // Column offsets are in elements; the base is kept in bytes of the element type's array.
    r.base_ = ro == kMissing ? nullptr : static_cast<const std::uint8_t*>(src_.data) + ro * size;
    r.kind_ = src_.kind;
    r.col_offset_ = col_offset_.data();
    return r;
}

void AlignedView::read_row(Index i, double* out) const {
    const Index n = cols();
    const Index ro = row_offset_[static_cast<std::size_t>(i)];
    if (ro != kMissing && src_.kind == ElementKind::Float64) {
        const double* base = static_cast<const double*>(src_.data) + ro;
        for (Index k = 0; k < n; ++k) {
            const Index co = col_offset_[static_cast<std::size_t>(k)];
            out[k] = co == kMissing ? kNaN : base[co];
        }
        return;
    }
    for (Index k = 0; k < n; ++k)
        out[k] = number(i, k);
}

}  // namespace vantorel
