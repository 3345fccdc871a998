#include "vantorel/simulate.hpp"

#include "vantorel/day_trader.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vantorel {

using trading::DayTrader;
using trading::MarketBlocks;
using trading::merge_active;

namespace {

// The columns days [j, j + n) of a weight block can trade: the stocks held before day j and those
// the previous days' weights name, ascending. `wanted` is all zero before and after.
void columns_to_read(const WeightBlocks& blocks, std::size_t j, std::size_t n,
                     const std::vector<std::int32_t>& holding, std::vector<std::uint8_t>& wanted,
                     std::vector<std::int32_t>& columns) {
    for (std::int32_t k : holding)
        wanted[static_cast<std::size_t>(k)] = 1;
    for (std::size_t d = j; d < j + n; ++d)
        for (const WeightEntry& e : d > 0 ? blocks.entries(d - 1) : blocks.previous_row())
            wanted[static_cast<std::size_t>(e.col)] = 1;
    columns.clear();
    for (std::size_t k = 0; k < wanted.size(); ++k)
        if (wanted[k] != 0) {
            columns.push_back(static_cast<std::int32_t>(k));
            wanted[k] = 0;
        }
}

}  // namespace

SimulatedReturns simulate_vwap_returns(const AlignedView& weights, const MarketViews& market,
                                       const TradingCosts& costs) {
    SimulatedReturns result;
    result.returns.assign(static_cast<std::size_t>(weights.rows()), 0.0);
    DayTrader trader(costs);
    MarketBlocks days(market);
    const bool transposing = days.transposing();
    WeightBlocks blocks(weights);

    // A stock that is neither held nor given a weight contributes nothing, so each day visits only
    // the union of yesterday's holdings and the traded weights, in ascending column order: the
    // day's sums add stocks in the same order as a walk over every column would.
    const auto cols = static_cast<std::size_t>(weights.cols());
    std::vector<double> held(cols, 0.0);
    std::vector<std::int32_t> holding, active, columns;
    std::vector<double> active_weight;
    std::vector<std::uint8_t> wanted(transposing ? cols : 0, 0);
    columns.reserve(transposing ? cols : 0);
    while (blocks.next()) {
        for (std::size_t j = 0; j < blocks.size(); ++j) {
            const Index r = blocks.first_row() + static_cast<Index>(j);
            const auto kDays = static_cast<std::size_t>(days.block_rows());
            if (transposing && j % kDays == 0) {
                // A column-ordered market is read for the stocks these days can touch only.
                const std::size_t n = std::min(blocks.size() - j, kDays);
                columns_to_read(blocks, j, n, holding, wanted, columns);
                days.load(r, static_cast<Index>(n), columns);
            }
            if (is_trading_row(blocks.profile(), r)) {
                // The day trades the previous row's weights.
                const std::vector<WeightEntry>& traded =
                    j > 0 ? blocks.entries(j - 1) : blocks.previous_row();
                merge_active(traded, holding, active, active_weight);
                result.returns[static_cast<std::size_t>(r)] =
                    trader.trade(days, r, active, active_weight, held, holding);
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
