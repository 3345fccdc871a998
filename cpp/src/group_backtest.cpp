#include "vantorel/group_backtest.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <type_traits>
#include <utility>

#include "vantorel/day_trader.hpp"
#include "vantorel/ic_stats.hpp"
#include "vantorel/rank.hpp"
#include "vantorel/row_blocks.hpp"
#include "vantorel/stats.hpp"

namespace vantorel {

namespace {}  // namespace

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
    const IcStats stats = ic_stats(ic.data(), n);
    out.mean = stats.mean;
    out.icir = stats.icir;
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

namespace {

// Each day's groups (the signal the next day trades) and its rank IC, days in ascending order. The
// factor, the validity flags and the forward values are read a block of days at a time.
class DaySignals {
public:
    DaySignals(const AlignedView& signal, const AlignedView& valid, const AlignedView* forward,
               const GroupOptions& o)
        : o_(o),
          rows_(signal.rows()),
          cols_(signal.cols()),
          factor_row_(static_cast<std::size_t>(cols_)),
          factor_days_(signal),
          valid_days_(valid),
          has_forward_(forward != nullptr),
          share_(static_cast<std::size_t>(o.group_num), 0.0) {
        if (has_forward_)
            forward_days_ = RowBlocks(*forward);
    }

    // Day r's groups into group_of() and share(); returns its rank IC (NaN without forward values).
    double compute(Index r) {
        const Index days = valid_days_.block_rows();
        if (r % days == 0) {
            const Index n = std::min(days, rows_ - r);
            factor_days_.load(r, n);
            valid_days_.load(r, n);
            if (has_forward_)
                forward_days_.load(r, n);
        }
        // The factor is read a row at a time: no copy of the whole table.
        const double* f = factor_days_.contiguous_row(r);
        if (f == nullptr) {
            factor_days_.read_row(r, factor_row_.data());
            f = factor_row_.data();
        }
        assign_groups(f, valid_days_.row(r), cols_, o_, eligible_, scratch_, group_of_);
        // Each member at 1/n of the capital; 0 for an empty group.
        std::fill(share_.begin(), share_.end(), 0.0);
        const auto n_eligible = static_cast<Index>(eligible_.size());
        for (Index run = 0; run < o_.group_num; ++run) {
            const GroupRun g = group_run(run, n_eligible, o_);
            if (g.end > g.begin)
                share_[static_cast<std::size_t>(g.number - 1)] = 1.0 / static_cast<double>(g.end - g.begin);
        }
        if (!has_forward_)
            return kNaN;
        // Over the day's eligible stocks: the universe the groups are drawn from.
        // The eligible stocks are already in factor order.
        const AlignedView::Row fw = forward_days_.row(r);
        x_keys_.clear();
        y_.clear();
        for (const KeyedIndex& e : eligible_) {
            const double v = fw.number(e.index);
            if (std::isfinite(v)) {
                x_keys_.push_back(e.key);
                y_.push_back(v);
            }
        }
        return spearman_of_sorted(x_keys_, y_, ranks_);
    }

    // Each stock's group (1..G) on the last computed day, 0 outside every group.
    const std::vector<std::int32_t>& group_of() const { return group_of_; }
    // Each group's weight per member on that day (1 / members), 0 for an empty group.
    const std::vector<double>& share() const { return share_; }

private:
    const GroupOptions& o_;
    Index rows_, cols_;
    std::vector<double> factor_row_;
    RowBlocks factor_days_, valid_days_, forward_days_;
    bool has_forward_;
    std::vector<KeyedIndex> eligible_, scratch_;
    std::vector<std::int32_t> group_of_;
    std::vector<double> share_;
    std::vector<std::uint64_t> x_keys_;
    std::vector<double> y_;
    SpearmanScratch ranks_;
};

// Day by day, group after group: each group's active stocks (targets and holdings) are traded in
// ascending column order from rows of the market, read in place or a block of days transposed.
void trade_days(DaySignals& signals, const MarketViews& market, const GroupOptions& options,
                GroupBacktestResult& out) {
    const Index cols = market.close.cols();
    const auto groups = static_cast<std::size_t>(options.group_num);
    constexpr Index kDays = RowBlocks::kBlockRows;
    trading::MarketBlocks market_days(market);
    trading::DayTrader trader(options.costs);
    // One holding vector per group: a stock a group could not sell stays in it.
    std::vector<std::vector<double>> held(groups);
    for (std::vector<double>& h : held)
        h.assign(static_cast<std::size_t>(cols), 0.0);
    std::vector<std::vector<std::int32_t>> holding(groups);
    std::vector<std::vector<WeightEntry>> members(groups);
    std::vector<std::int32_t> active;
    std::vector<double> active_weight;

    for (Index r = 0; r < out.rows; ++r) {
        if (r % kDays == 0)
            market_days.load(r, std::min(kDays, out.rows - r));
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

        // Today's groups, the signal for tomorrow: members in column order (the order a day's
        // trades add up in).
        out.rank_ic[static_cast<std::size_t>(r)] = signals.compute(r);
        for (auto& m : members)
            m.clear();
        const std::vector<std::int32_t>& group_of = signals.group_of();
        const std::vector<double>& share = signals.share();
        for (Index k = 0; k < cols; ++k) {
            const std::int32_t g = group_of[static_cast<std::size_t>(k)];
            if (g > 0)
                members[static_cast<std::size_t>(g - 1)].push_back(
                    WeightEntry{static_cast<std::int32_t>(k), share[static_cast<std::size_t>(g - 1)]});
        }
    }
}

// One market input read stock by stock through a block of days: in a column-ordered source a
// stock's days are one run down its column.
class ColumnRuns {
public:
    explicit ColumnRuns(const AlignedView& view) : view_(&view) {}

    // Days [first, first + n) become readable.
    void load(Index first, Index n) {
        rows_ = view_->row_offsets().data() + first;
        n_ = n;
        step_ = view_->source().row_stride;
        even_ = true;
        for (Index j = 0; j < n && even_; ++j)
            even_ = rows_[j] != AlignedView::kMissing && rows_[j] == rows_[0] + j * step_;
    }

    // Stock k's days of the block into out[0 .. n): NaN where absent, bool data as 0 / 1.
    void read(Index k, double* out) const {
        const Index co = view_->column_offsets()[static_cast<std::size_t>(k)];
        if (co == AlignedView::kMissing) {
            std::fill(out, out + n_, kNaN);
            return;
        }
        if (view_->source().kind == ElementKind::Float64)
            read_cells(static_cast<const double*>(view_->source().data), co, out);
        else
            read_cells(static_cast<const std::uint8_t*>(view_->source().data), co, out);
    }

    // Asks for stock k's run ahead of read(k).
    void prefetch(Index k) const {
        const Index co = view_->column_offsets()[static_cast<std::size_t>(k)];
        if (!even_ || (step_ != 1 && step_ != -1) || co == AlignedView::kMissing || n_ == 0)
            return;
        const Index size = view_->source().kind == ElementKind::Float64 ? 8 : 1;
        const char* a = static_cast<const char*>(view_->source().data) + (rows_[0] + co) * size;
        const char* b = a + (n_ - 1) * step_ * size;
        if (b < a)
            std::swap(a, b);
        for (const char* p = a; p <= b; p += 64)
            __builtin_prefetch(p);
        __builtin_prefetch(b);
    }

private:
    template <typename T>
    void read_cells(const T* data, Index co, double* out) const {
        auto value = [](T v) { return static_cast<double>(v != 0 ? 1.0 : 0.0); };
        if (even_) {
            const T* run = data + rows_[0] + co;
            if constexpr (std::is_same_v<T, double>) {
                if (step_ == 1) {
                    std::copy(run, run + n_, out);
                    return;
                }
                for (Index j = 0; j < n_; ++j)
                    out[j] = run[j * step_];
            } else {
                for (Index j = 0; j < n_; ++j)
                    out[j] = value(run[j * step_]);
            }
            return;
        }
        for (Index j = 0; j < n_; ++j) {
            const Index ro = rows_[j];
            if (ro == AlignedView::kMissing)
                out[j] = kNaN;
            else if constexpr (std::is_same_v<T, double>)
                out[j] = data[ro + co];
            else
                out[j] = value(data[ro + co]);
        }
    }

    const AlignedView* view_;
    const Index* rows_ = nullptr;
    Index n_ = 0, step_ = 0;
    bool even_ = false;
};

// A feasibility flag from a value read as a number: NaN (absent or missing) gives `missing`.
inline bool flag_of(double v, bool missing) {
    return v == v ? v != 0.0 : missing;
}

// A block of days at a time, stock after stock: each stock's days are read down its columns (one
// run per input in a column-ordered market) and traded in every group it is active in that day.
// Every (day, group) keeps its own sums, which receive their stocks in ascending column order, as
// the day-by-day loop adds them: the same results to the bit.
void trade_stocks(DaySignals& signals, const MarketViews& market, const GroupOptions& options,
                  GroupBacktestResult& out) {
    const Index cols = market.close.cols();
    const auto ucols = static_cast<std::size_t>(cols);
    const Index groups = options.group_num;
    const auto ugroups = static_cast<std::size_t>(groups);
    // Days per block: the targets of a block are held for every stock, and a stock's run through
    // the block is a few cache lines per input.
    constexpr Index kBlock = 64;
    // Row j of a block's targets: each stock's group (1..G, 0 for none) on the day before block day j,
    // the signal that day trades; row 0 carries the previous block's last signal. share: per member.
    std::vector<std::int32_t> targets(static_cast<std::size_t>(kBlock + 1) * ucols, 0);
    std::vector<double> share(static_cast<std::size_t>(kBlock + 1) * ugroups, 0.0);
    std::vector<std::uint8_t> targeted(ucols);  // a stock has a target somewhere in the block
    std::vector<std::int32_t> traders;          // the stocks that trade in the block, ascending
    // Per stock: its shares held in each group, and a bit for each group holding any (at most 64 groups).
    std::vector<double> held(ucols * ugroups, 0.0);
    std::vector<std::uint64_t> holding(ucols, 0);
    std::vector<trading::DaySums> sums(static_cast<std::size_t>(kBlock) * ugroups);
    trading::DayTrader trader(options.costs);

    std::array<ColumnRuns, 8> inputs{ColumnRuns(market.prev_close), ColumnRuns(market.close),
                                     ColumnRuns(market.buy_price),  ColumnRuns(market.sell_price),
                                     ColumnRuns(market.split),      ColumnRuns(market.dividend),
                                     ColumnRuns(market.can_buy),    ColumnRuns(market.cant_sell)};
    std::vector<double> runs(8 * static_cast<std::size_t>(kBlock));
    double* const pc = runs.data();
    double* const cl = pc + kBlock;
    double* const bp = cl + kBlock;
    double* const sp = bp + kBlock;
    double* const sf = sp + kBlock;
    double* const dv = sf + kBlock;
    double* const cb = dv + kBlock;
    double* const cs = cb + kBlock;

    for (Index first = 0; first < out.rows; first += kBlock) {
        const Index n = std::min(kBlock, out.rows - first);
        // The block's signals: days first .. first + n - 1 give the targets of the days after them.
        std::fill(targeted.begin(), targeted.end(), 0);
        for (Index j = 0; j <= n; ++j) {
            if (j > 0) {
                out.rank_ic[static_cast<std::size_t>(first + j - 1)] = signals.compute(first + j - 1);
                std::copy(signals.group_of().begin(), signals.group_of().end(),
                          targets.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(j) * ucols));
                std::copy(signals.share().begin(), signals.share().end(),
                          share.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(j) * ugroups));
            }
            if (j == n)
                break;
            const std::int32_t* row = targets.data() + static_cast<std::size_t>(j) * ucols;
            for (std::size_t k = 0; k < ucols; ++k)
                targeted[k] |= row[k] != 0;
            for (std::size_t g = 0; g < ugroups; ++g)
                out.traded = out.traded || share[static_cast<std::size_t>(j) * ugroups + g] != 0.0;
        }
        for (ColumnRuns& in : inputs)
            in.load(first, n);
        std::fill(sums.begin(),
                  sums.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(n) * ugroups),
                  trading::DaySums{});

        // A stock neither targeted nor held in the block trades nothing: its market is not read.
        // (Trading a stock changes only its own holdings, so the list holds for the whole block.)
        traders.clear();
        for (std::size_t k = 0; k < ucols; ++k)
            if (targeted[k] != 0 || holding[k] != 0)
                traders.push_back(static_cast<std::int32_t>(k));
        // Reading a stock's runs is a wait on memory: the runs of a stock a little further on are
        // fetched meanwhile.
        constexpr std::size_t kAhead = 4;
        for (std::size_t t = 0; t < traders.size(); ++t) {
            const auto k = static_cast<std::size_t>(traders[t]);
            if (t + kAhead < traders.size())
                for (const ColumnRuns& in : inputs)
                    in.prefetch(traders[t + kAhead]);
            for (std::size_t i = 0; i < inputs.size(); ++i)
                inputs[i].read(static_cast<Index>(k), runs.data() + i * static_cast<std::size_t>(kBlock));

            double* const h = held.data() + k * ugroups;
            std::uint64_t& bits = holding[k];
            for (Index j = 0; j < n; ++j) {
                const std::int32_t target = targets[static_cast<std::size_t>(j) * ucols + k];
                if (target == 0 && bits == 0)
                    continue;
                // An absent feasibility cell blocks the trade.
                const trading::Quote q{
                    pc[j], cl[j], bp[j], sp[j], sf[j], dv[j], flag_of(cb[j], false), flag_of(cs[j], true)};
                const double* day_share = share.data() + static_cast<std::size_t>(j) * ugroups;
                trading::DaySums* day_sums = sums.data() + static_cast<std::size_t>(j) * ugroups;
                auto trade = [&](std::size_t g, double w) {
                    trader.step(q, w, h[g], day_sums[g]);
                    const std::uint64_t bit = std::uint64_t{1} << g;
                    bits = h[g] != 0.0 ? bits | bit : bits & ~bit;
                };
                // The groups holding the stock since yesterday sell it unless it is their target
                // today; a group without members today does not trade.
                std::uint64_t pending = bits;
                if (target != 0)
                    pending &= ~(std::uint64_t{1} << (target - 1));
                for (; pending != 0; pending &= pending - 1) {
                    const auto g = static_cast<std::size_t>(__builtin_ctzll(pending));
                    if (day_share[g] != 0.0)
                        trade(g, kNaN);
                }
                if (target != 0)
                    trade(static_cast<std::size_t>(target - 1), day_share[target - 1]);
            }
        }

        for (Index j = 0; j < n; ++j)
            for (std::size_t g = 0; g < ugroups; ++g)
                if (share[static_cast<std::size_t>(j) * ugroups + g] != 0.0)
                    out.daily[static_cast<std::size_t>(first + j) * ugroups + g] =
                        trading::day_cash(sums[static_cast<std::size_t>(j) * ugroups + g]) /
                        trader.total_money();
        // The last signal is the next block's first targets.
        std::copy(targets.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(n) * ucols),
                  targets.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(n + 1) * ucols),
                  targets.begin());
        std::copy(share.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(n) * ugroups),
                  share.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(n + 1) * ugroups),
                  share.begin());
    }
}

// The most groups trade_stocks() follows: a stock's holding groups are the bits of one word.
constexpr Index kStockOuterGroups = 64;

// Whether every market input is stored column by column: each stock's days are then one run.
bool column_ordered(const MarketViews& m) {
    for (const AlignedView* v : {&m.can_buy, &m.cant_sell, &m.split, &m.dividend, &m.close, &m.prev_close,
                                 &m.buy_price, &m.sell_price})
        if (!v->source().column_major())
            return false;
    return true;
}

}  // namespace

SignalFactor::SignalFactor(const AlignedView& factor, Index rolling_window) : factor_(&factor) {
    if (rolling_window <= 1)
        return;
    smoothed_ = rolling_mean(factor, rolling_window);
    smoothed_view_ = AlignedView(smoothed_.view());
    factor_ = &smoothed_view_;
}

GroupBacktestResult run_group_backtest(const AlignedView& factor, const AlignedView& valid,
                                       const AlignedView* forward, const MarketViews& market,
                                       const GroupOptions& options) {
    return run_group_backtest(SignalFactor(factor, options.rolling_window), valid, forward, market, options);
}

GroupBacktestResult run_group_backtest(const SignalFactor& signal, const AlignedView& valid,
                                       const AlignedView* forward, const MarketViews& market,
                                       const GroupOptions& options) {
    GroupBacktestResult out;
    out.rows = signal.view().rows();
    out.groups = options.group_num;
    out.daily.assign(static_cast<std::size_t>(out.rows) * static_cast<std::size_t>(out.groups), 0.0);
    out.rank_ic.assign(static_cast<std::size_t>(out.rows), kNaN);
    DaySignals signals(signal.view(), valid, forward, options);
    // A column-ordered market is traded a stock at a time, where its rows would be read a cell per
    // stock and a cache line per cell; a row-ordered or mixed one a day at a time.
    if (options.group_num <= kStockOuterGroups && column_ordered(market))
        trade_stocks(signals, market, options, out);
    else
        trade_days(signals, market, options, out);
    return out;
}

}  // namespace vantorel
