// Numbers behind the reports: fixed-point text, period drawdowns, yearly metrics, weekly samples,
// rolling stability. Missing values are NaN throughout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vantorel/matrix.hpp"
#include "vantorel/stats.hpp"  // drawdown_from_peak, safe_sharpe

namespace vantorel {

// `value` rounded correctly from its exact binary value to `digits` decimals (halves to even), in
// fixed-point notation; a negative value, negative zero included, keeps its minus sign; an
// infinity is "inf" or "-inf".
std::string format_fixed(double value, int digits);

struct PeriodMetrics {
    double period_return = kNaN;
    double max_drawdown = kNaN;
    double calmar = kNaN;
};

// Sum, maximum drawdown (magnitude, on the additive equity line 1 + running sum, the start level
// counting as a peak) and Calmar (mean x periods / max drawdown, NaN unless the drawdown exceeds
// 1e-12) of daily returns. NaN entries are skipped; an empty input gives NaN for all three.
PeriodMetrics period_metrics(const double* r, Index n, double periods);

struct YearlyRow {
    std::int64_t year = 0;
    double strategy_return, strategy_sharpe, strategy_max_dd, strategy_calmar;
    double excess_return, excess_sharpe, excess_max_dd, excess_calmar;
};

// One row per calendar year in ascending order; infinite and NaN returns are dropped first, and a
// year with neither strategy nor excess returns left gives no row.
std::vector<YearlyRow> yearly_metrics(const std::int64_t* years, const double* strategy, const double* excess,
                                      Index n, double periods);

// Friday (as days since 1970-01-01) that ends the Saturday-to-Friday week holding `day`.
std::int64_t week_ending_friday(std::int64_t day);

// Weekly samples: for each week holding a value in any column, its Friday and, per column, the
// last non-missing value of the week (infinities count as missing). Rows are taken in date order.
struct WeeklySamples {
    std::vector<std::int64_t> fridays;
    std::vector<std::vector<double>> columns;
};
WeeklySamples weekly_last(const std::vector<std::int64_t>& days, const std::vector<const double*>& columns);

// Over full windows of `window` values without NaN: mean / sample std x sqrt(periods), and the
// share of values above zero. Other positions are NaN.
struct RollingStability {
    std::vector<double> sharpe;
    std::vector<double> win_rate;
};
RollingStability rolling_stability(const double* x, Index n, Index window, double periods);

}  // namespace vantorel
