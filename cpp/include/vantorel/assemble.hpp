// Dense C-order blocks assembled row by row from aligned sources (tail merges, column changes).
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// Where one output row comes from: a row of an aligned view, or nothing (every cell missing).
struct RowSource {
    const AlignedView* view = nullptr;
    Index row = 0;
};

// out[i, k] = rows[i] read at column k as float64; NaN where the source or the cell is missing.
void assemble_numbers(const std::vector<RowSource>& rows, Index cols, double* out);
// Same as flags (non-zero and not NaN); a missing source or cell gives `missing`.
void assemble_flags(const std::vector<RowSource>& rows, Index cols, bool missing, std::uint8_t* out);

// NaN cells of `row` take the value of `fallback` at the same column.
void fill_missing(double* row, const double* fallback, Index cols);

// A tradability mask narrowed to the members of the selected indices: the memberships are summed
// cell by cell (a NaN term counts as 0 unless every term so far is NaN) and a cell stays tradable
// only where that sum is greater than 0; out[i, k] = mask[i, k] there and NaN elsewhere.
void narrow_to_members(const AlignedView& mask, const std::vector<AlignedView>& memberships, double* out);

}  // namespace vantorel
