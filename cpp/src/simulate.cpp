#include "vantorel/simulate.hpp"

#include <array>
#include <cmath>

namespace vantorel {

namespace {

// NaN -> 0, +inf -> largest double, -inf -> most negative double: a missing price contributes nothing.
inline double neutralise(double v) {
    if (std::isnan(v)) return 0.0;
    if (std::isinf(v)) return v > 0 ? kMaxFinite : -kMaxFinite;
    return v;
}

// The five per-day sums, combined in a fixed order at the end of the day.
using DaySums = std::array<double, 5>;

struct Trader {
    const AlignedView& weights;
    const MarketViews& m;
    double total_money, lot, buy_rate, sell_rate;

    Trader(const AlignedView& w, const MarketViews& market, const TradingCosts& c)
        : weights(w), m(market), total_money(c.total_money), lot(c.lot_size),
          buy_rate(1.0 + c.fee), sell_rate((1.0 - c.fee) - c.rule_fee) {}

    // Trades stock k on day i from holding `held` (shares) and adds its results to `sums`.
    inline void step(Index i, Index k, double& held, DaySums& sums) const {
        const double w = weights.number(i, k);
        const double prev_close = m.prev_close.number(i, k);
        // Targets are sized from the fixed capital and the previous close, floored to whole lots;
        // a missing weight or an unusable previous close targets zero shares.
        double target = 0.0;
        if (std::isfinite(w) && std::isfinite(prev_close) && prev_close > 0.0)
            target = std::floor(total_money * w / (prev_close * lot)) * lot;
        if (target == 0.0 && held == 0.0) return;  // neither held nor wanted: contributes nothing

        const double diff = target - held;
        // An absent feasibility cell blocks the trade.
        const double real_buy = (diff > 0.0 && m.can_buy.flag(i, k, false)) ? diff : 0.0;
        const double sell = (diff < 0.0 && !m.cant_sell.flag(i, k, true)) ? -diff : 0.0;
        const double hold = held - sell;
        held = hold + real_buy;

        if (real_buy != 0.0) {
            const double buy_coeff = neutralise(m.close.number(i, k) - m.buy_price.number(i, k) * buy_rate);
            sums[0] += real_buy * buy_coeff;
        }
        if (hold == 0.0 && sell == 0.0) return;
        // A missing split means none; a missing dividend means none.
        double split = m.split.number(i, k);
        if (std::isnan(split)) split = 1.0;
        const double dividend = neutralise(m.dividend.number(i, k));
        if (hold != 0.0) {
            const double hold_coeff = neutralise(split * m.close.number(i, k) - prev_close);
            sums[1] += hold * hold_coeff;
            sums[2] += hold * dividend;
        }
        if (sell != 0.0) {
            const double sell_coeff = neutralise(split * m.sell_price.number(i, k) * sell_rate - prev_close);
            sums[3] += sell * sell_coeff;
            sums[4] += sell * dividend;
        }
    }
};

inline double day_cash(const DaySums& s) { return (((s[0] + s[1]) + s[2]) + s[3]) + s[4]; }

}  // namespace

std::vector<double> simulate_vwap_returns(const AlignedView& weights, const MarketViews& market,
                                          const TradingCosts& costs) {
    const Index n_days = weights.rows();
    const Index n_stocks = weights.cols();
    std::vector<double> out(static_cast<std::size_t>(n_days), 0.0);
    if (n_days == 0) return out;
    const Trader trader(weights, market, costs);

    // Each stock's holding evolves on its own, so the loop order can follow the weights'
    // memory layout; both orders add stocks into a day's sums in the same column order.
    if (weights.source().column_major()) {
        std::vector<DaySums> sums(static_cast<std::size_t>(n_days), DaySums{});
        for (Index k = 0; k < n_stocks; ++k) {
            double held = 0.0;
            for (Index i = 0; i < n_days; ++i) trader.step(i, k, held, sums[static_cast<std::size_t>(i)]);
        }
        for (Index i = 0; i < n_days; ++i) out[static_cast<std::size_t>(i)] = day_cash(sums[static_cast<std::size_t>(i)]);
    } else {
        std::vector<double> held(static_cast<std::size_t>(n_stocks), 0.0);
        for (Index i = 0; i < n_days; ++i) {
            DaySums sums{};
            for (Index k = 0; k < n_stocks; ++k) trader.step(i, k, held[static_cast<std::size_t>(k)], sums);
            out[static_cast<std::size_t>(i)] = day_cash(sums);
        }
    }
    for (double& v : out) v /= costs.total_money;
    return out;
}

}  // namespace vantorel
