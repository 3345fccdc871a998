#include "vantorel/simulate.hpp"

#include "vantorel/day_trader.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vantorel {

using trading::DayTrader;
using trading::merge_active;
using trading::shared_column_offsets;

SimulatedReturns simulate_vwap_returns(const AlignedView& weights, const MarketViews& market,
                                       const TradingCosts& costs) {
    SimulatedReturns result;
    result.returns.assign(static_cast<std::size_t>(weights.rows()), 0.0);
    DayTrader trader(costs);
    const Index* shared_columns = shared_column_offsets(market);
    WeightBlocks blocks(weights);

    // A stock that is neither held nor given a weight contributes nothing, so each day visits only
    // the union of yesterday's holdings and the traded weights, in ascending column order: the
    // day's sums add stocks in the same order as a walk over every column would.
    std::vector<double> held(static_cast<std::size_t>(weights.cols()), 0.0);
    std::vector<std::int32_t> holding, active;
    std::vector<double> active_weight;
    while (blocks.next()) {
        for (std::size_t j = 0; j < blocks.size(); ++j) {
            const Index r = blocks.first_row() + static_cast<Index>(j);
            if (is_trading_row(blocks.profile(), r)) {
                // The day trades the previous row's weights.
                const std::vector<WeightEntry>& traded =
                    j > 0 ? blocks.entries(j - 1) : blocks.previous_row();
                merge_active(traded, holding, active, active_weight);
                result.returns[static_cast<std::size_t>(r)] =
                    trader.trade(market, r, shared_columns, active, active_weight, held, holding);
            }
        }
    }
    result.profile = blocks.take_profile();
    return result;
}

IndexMap trading_rows(const WeightProfile& p) {
    IndexMap rows;
    for (Index r = 1; r < p.rows(); ++r)
        if (is_trading_row(p, r))
            rows.push_back(r);
    return rows;
}

}  // namespace vantorel
