#include "vantorel/daily_series.hpp"

#include <cmath>

namespace vantorel {

DatedValues daily_values(const std::int32_t* date_code, const double* values, Index value_stride, Index n,
                         const std::vector<Index>& date_rank, bool from_level) {
    const std::size_t n_dates = date_rank.size();
    std::vector<Index> last(n_dates, -1);  // by rank
    std::vector<std::int32_t> code_at(n_dates, -1);
    for (Index i = 0; i < n; ++i) {
        const std::int32_t c = date_code[i];
        if (c < 0)
            continue;
        const auto r = static_cast<std::size_t>(date_rank[static_cast<std::size_t>(c)]);
        last[r] = i;
        code_at[r] = c;
    }
    DatedValues out;
    double previous = kNaN;
    for (std::size_t r = 0; r < n_dates; ++r) {
        if (last[r] < 0)
            continue;
        const double v = values[last[r] * value_stride];
        double value = v;
        if (from_level) {
            value = v / previous - 1.0;
            previous = v;
        }
        if (std::isnan(value))
            continue;
        out.dates.push_back(code_at[r]);
        out.values.push_back(value);
    }
    return out;
}

}  // namespace vantorel
