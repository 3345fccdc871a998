// One trading day of a portfolio: the per-stock trading step and the day's sums, shared by the
// strategy simulation and the factor group backtest.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "vantorel/row_blocks.hpp"
#include "vantorel/simulate.hpp"

namespace vantorel::trading {

// The five per-day sums, combined in a fixed order at the end of the day.
using DaySums = std::array<double, 5>;

inline double day_cash(const DaySums& s) {
    return (((s[0] + s[1]) + s[2]) + s[3]) + s[4];
}

// floor() without a library call: exact for every double (large ones are already integers).
inline double floor_exact(double x) {
    if (!(std::fabs(x) < 4503599627370496.0))
        return x;  // |x| >= 2^52, infinities, NaN
    const double t = static_cast<double>(static_cast<std::int64_t>(x));
    return t > x ? t - 1.0 : t;
}

// A stock's market values for one day.
struct Quote {
    double prev_close, close, buy_price, sell_price, split, dividend;
    bool can_buy, cant_sell;
};

// Stock k's quote on day i, read cell by cell: the way down a column-ordered market. An absent
// feasibility cell blocks the trade.
inline Quote quote_at(const MarketViews& m, Index i, Index k) {
    return Quote{m.prev_close.number(i, k),   m.close.number(i, k),        m.buy_price.number(i, k),
                 m.sell_price.number(i, k),   m.split.number(i, k),        m.dividend.number(i, k),
                 m.can_buy.flag(i, k, false), m.cant_sell.flag(i, k, true)};
}

// The eight market inputs, read a block of days at a time whatever their memory order.
class MarketBlocks {
public:
    explicit MarketBlocks(const MarketViews& m, Index block_rows = RowBlocks::kBlockRows)
        : can_buy(m.can_buy, block_rows),
          cant_sell(m.cant_sell, block_rows),
          split(m.split, block_rows),
          dividend(m.dividend, block_rows),
          close(m.close, block_rows),
          prev_close(m.prev_close, block_rows),
          buy_price(m.buy_price, block_rows),
          sell_price(m.sell_price, block_rows) {
        shared_ = true;
        for (const RowBlocks* b : all())
            shared_ = shared_ && b->same_columns(close);
    }

    // The most days one load() takes.
    Index block_rows() const { return close.block_rows(); }
    // Makes days [first, first + n) readable (see RowBlocks::load).
    void load(Index first, Index n) {
        for (RowBlocks* b : all())
            b->load(first, n);
    }
    // The column offsets of the rows of all eight inputs when they agree (the same labels and the same
    // memory order), else null.
    const Index* shared_columns() const { return shared_ ? close.column_offsets().data() : nullptr; }

    RowBlocks can_buy, cant_sell, split, dividend, close, prev_close, buy_price, sell_price;

private:
    std::array<const RowBlocks*, 8> all() const {
        return {&can_buy, &cant_sell, &split, &dividend, &close, &prev_close, &buy_price, &sell_price};
    }
    std::array<RowBlocks*, 8> all() {
        return {&can_buy, &cant_sell, &split, &dividend, &close, &prev_close, &buy_price, &sell_price};
    }
    bool shared_ = false;
};

// One trading day over the day's active stocks (yesterday's holdings and the traded weights,
// ascending by column). All quotes of the day are fetched first in one tight loop, so the
// scattered loads overlap instead of waiting behind the trading arithmetic.
class DayTrader {
public:
    explicit DayTrader(const TradingCosts& c)
        : total_money_(c.total_money),
          lot_(c.lot_size),
          buy_rate_(1.0 + c.fee),
          sell_rate_((1.0 - c.fee) - c.rule_fee) {}

    // Trades day i, which `m` has loaded; `held` is updated, `holding` receives the stocks held afterwards.
    double trade(const MarketBlocks& m, Index i, const std::vector<std::int32_t>& active,
                 const std::vector<double>& weight, std::vector<double>& held,
                 std::vector<std::int32_t>& holding) {
        const Index* shared_columns = m.shared_columns();
        const AlignedView::Row prev_close = m.prev_close.row(i), close = m.close.row(i),
                               buy_price = m.buy_price.row(i), sell_price = m.sell_price.row(i),
                               split = m.split.row(i), dividend = m.dividend.row(i),
                               can_buy = m.can_buy.row(i), cant_sell = m.cant_sell.row(i);
        const std::size_t n = active.size();
        quotes_.resize(n);
        // An absent feasibility cell blocks the trade.
        const double *pc = prev_close.doubles(), *cl = close.doubles(), *bp = buy_price.doubles(),
                     *sp = sell_price.doubles(), *sf = split.doubles(), *dv = dividend.doubles();
        const std::uint8_t *cb = can_buy.bools(), *cs = cant_sell.bools();
        if (shared_columns != nullptr && pc && cl && bp && sp && sf && dv && cb && cs) {
            // The common case (every row present, float prices, boolean masks, the same columns
            // everywhere): one offset lookup per stock serves all eight inputs.
            for (std::size_t j = 0; j < n; ++j) {
                const Index co = shared_columns[active[j]];
                quotes_[j] =
                    co == AlignedView::kMissing
                        ? Quote{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, false, true}
                        : Quote{pc[co], cl[co], bp[co], sp[co], sf[co], dv[co], cb[co] != 0, cs[co] != 0};
            }
        } else {
            for (std::size_t j = 0; j < n; ++j) {
                const Index k = active[j];
                quotes_[j] = Quote{prev_close.number(k),   close.number(k),        buy_price.number(k),
                                   sell_price.number(k),   split.number(k),        dividend.number(k),
                                   can_buy.flag(k, false), cant_sell.flag(k, true)};
            }
        }
        DaySums sums{};
        holding.resize(n);
        std::size_t kept = 0;
        for (std::size_t j = 0; j < n; ++j) {
            double& h = held[static_cast<std::size_t>(active[j])];
            step(quotes_[j], weight[j], h, sums);
            holding[kept] = active[j];
            kept += h != 0.0;
        }
        holding.resize(kept);
        return day_cash(sums) / total_money_;
    }

    // Trades one stock towards weight w (NaN: none) from holding `held` shares; adds its results.
    // Every term is formed as a select rather than a branch: whether a stock buys, sells or keeps
    // is unpredictable, and a term whose share count is 0 adds nothing to its sum.
    void step(const Quote& q, double w, double& held, DaySums& sums) const {
        // Targets are sized from the fixed capital and the previous close, floored to whole lots;
        // a missing weight or an unusable previous close targets zero shares.
        const bool sized = std::isfinite(w) && std::isfinite(q.prev_close) && q.prev_close > 0.0;
        const double raw = total_money_ * w / (q.prev_close * lot_);
        const double target = sized ? floor_exact(raw) * lot_ : 0.0;

        const double diff = target - held;
        const double real_buy = (diff > 0.0 && q.can_buy) ? diff : 0.0;
        const double sell = (diff < 0.0 && !q.cant_sell) ? -diff : 0.0;
        const double hold = held - sell;
        held = hold + real_buy;

        // A missing split means none; a missing dividend means none; a missing price gives 0
        // (neutralise: NaN as 0, infinities as the largest finite doubles).
        const double split = q.split == q.split ? q.split : 1.0;
        const double dividend = neutralise(q.dividend);
        sums[0] += real_buy * neutralise(q.close - q.buy_price * buy_rate_);
        sums[1] += hold * neutralise(split * q.close - q.prev_close);
        sums[2] += hold * dividend;
        sums[3] += sell * neutralise(split * q.sell_price * sell_rate_ - q.prev_close);
        sums[4] += sell * dividend;
    }

    double total_money() const { return total_money_; }

private:
    double total_money_, lot_, buy_rate_, sell_rate_;
    std::vector<Quote> quotes_;
};

// The sorted union of the traded weights' columns and the held stocks; held-only stocks get NaN.
inline void merge_active(const std::vector<WeightEntry>& traded, const std::vector<std::int32_t>& holding,
                         std::vector<std::int32_t>& active, std::vector<double>& weight) {
    active.clear();
    weight.clear();
    std::size_t a = 0, b = 0;
    while (a < traded.size() && b < holding.size()) {
        const std::int32_t ka = traded[a].col, kb = holding[b];
        if (ka <= kb) {
            active.push_back(ka);
            weight.push_back(traded[a++].weight);
            b += ka == kb;
        } else {
            active.push_back(kb);
            weight.push_back(kNaN);
            ++b;
        }
    }
    for (; a < traded.size(); ++a) {
        active.push_back(traded[a].col);
        weight.push_back(traded[a].weight);
    }
    for (; b < holding.size(); ++b) {
        active.push_back(holding[b]);
        weight.push_back(kNaN);
    }
}

}  // namespace vantorel::trading
