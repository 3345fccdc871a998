// Materialising aligned copies of market matrices.
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// Row-major copy of an aligned view as float64, NaN where a cell is absent.
std::vector<double> gather_numbers(const AlignedView& m);

// Row-major copy of an aligned view as flags (non-zero and not NaN); absent cells give `missing`.
std::vector<std::uint8_t> gather_flags(const AlignedView& m, bool missing);

}  // namespace vantorel
