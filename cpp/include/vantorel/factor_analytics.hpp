// What a researcher judges a factor by beyond its groups' returns: how fast its information decays,
// how much its groups churn, how stable its ranking is from day to day, what its groups predict
// before trading, and how the top-minus-bottom portfolio behaves.
#pragma once

#include <array>
#include <vector>

#include "vantorel/group_backtest.hpp"
#include "vantorel/ic_stats.hpp"

namespace vantorel {

// Forward horizons of the IC decay, in trading days.
inline constexpr std::array<Index, 6> kIcHorizons = {1, 2, 3, 5, 10, 20};

// Per-date measures of a factor's signal, read beside (not from) the group backtest.
struct SignalAnalytics {
    Index rows = 0;
    Index groups = 0;
    // rows x kIcHorizons: the rank IC against the h-day forward return, the open-to-open return from
    // the next date to h dates after it, over the date's eligible stocks (NaN without the opens).
    std::vector<double> horizon_ic;
    // rows x groups: the share of a group's members that were not in it on the previous date; NaN on
    // the first date and for an empty group.
    std::vector<double> turnover;
    // Per date: Spearman correlation of the factor with the previous date's over the stocks eligible
    // on both; NaN on the first date and with fewer than two.
    std::vector<double> autocorrelation;
    // rows x groups: the mean 1-day forward return of a group's members (NaN when none has one).
    std::vector<double> forward_return;
};

// The measures of `signal` (the factor as the groups see it) over the stocks `valid` admits, the
// forward returns read from `open` (null: forward figures NaN). Eligibility and groups as
// assign_groups gives them.
SignalAnalytics analyse_signal(const AlignedView& signal, const AlignedView& valid, const AlignedView* open,
                               const GroupOptions& options);

// The group backtest and the analysis of its signal, run side by side on two threads. The 1-day
// column of horizon_ic is the backtest's own rank IC. Without `analyse` the signal is not analysed
// (every per-date measure NaN but that column).
struct FactorBacktest {
    GroupBacktestResult groups;
    SignalAnalytics analytics;
};
FactorBacktest run_factor_backtest(const AlignedView& factor, const AlignedView& valid,
                                   const AlignedView* forward, const AlignedView* open,
                                   const MarketViews& market, const GroupOptions& options,
                                   bool analyse = true);

// Column k of a rows x cols row-major block.
std::vector<double> block_column(const std::vector<double>& block, Index rows, Index cols, Index k);

// The last group minus the first, each date: the top minus the bottom in the chosen direction, with
// its additive net value (1 + running sum), drawdown from the running peak, annual return (mean x
// 252), Sharpe and maximum drawdown (a non-negative magnitude). NaN values are skipped.
struct LongShort {
    std::vector<double> daily, net_value, drawdown;
    double annual_return = kNaN, sharpe = kNaN, max_drawdown = kNaN;
};
LongShort long_short(const std::vector<double>& daily, Index rows, Index groups);

// Each group's annual return: the mean of its present daily returns x 252 (NaN when none).
std::vector<double> group_annual_returns(const std::vector<double>& daily, Index rows, Index groups);

// Spearman correlation of the group numbers 1..G with the groups' annual returns, groups with a NaN
// return left out: +1 when the returns rise with the group number.
double monotonicity(const std::vector<double>& annual_returns);

}  // namespace vantorel
