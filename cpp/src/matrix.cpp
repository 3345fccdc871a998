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

IndexMap identity(Index n) {
    IndexMap map(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i) map[static_cast<std::size_t>(i)] = i;
    return map;
}

}  // namespace

AlignedView::AlignedView(const MatrixView& src, const IndexMap& row_map, const IndexMap& col_map)
    : src_(src),
      row_offset_(offsets(row_map, src.rows, src.row_stride)),
      col_offset_(offsets(col_map, src.cols, src.col_stride)) {}

AlignedView::AlignedView(const MatrixView& src)
    : AlignedView(src, identity(src.rows), identity(src.cols)) {}

}  // namespace vantorel
