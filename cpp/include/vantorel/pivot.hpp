// Long (row, column, value) tables turned into dense date x stock matrices.
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// One row per record of a long table. Codes are -1 where the record has no such label; `group`
// may be null (every record in group 0). `values` has `value_stride` elements between records.
struct LongTable {
    const std::int32_t* group = nullptr;
    const std::int32_t* row = nullptr;
    const std::int32_t* col = nullptr;
    const double* values = nullptr;
    Index value_stride = 1;
    Index size = 0;
};

// A pivoted group: the row and column label codes it uses, in ascending label order, and the
// row-major values (NaN where no record gives the cell).
struct PivotTable {
    std::vector<std::int32_t> rows;
    std::vector<std::int32_t> cols;
    std::vector<double> values;
};

// Pivots every group at once. Records without a row label, a column label or a value (NaN) are
// left out, and of several records for one cell the last one wins. A group's rows and columns are
// the labels its kept records use, ordered by `row_rank` / `col_rank` (position of each code in
// ascending label order). A group without any kept record comes back with no rows and columns.
std::vector<PivotTable> pivot_groups(const LongTable& t, Index n_groups, const std::vector<Index>& row_rank,
                                     const std::vector<Index>& col_rank);

}  // namespace vantorel
