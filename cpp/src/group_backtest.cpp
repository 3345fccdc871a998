#include "vantorel/group_backtest.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "vantorel/day_trader.hpp"
#include "vantorel/rank.hpp"
#include "vantorel/row_blocks.hpp"
#include "vantorel/stats.hpp"

namespace vantorel {

namespace {

// Spearman correlation of pairs given in ascending order of their first keys.
double spearman_sorted(const std::vector<std::uint64_t>& x_keys, const std::vector<double>& y,
                       std::vector<KeyedIndex>& by_y, std::vector<KeyedIndex>& scratch, std::vector<double>& rx,
                       std::vector<double>& ry) {
    const std::size_t n = y.size();
    if (n < 2)
        return kNaN;
    rx.resize(n);
    average_ranks_of_sorted(n, [&](std::size_t i) { return x_keys[i]; }, [](std::size_t i) { return i; }, rx);
    by_y.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        by_y[i] = KeyedIndex{sortable_key(y[i]), static_cast<std::int32_t>(i)};
    radix_sort(by_y, scratch);
    ry.resize(n);
    average_ranks_of_sorted(
        n, [&](std::size_t i) { return by_y[i].key; },
        [&](std::size_t i) { return static_cast<std::size_t>(by_y[i].index); }, ry);
    return pearson(rx.data(), ry.data(), static_cast<Index>(n));
}

}  // namespace

DenseMatrix rolling_mean(const AlignedView& factor, Index window) {
    DenseMatrix out;
    out.rows = factor.rows();
    out.cols = factor.cols();
    out.values.assign(static_cast<std::size_t>(out.rows * out.cols), kNaN);
    RowBlocks days(factor);
    for (Index i = 0; i < out.rows; ++i) {
        if (i % days.block_rows() == 0)
            days.load(i, std::min(days.block_rows(), out.rows - i));
        days.read_row(i, out.values.data() + i * out.cols);
    }
    if (window <= 1)
        return out;
    // Each value is the plain sum of its window, oldest first, divided by the window.
    std::vector<double> smoothed(out.values.size(), kNaN);
    for (Index i = window - 1; i < out.rows; ++i) {
        double* dst = smoothed.data() + i * out.cols;
        for (Index k = 0; k < out.cols; ++k) {
            double sum = 0.0;
            bool full = true;
            for (Index r = i - window + 1; r <= i; ++r) {
                const double v = out.values[static_cast<std::size_t>(r * out.cols + k)];
                if (std::isnan(v)) {
                    full = false;
                    break;
                }
                sum += v;
            }
            dst[k] = full ? sum / static_cast<double>(window) : kNaN;
        }
    }
    out.values.swap(smoothed);
    return out;
}

void assign_groups(const double* factor_row, const AlignedView::Row& valid, Index cols, const GroupOptions& o,
                   std::vector<KeyedIndex>& eligible, std::vector<KeyedIndex>& scratch,
                   std::vector<std::int32_t>& group_of) {
    eligible.clear();
    group_of.assign(static_cast<std::size_t>(cols), 0);
    for (Index k = 0; k < cols; ++k)
        if (std::isfinite(factor_row[k]) && valid.number(k) == 1.0)
            eligible.push_back(KeyedIndex{sortable_key(factor_row[k]), static_cast<std::int32_t>(k)});
    // A stable sort of stocks listed in column order: ties keep column order.
    radix_sort(eligible, scratch);
    const auto n = static_cast<Index>(eligible.size());
    for (Index run = 0; run < o.group_num; ++run) {
        const GroupRun g = group_run(run, n, o);
        for (Index p = g.begin; p < g.end; ++p)
            group_of[static_cast<std::size_t>(eligible[static_cast<std::size_t>(p)].index)] =
                static_cast<std::int32_t>(g.number);
    }
}

std::vector<double> net_values(const std::vector<double>& daily, Index rows, Index cols) {
    std::vector<double> out(daily.size());
    for (Index k = 0; k < cols; ++k) {
        // As the strategy's net value: a NaN day stays NaN and the sum goes on without it.
        double level = 1.0;
        for (Index i = 0; i < rows; ++i) {
            const auto at = static_cast<std::size_t>(i * cols + k);
            if (std::isnan(daily[at])) {
                out[at] = kNaN;
                continue;
            }
            level += daily[at];
            out[at] = level;
        }
    }
    return out;
}

IcSummary summarise_ic(const std::vector<double>& ic) {
    IcSummary out;
    const auto n = static_cast<Index>(ic.size());
    out.cumulative = running_sum(ic.data(), n);
    out.mean = nan_mean(ic.data(), n);
    out.icir = safe_sharpe(ic.data(), n, 1.0);
    return out;
}

Index best_group(const GroupBacktestResult& r, const std::vector<double>& cumulative) {
    if (!r.traded || r.rows == 0)
        return 0;
    Index top = 0;
    const auto last = static_cast<std::size_t>((r.rows - 1) * r.groups);
    for (Index g = 1; g < r.groups; ++g)
        if (cumulative[last + static_cast<std::size_t>(g)] > cumulative[last + static_cast<std::size_t>(top)])
            top = g;
    return top + 1;
}

GroupBacktestResult run_group_backtest(const AlignedView& factor, const AlignedView& valid, const AlignedView* forward,
                                       const MarketViews& market, const GroupOptions& options) {
    GroupBacktestResult out;
    out.rows = factor.rows();
    out.groups = options.group_num;
    const Index cols = factor.cols();
    const auto groups = static_cast<std::size_t>(options.group_num);
    out.daily.assign(static_cast<std::size_t>(out.rows) * groups, 0.0);
    out.rank_ic.assign(static_cast<std::size_t>(out.rows), kNaN);
    // Without smoothing the factor is read a row at a time: no copy of the whole table.
    const bool smoothing = options.rolling_window > 1;
    const DenseMatrix smoothed = smoothing ? rolling_mean(factor, options.rolling_window) : DenseMatrix{};
    std::vector<double> factor_row(smoothing ? 0 : static_cast<std::size_t>(cols));
    // Every input is read a block of days at a time, whatever its memory order.
    constexpr Index kDays = RowBlocks::kBlockRows;
    RowBlocks factor_days(factor), valid_days(valid), forward_days;
    if (forward != nullptr)
        forward_days = RowBlocks(*forward);
    trading::MarketBlocks market_days(market);

    trading::DayTrader trader(options.costs);
    // One holding vector per group: a stock a group could not sell stays in it.
    std::vector<std::vector<double>> held(groups, std::vector<double>(static_cast<std::size_t>(cols), 0.0));
    std::vector<std::vector<std::int32_t>> holding(groups);
    std::vector<std::vector<WeightEntry>> members(groups), next_members(groups);
    std::vector<KeyedIndex> eligible, scratch, by_y;
    std::vector<std::int32_t> group_of, active;
    std::vector<std::uint64_t> x_keys;
    std::vector<double> active_weight, y, rx, ry;

    for (Index r = 0; r < out.rows; ++r) {
        if (r % kDays == 0) {
            const Index n = std::min(kDays, out.rows - r);
            market_days.load(r, n);
            if (!smoothing)
                factor_days.load(r, n);
            valid_days.load(r, n);
            if (forward != nullptr)
                forward_days.load(r, n);
        }
        // Trade yesterday's groups today, each an equal-weight portfolio of its members.
        if (r > 0)
            for (std::size_t g = 0; g < groups; ++g) {
                if (members[g].empty())
                    continue;  // no signal yesterday: no trade, holdings kept, as in the strategy
                trading::merge_active(members[g], holding[g], active, active_weight);
                out.daily[static_cast<std::size_t>(r) * groups + g] =
                    trader.trade(market_days, r, active, active_weight, held[g], holding[g]);
                out.traded = true;
            }

        // Today's groups, the signal for tomorrow.
        const double* f = smoothing ? smoothed.values.data() + r * cols : factor_days.contiguous_row(r);
        if (f == nullptr) {
            factor_days.read_row(r, factor_row.data());
            f = factor_row.data();
        }
        assign_groups(f, valid_days.row(r), cols, options, eligible, scratch, group_of);
        // Members in column order (the order a day's trades add up in), each at 1/n of the capital.
        for (auto& m : next_members)
            m.clear();
        const auto n_eligible = static_cast<Index>(eligible.size());
        std::vector<double> share(groups, 0.0);
        for (Index run = 0; run < options.group_num; ++run) {
            const GroupRun g = group_run(run, n_eligible, options);
            if (g.end > g.begin)
                share[static_cast<std::size_t>(g.number - 1)] = 1.0 / static_cast<double>(g.end - g.begin);
        }
        for (Index k = 0; k < cols; ++k) {
            const std::int32_t g = group_of[static_cast<std::size_t>(k)];
            if (g > 0)
                next_members[static_cast<std::size_t>(g - 1)].push_back(
                    WeightEntry{static_cast<std::int32_t>(k), share[static_cast<std::size_t>(g - 1)]});
        }
        members.swap(next_members);

        if (forward != nullptr) {
            // Over the day's eligible stocks: the universe the groups are drawn from.
            // The eligible stocks are already in factor order.
            const AlignedView::Row fw = forward_days.row(r);
            x_keys.clear();
            y.clear();
            for (const KeyedIndex& e : eligible) {
                const double v = fw.number(e.index);
                if (std::isfinite(v)) {
                    x_keys.push_back(e.key);
                    y.push_back(v);
                }
            }
            out.rank_ic[static_cast<std::size_t>(r)] = spearman_sorted(x_keys, y, by_y, scratch, rx, ry);
        }
    }
    return out;
}

}  // namespace vantorel
