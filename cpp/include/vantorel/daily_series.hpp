// Daily series read from long tables: one value per date.
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

struct DatedValues {
    std::vector<std::int32_t> dates;  // date codes, in ascending label order
    std::vector<double> values;
};

// One value per date: of several records of a date the last one counts; records with a negative
// date code are left out; `value_stride` is in elements. `date_rank` orders the codes by label. With
// `from_level` the values are levels (closing prices) and each date gets level / previous date's level - 1
// (NaN for the first date and next to a missing level: nothing is carried across a gap). Dates whose value is
// NaN are left out.
DatedValues daily_values(const std::int32_t* date_code, const double* values, Index value_stride, Index n,
                         const std::vector<Index>& date_rank, bool from_level);

}  // namespace vantorel
