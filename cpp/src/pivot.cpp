#include "vantorel/pivot.hpp"

#include <cmath>

namespace vantorel {

namespace {

// For each used code, its position among the used codes in rank order; -1 for unused codes.
std::vector<std::int32_t> positions_by_rank(const std::vector<std::uint8_t>& used,
                                            const std::vector<Index>& rank,
                                            std::vector<std::int32_t>& labels_out) {
    std::vector<std::int32_t> by_rank(used.size(), -1);
    for (std::size_t code = 0; code < used.size(); ++code)
        if (used[code])
            by_rank[static_cast<std::size_t>(rank[code])] = static_cast<std::int32_t>(code);
    std::vector<std::int32_t> pos(used.size(), -1);
    labels_out.clear();
    for (std::int32_t code : by_rank)
        if (code >= 0) {
            pos[static_cast<std::size_t>(code)] = static_cast<std::int32_t>(labels_out.size());
            labels_out.push_back(code);
        }
    return pos;
}

}  // namespace

std::vector<PivotTable> pivot_groups(const LongTable& t, Index n_groups, const std::vector<Index>& row_rank,
                                     const std::vector<Index>& col_rank) {
    const std::size_t n_rows = row_rank.size(), n_cols = col_rank.size();
    const auto groups = static_cast<std::size_t>(n_groups);
    auto group_of = [&](Index i) -> std::int32_t { return t.group ? t.group[i] : 0; };
    auto kept = [&](Index i) {
        return group_of(i) >= 0 && t.row[i] >= 0 && t.col[i] >= 0 &&
               !std::isnan(t.values[i * t.value_stride]);
    };

    // Pass 1: which labels each group uses.
    std::vector<std::vector<std::uint8_t>> used_rows(groups, std::vector<std::uint8_t>(n_rows, 0));
    std::vector<std::vector<std::uint8_t>> used_cols(groups, std::vector<std::uint8_t>(n_cols, 0));
    for (Index i = 0; i < t.size; ++i) {
        if (!kept(i))
            continue;
        const auto g = static_cast<std::size_t>(group_of(i));
        used_rows[g][static_cast<std::size_t>(t.row[i])] = 1;
        used_cols[g][static_cast<std::size_t>(t.col[i])] = 1;
    }

    std::vector<PivotTable> out(groups);
    std::vector<std::vector<std::int32_t>> row_pos(groups), col_pos(groups);
    for (std::size_t g = 0; g < groups; ++g) {
        row_pos[g] = positions_by_rank(used_rows[g], row_rank, out[g].rows);
        col_pos[g] = positions_by_rank(used_cols[g], col_rank, out[g].cols);
        out[g].values.assign(out[g].rows.size() * out[g].cols.size(), kNaN);
    }

    // Pass 2: scatter in record order, so the last record of a cell stays.
    for (Index i = 0; i < t.size; ++i) {
        if (!kept(i))
            continue;
        const auto g = static_cast<std::size_t>(group_of(i));
        const std::size_t width = out[g].cols.size();
        const auto r = static_cast<std::size_t>(row_pos[g][static_cast<std::size_t>(t.row[i])]);
        const auto c = static_cast<std::size_t>(col_pos[g][static_cast<std::size_t>(t.col[i])]);
        out[g].values[r * width + c] = t.values[i * t.value_stride];
    }
    return out;
}

}  // namespace vantorel
