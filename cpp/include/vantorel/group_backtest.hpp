// The factor group backtest: stocks ranked by a factor each day, cut into equal groups, and every
// group traded as an equal-weight portfolio with the strategy's rules, all groups in one pass.
#pragma once

#include <vector>

#include "vantorel/matrix.hpp"
#include "vantorel/radix_sort.hpp"
#include "vantorel/simulate.hpp"
#include "vantorel/stats.hpp"

namespace vantorel {

inline constexpr Index kDefaultGroupNum = 20;

struct GroupOptions {
    Index group_num = kDefaultGroupNum;
    bool ascending = false;  // false: a larger factor value gives a higher group number
    Index rolling_window = 0;
    TradingCosts costs;
};

struct GroupBacktestResult {
    Index rows = 0;
    Index groups = 0;
    std::vector<double> daily;    // rows x groups, row-major; 0 where a group does not trade
    std::vector<double> rank_ic;  // per row; NaN with fewer than two pairs
    bool traded = false;          // any group traded on any day
};

// Factor values smoothed by a rolling mean over `window` rows: a value needs the whole window
// present (no NaN), as a frame library's default rolling mean does. Windows of 0 or 1 copy.
DenseMatrix rolling_mean(const AlignedView& factor, Index window);

// Run `run` (0-based) of the n ordered eligible stocks of a date cut into o.group_num runs: positions
// [begin, end) = [run * n / G, (run + 1) * n / G), so that sizes differ by at most one and the first
// runs are the smaller ones; its group number counts up from 1, or down from G when ascending.
struct GroupRun {
    Index begin, end, number;
};
inline GroupRun group_run(Index run, Index n, const GroupOptions& o) {
    const Index g = o.group_num;
    return GroupRun{run * n / g, (run + 1) * n / g, o.ascending ? g - run : run + 1};
}

// Group g (1..G) of each date; 0 for a stock outside every group. Eligible stocks have a finite
// factor value and a validity mask equal to 1; they are ordered by value, ties by column
// position, and cut into the runs of group_run, numbered upward from the smallest values, or
// downward when ascending.
// `eligible` receives the eligible stocks in that order (keys of their values); `scratch` is reused.
void assign_groups(const double* factor_row, const AlignedView::Row& valid, Index cols, const GroupOptions& o,
                   std::vector<KeyedIndex>& eligible, std::vector<KeyedIndex>& scratch,
                   std::vector<std::int32_t>& group_of);

// The values the groups are drawn from: the factor itself, or its rolling mean over more than one
// row (rolling_mean). Neither copied nor moved: its view may point into it.
class SignalFactor {
public:
    SignalFactor(const AlignedView& factor, Index rolling_window);
    SignalFactor(const SignalFactor&) = delete;
    SignalFactor& operator=(const SignalFactor&) = delete;
    const AlignedView& view() const { return *factor_; }

private:
    const AlignedView* factor_;
    DenseMatrix smoothed_;
    AlignedView smoothed_view_;
};

// The whole backtest. `factor` and every market view are aligned to the same grid of dates and
// stocks; `forward` holds each date's forward return (or rank), or is null.
GroupBacktestResult run_group_backtest(const AlignedView& factor, const AlignedView& valid,
                                       const AlignedView* forward, const MarketViews& market,
                                       const GroupOptions& options);
// The same on a signal already smoothed as options.rolling_window asks.
GroupBacktestResult run_group_backtest(const SignalFactor& signal, const AlignedView& valid,
                                       const AlignedView* forward, const MarketViews& market,
                                       const GroupOptions& options);

// The group with the highest final net value (`cumulative`, as net_values gives it), the lowest
// number among equals: 1..G, or 0 when no group traded or there is no date.
Index best_group(const GroupBacktestResult& r, const std::vector<double>& cumulative);

// Per column of a rows x cols row-major block: 1 + running sum (the additive net value).
std::vector<double> net_values(const std::vector<double>& daily, Index rows, Index cols);

// Rank IC figures for a chart: mean and mean / sample standard deviation (ICIR) of the present
// values, and their running sum (NaN entries skipped, kept NaN).
struct IcSummary {
    double mean = kNaN;
    double icir = kNaN;
    std::vector<double> cumulative;
};
IcSummary summarise_ic(const std::vector<double>& ic);

}  // namespace vantorel
