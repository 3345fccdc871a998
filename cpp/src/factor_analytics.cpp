#include "vantorel/factor_analytics.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "vantorel/rank.hpp"
#include "vantorel/row_blocks.hpp"
#include "vantorel/stats.hpp"

namespace vantorel {

namespace {

constexpr auto kHorizonCount = static_cast<Index>(kIcHorizons.size());
constexpr Index kLongestHorizon = kIcHorizons.back();

// The opens of the dates after the current one: a window of rows sliding down the dates, each row
// read once, never the whole table.
class OpenWindow {
public:
    explicit OpenWindow(const AlignedView& open)
        : days_(open),
          rows_(open.rows()),
          cols_(open.cols()),
          ring_(static_cast<std::size_t>((kLongestHorizon + 1) * open.cols())) {}

    // The next row asked for is `row` or later.
    void start_at(Index row) { next_ = loaded_end_ = row; }

    // Row i (< rows), asked for in an order that never falls more than kLongestHorizon behind the
    // furthest row asked for since start_at().
    const double* row(Index i) {
        for (; next_ <= i; ++next_) {
            if (next_ >= loaded_end_) {
                const Index n = std::min(days_.block_rows(), rows_ - next_);
                days_.load(next_, n);
                loaded_end_ = next_ + n;
            }
            days_.read_row(next_, slot(next_));
        }
        return slot(i);
    }

private:
    double* slot(Index i) { return ring_.data() + (i % (kLongestHorizon + 1)) * cols_; }

    RowBlocks days_;
    Index rows_, cols_;
    std::vector<double> ring_;
    Index next_ = 0, loaded_end_ = 0;
};

// One date after another: groups as the backtest draws them, then every measure of the date.
class SignalPass {
public:
    SignalPass(const AlignedView& signal, const AlignedView& valid, const AlignedView* open,
               const GroupOptions& o, SignalAnalytics& out)
        : o_(o),
          out_(out),
          rows_(signal.rows()),
          cols_(signal.cols()),
          groups_(o.group_num),
          signal_days_(signal),
          valid_days_(valid),
          signal_row_(static_cast<std::size_t>(cols_)),
          group_of_(static_cast<std::size_t>(cols_), 0),
          previous_group_(static_cast<std::size_t>(cols_), 0),
          position_(static_cast<std::size_t>(cols_), 0),
          counts_(static_cast<std::size_t>(groups_)),
          sums_(static_cast<std::size_t>(groups_)),
          forward_(static_cast<std::size_t>(cols_)) {
        if (open != nullptr)
            opens_.emplace(*open);
    }

    // The measures of dates [first, last); the date before `first` is ranked too, as the previous date.
    void run(Index first, Index last) {
        if (opens_)
            opens_->start_at(first + 1);
        for (Index r = std::max<Index>(first - 1, 0), loaded_end = r; r < last; ++r) {
            if (r >= loaded_end) {
                const Index n = std::min(valid_days_.block_rows(), rows_ - r);
                signal_days_.load(r, n);
                valid_days_.load(r, n);
                loaded_end = r + n;
            }
            const double* f = signal_days_.contiguous_row(r);
            if (f == nullptr) {
                signal_days_.read_row(r, signal_row_.data());
                f = signal_row_.data();
            }
            assign_groups(f, valid_days_.row(r), cols_, o_, eligible_, scratch_, group_of_);
            if (r >= first) {
                if (r > 0) {
                    turnover(r);
                    autocorrelation(r);
                }
                if (opens_)
                    forward_measures(r);
            }
            previous_.swap(eligible_);
            previous_group_.swap(group_of_);
        }
    }

private:
    double& at(std::vector<double>& block, Index r, Index k, Index width) {
        return block[static_cast<std::size_t>(r * width + k)];
    }

    void turnover(Index r) {
        // A group's members are one run of the eligible stocks in factor order.
        const auto n = static_cast<Index>(eligible_.size());
        for (Index run = 0; run < groups_; ++run) {
            const GroupRun g = group_run(run, n, o_);
            Index fresh = 0;
            for (Index p = g.begin; p < g.end; ++p) {
                const auto k = static_cast<std::size_t>(eligible_[static_cast<std::size_t>(p)].index);
                fresh += previous_group_[k] != group_of_[k];
            }
            at(out_.turnover, r, g.number - 1, groups_) =
                g.end > g.begin ? static_cast<double>(fresh) / static_cast<double>(g.end - g.begin) : kNaN;
        }
    }

    // Both dates' rankings re-ranked over the stocks eligible on both: each side walks its own
    // sorted order, so no sort is needed.
    void autocorrelation(Index r) {
        kept_keys_.clear();
        for (const KeyedIndex& e : eligible_)
            if (previous_group_[static_cast<std::size_t>(e.index)] != 0) {
                position_[static_cast<std::size_t>(e.index)] = static_cast<std::int32_t>(kept_keys_.size());
                kept_keys_.push_back(e.key);
            }
        const std::size_t n = kept_keys_.size();
        if (n < 2)
            return;
        rx_.resize(n);
        average_ranks_of_sorted(
            n, [&](std::size_t i) { return kept_keys_[i]; }, [](std::size_t i) { return i; }, rx_);
        kept_before_.clear();
        for (const KeyedIndex& e : previous_)
            if (group_of_[static_cast<std::size_t>(e.index)] != 0)
                kept_before_.push_back(e);
        ry_.resize(n);
        average_ranks_of_sorted(
            n, [&](std::size_t i) { return kept_before_[i].key; },
            [&](std::size_t i) {
                return static_cast<std::size_t>(position_[static_cast<std::size_t>(kept_before_[i].index)]);
            },
            ry_);
        out_.autocorrelation[static_cast<std::size_t>(r)] = rank_correlation(rx_.data(), ry_.data(), n);
    }

    // The h-day forward returns of the date's eligible stocks, their rank IC for every horizon
    // but the first (the backtest's own), and the groups' mean 1-day forward return.
    void forward_measures(Index r) {
        if (r + 2 >= rows_)
            return;  // no return from the next open onward
        const double* next = opens_->row(r + 1);
        for (Index h = 0; h < kHorizonCount; ++h) {
            const Index horizon = kIcHorizons[static_cast<std::size_t>(h)];
            if (r + 1 + horizon >= rows_)
                break;
            // Every stock's return, in one pass the compiler vectorises.
            forward_open_return_row(next, opens_->row(r + 1 + horizon), cols_, forward_.data());
            if (horizon == 1) {
                group_forward_return(r);
                continue;
            }
            x_keys_.clear();
            y_.clear();
            for (const KeyedIndex& e : eligible_) {
                const double v = forward_[static_cast<std::size_t>(e.index)];
                if (!std::isnan(v)) {
                    x_keys_.push_back(e.key);
                    y_.push_back(v);
                }
            }
            at(out_.horizon_ic, r, h, kHorizonCount) = spearman_of_sorted(x_keys_, y_, spearman_);
        }
    }

    void group_forward_return(Index r) {
        std::fill(counts_.begin(), counts_.end(), 0);
        std::fill(sums_.begin(), sums_.end(), 0.0);
        // Members in column order: the sum a plain statement adds up.
        for (Index k = 0; k < cols_; ++k) {
            const std::int32_t g = group_of_[static_cast<std::size_t>(k)];
            const double v = forward_[static_cast<std::size_t>(k)];
            if (g != 0 && !std::isnan(v)) {
                ++counts_[static_cast<std::size_t>(g - 1)];
                sums_[static_cast<std::size_t>(g - 1)] += v;
            }
        }
        for (Index g = 0; g < groups_; ++g) {
            const auto u = static_cast<std::size_t>(g);
            at(out_.forward_return, r, g, groups_) =
                counts_[u] > 0 ? sums_[u] / static_cast<double>(counts_[u]) : kNaN;
        }
    }

    const GroupOptions& o_;
    SignalAnalytics& out_;
    Index rows_, cols_, groups_;
    RowBlocks signal_days_, valid_days_;
    std::optional<OpenWindow> opens_;
    std::vector<double> signal_row_;
    std::vector<KeyedIndex> eligible_, previous_, scratch_, kept_before_;
    std::vector<std::int32_t> group_of_, previous_group_, position_;
    std::vector<Index> counts_;
    std::vector<double> sums_, forward_, y_, rx_, ry_;
    std::vector<std::uint64_t> x_keys_, kept_keys_;
    SpearmanScratch spearman_;
};

}  // namespace

namespace {

// The dates cut into chunks that any thread free takes the next of: the side thread from the start,
// the trading thread once its trading is done.
class ChunkedAnalysis {
public:
    ChunkedAnalysis(const AlignedView& signal, const AlignedView& valid, const AlignedView* open,
                    const GroupOptions& options, SignalAnalytics& out)
        : signal_(signal), valid_(valid), open_(open), options_(options), out_(out), rows_(signal.rows()) {
        out.rows = rows_;
        out.groups = options.group_num;
        const auto rows = static_cast<std::size_t>(out.rows);
        const auto groups = static_cast<std::size_t>(out.groups);
        out.horizon_ic.assign(rows * kIcHorizons.size(), kNaN);
        out.turnover.assign(rows * groups, kNaN);
        out.autocorrelation.assign(rows, kNaN);
        out.forward_return.assign(rows * groups, kNaN);
    }

    // Takes chunks until none is left; a failure stops every thread's taking and is kept.
    void work() {
        try {
            std::optional<SignalPass> pass;
            for (Index c; !failed_.load() && (c = next_.fetch_add(1)) * kChunkRows < rows_;) {
                if (!pass)
                    pass.emplace(signal_, valid_, open_, options_, out_);
                pass->run(c * kChunkRows, std::min(rows_, (c + 1) * kChunkRows));
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(failure_lock_);
            if (!failure_)
                failure_ = std::current_exception();
            failed_.store(true);
        }
    }

    // No chunk is taken after this (the trading failed: its result is not wanted).
    void stop() { failed_.store(true); }

    void rethrow() const {
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    // Dates per chunk: enough that ranking the date before each chunk costs little.
    static constexpr Index kChunkRows = 256;

    const AlignedView& signal_;
    const AlignedView& valid_;
    const AlignedView* open_;
    const GroupOptions& options_;
    SignalAnalytics& out_;
    Index rows_;
    std::atomic<Index> next_{0};
    std::atomic<bool> failed_{false};  // stop taking chunks
    std::mutex failure_lock_;
    std::exception_ptr failure_;
};

}  // namespace

SignalAnalytics analyse_signal(const AlignedView& signal, const AlignedView& valid, const AlignedView* open,
                               const GroupOptions& options) {
    SignalAnalytics out;
    ChunkedAnalysis analysis(signal, valid, open, options, out);
    analysis.work();
    analysis.rethrow();
    return out;
}

FactorBacktest run_factor_backtest(const AlignedView& factor, const AlignedView& valid,
                                   const AlignedView* forward, const AlignedView* open,
                                   const MarketViews& market, const GroupOptions& options, bool analyse) {
    const SignalFactor signal(factor, options.rolling_window);
    FactorBacktest out;
    // The analysis reads only the signal, the validity flags and the opens, never what the trading
    // writes: a second thread starts on it at once, and the trading thread joins in when done.
    ChunkedAnalysis analysis(signal.view(), valid, open, options, out.analytics);
    if (!analyse)
        analysis.stop();
    std::thread side;
    try {
        if (analyse)
            side = std::thread([&] { analysis.work(); });
    } catch (const std::system_error&) {
        // No second thread: the trading thread does it all.
    }
    try {
        out.groups = run_group_backtest(signal, valid, forward, market, options);
    } catch (...) {
        analysis.stop();
        if (side.joinable())
            side.join();
        throw;
    }
    analysis.work();
    if (side.joinable())
        side.join();
    analysis.rethrow();
    for (Index r = 0; r < out.groups.rows; ++r)
        out.analytics.horizon_ic[static_cast<std::size_t>(r * kHorizonCount)] =
            out.groups.rank_ic[static_cast<std::size_t>(r)];
    return out;
}

std::vector<double> block_column(const std::vector<double>& block, Index rows, Index cols, Index k) {
    std::vector<double> out(static_cast<std::size_t>(rows));
    for (Index i = 0; i < rows; ++i)
        out[static_cast<std::size_t>(i)] = block[static_cast<std::size_t>(i * cols + k)];
    return out;
}

LongShort long_short(const std::vector<double>& daily, Index rows, Index groups) {
    LongShort out;
    out.daily.assign(static_cast<std::size_t>(rows), kNaN);
    if (groups > 0)
        for (Index i = 0; i < rows; ++i)
            out.daily[static_cast<std::size_t>(i)] =
                daily[static_cast<std::size_t>(i * groups + groups - 1)] -
                daily[static_cast<std::size_t>(i * groups)];
    out.net_value = net_values(out.daily, rows, 1);
    out.drawdown = drawdown_from_peak(out.net_value.data(), rows);
    const double mean = nan_mean(out.daily.data(), rows);
    out.annual_return = mean * kTradingDaysPerYear;
    out.sharpe = safe_sharpe(out.daily.data(), rows, kTradingDaysPerYear);
    double deepest = kNaN;
    for (double d : out.drawdown)
        if (!std::isnan(d) && (std::isnan(deepest) || d < deepest))
            deepest = d;
    out.max_drawdown = std::fabs(deepest);
    return out;
}

std::vector<double> group_annual_returns(const std::vector<double>& daily, Index rows, Index groups) {
    std::vector<double> out(static_cast<std::size_t>(groups));
    for (Index g = 0; g < groups; ++g) {
        const std::vector<double> column = block_column(daily, rows, groups, g);
        out[static_cast<std::size_t>(g)] = nan_mean(column.data(), rows) * kTradingDaysPerYear;
    }
    return out;
}

double monotonicity(const std::vector<double>& annual_returns) {
    std::vector<std::uint64_t> numbers;
    std::vector<double> returns;
    for (std::size_t g = 0; g < annual_returns.size(); ++g)
        if (!std::isnan(annual_returns[g])) {
            numbers.push_back(g);
            returns.push_back(annual_returns[g]);
        }
    SpearmanScratch scratch;
    return spearman_of_sorted(numbers, returns, scratch);
}

}  // namespace vantorel
