// Gathers: aligned copies of market matrices, selections of positions and values.
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// Row-major copy of an aligned view as float64, NaN where a cell is absent.
std::vector<double> gather_numbers(const AlignedView& m);

// Row-major copy of an aligned view as flags (non-zero and not NaN); absent cells give `missing`.
std::vector<std::uint8_t> gather_flags(const AlignedView& m, bool missing);

// Positions whose mask byte is non-zero, ascending.
IndexMap positions_where(const std::vector<std::uint8_t>& mask);
// Positions i whose map[i] is not -1 (labels found), ascending.
IndexMap found_positions(const IndexMap& map);
// x[pos[i]] for each i; NaN where pos[i] is -1.
std::vector<double> take(const std::vector<double>& x, const IndexMap& pos);
// outer[inner[i]] for each i, -1 passing through.
IndexMap compose(const IndexMap& outer, const IndexMap& inner);

}  // namespace vantorel
