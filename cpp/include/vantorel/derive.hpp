// The stored matrices derived from source factors. Every input is an AlignedView onto the result's
// labels (a cell the source lacks reads as NaN); results are row-major over those labels.
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// 1.0 where the close is a finite number, NaN elsewhere (close x 0 + 1).
std::vector<double> valid_mask(const AlignedView& close);

// Row i holds row i - 1; the first row is NaN.
std::vector<double> shift_down_one(const AlignedView& x);

// Split ratio: split_coefficient_to / 10 x valid.
std::vector<double> split_ratio(const AlignedView& split_to, const AlignedView& valid);

// Cash dividend per share after tax: dividend per ten shares / 10 x 0.9 + (valid - 1), so NaN
// wherever the close is missing.
std::vector<double> dividend_after_tax(const AlignedView& dividend, const AlignedView& valid);

// Tradability flags on the union of the price's and the suspension factor's labels.
//   E = price == limit, defined on the price's labels (a NaN side compares false);
//   S = 1 where the suspension factor is not 1 (missing included), undefined where it is 1,
//       defined on the factor's labels;
//   T = E + S, a cell undefined on one side taken as 0, undefined when undefined on both.
// `price` and `suspended` must report absent cells (labels they lack) as missing; `limit` is read
// only where the price has the cell. buy: T <= 0 (may buy); sell: T > 0 (cannot sell). An
// undefined T gives false in both.
std::vector<std::uint8_t> limit_flags(const AlignedView& price, const AlignedView& limit,
                                      const AlignedView& suspended, bool buy);

// Index membership: 1.0 where the cell is a non-zero finite number, NaN elsewhere (0 and
// infinities read as missing). `any` reports whether some cell is a member.
std::vector<double> membership_mask(const AlignedView& raw, bool& any);

}  // namespace vantorel
