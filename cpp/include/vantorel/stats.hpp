// Additive net values, drawdowns and headline statistics of daily return series.
#pragma once

#include <array>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

inline constexpr double kTradingDaysPerYear = 252.0;

// Mean of the non-NaN values, summed in order; NaN when there is none.
double nan_mean(const double* x, Index n);

// Mean of each column of a rows x cols row-major block (every value counts, NaN too) x periods;
// NaN for every column when there is no row.
std::vector<double> annual_means(const std::vector<double>& daily, Index rows, Index cols, double periods);

// Annualised Sharpe ratio: mean / sample standard deviation x sqrt(periods), NaN values skipped.
// NaN for fewer than two values or a zero or non-finite standard deviation.
double safe_sharpe(const double* x, Index n, double periods);

// Running sum, sequential from the first value; NaN positions stay NaN and are skipped.
std::vector<double> running_sum(const double* x, Index n);

// Pearson correlation of two equally long series; NaN when undefined.
double pearson(const double* x, const double* y, Index n);

// x minus its running maximum (NaN entries skipped by the maximum and kept as NaN): the drawdown
// of a level series.
std::vector<double> drawdown_from_peak(const double* x, Index n);

// Columns derived for the total frame from rows that have no missing value.
struct TotalFrameColumns {
    std::vector<double> extra_daily_return;
    std::vector<double> long_nav;
    std::vector<double> close;  // filled only when the input had no close column
    std::vector<double> close_net_value;
    std::vector<double> max_drowdown;
    std::vector<double> extra_return;
    std::vector<double> extra_max_drowdown;
};
// `close` may be null (no close column): the benchmark level is then 1 + running sum.
TotalFrameColumns build_total_frame(const double* daily, const double* index_daily, const double* close,
                                    Index n);

// The statistics in the order a normal result lists them.
inline constexpr std::array<const char*, 13> kStatKeys = {"annual_return",   "long_sharp",
                                                          "max_dd",          "benchmark_annual_return",
                                                          "benchmark_sharp", "extra_annual_return",
                                                          "extra_sharp",     "extra_max_dd",
                                                          "return_corr",     "win_rate",
                                                          "excess_win_rate", "holding_count",
                                                          "turnover"};
// The order of the all-missing dictionary of an empty backtest.
inline constexpr std::array<const char*, 13> kEmptyStatKeys = {"annual_return",
                                                               "long_sharp",
                                                               "max_dd",
                                                               "extra_annual_return",
                                                               "extra_sharp",
                                                               "extra_max_dd",
                                                               "benchmark_annual_return",
                                                               "benchmark_sharp",
                                                               "return_corr",
                                                               "win_rate",
                                                               "excess_win_rate",
                                                               "holding_count",
                                                               "turnover"};

// Columns of a total frame whose rows have no missing value.
struct TotalFrameInput {
    const double* daily_return;
    const double* index_daily_return;
    const double* extra_daily_return;
    const double* long_nav;
    const double* close_net_value;
    const double* max_drowdown;
    const double* extra_return;
    const double* extra_max_drowdown;
    Index rows;
};
// Values in kStatKeys order; holding_count and turnover come from the weight summary.
std::array<double, 13> strategy_stats(const TotalFrameInput& total, double holding_count, double turnover);

// A benchmark's daily returns with infinities and missing values read as 0, and its level:
// 1 + their running sum from the series' own first date.
struct BenchmarkLevel {
    std::vector<double> daily;
    std::vector<double> level;
};
BenchmarkLevel benchmark_level(const double* returns, Index n);

// Daily returns joined with one benchmark (the inner join on dates): `to_benchmark` gives each
// return's benchmark row, -1 where the benchmark lacks its date. For the rows kept, the return,
// and the benchmark's level and daily return as benchmark_level gives them over the whole series.
struct BenchmarkJoin {
    IndexMap rows;     // rows of the returns kept, ascending
    IndexMap missing;  // rows of the returns whose date the benchmark lacks, ascending
    std::vector<double> daily_return;
    std::vector<double> close;
    std::vector<double> index_daily_return;
};
BenchmarkJoin join_benchmark(const std::vector<double>& daily, const double* benchmark_returns,
                             Index benchmark_rows, const IndexMap& to_benchmark);

// One benchmark's excess over the strategy on their common dates.
struct ExcessSummary {
    double benchmark_annual_return;
    double excess_annual_return;
    double excess_sharpe;
    double excess_max_dd;  // signed, <= 0
};
ExcessSummary summarise_excess(const double* strategy, const double* benchmark, Index n);
// The same over the dates where `benchmark` (aligned to the strategy's dates) is not NaN;
// false when there is none.
bool summarise_excess_where_present(const double* strategy, const double* benchmark, Index n,
                                    ExcessSummary& out);

// Return series against one benchmark (aligned to their dates, NaN where it lacks one), over the
// dates where the benchmark is present: each series' annual return (the plain mean of its values
// there x 252) and its excess summary. One entry per column of a rows x cols row-major block;
// none when the benchmark is present on no date.
struct BenchmarkSummary {
    double annual_return;
    ExcessSummary excess;
};
std::vector<BenchmarkSummary> summarise_against_benchmark(const double* daily, Index rows, Index cols,
                                                          const double* benchmark);

}  // namespace vantorel
