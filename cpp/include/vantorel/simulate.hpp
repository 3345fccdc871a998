// Day-by-day VWAP trading of target weights in whole lots.
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"
#include "vantorel/weights.hpp"

namespace vantorel {

// The defaults of every entry point that trades: capital, costs, lot and the primary benchmark.
inline constexpr double kDefaultTotalMoney = 1e8;
inline constexpr double kDefaultFee = 0.0001;
inline constexpr double kDefaultRuleFee = 0.0005;
inline constexpr std::int64_t kDefaultLotSize = 200;
inline constexpr const char* kDefaultBenchmark = "000852";  // the CSI 1000

struct TradingCosts {
    double total_money = kDefaultTotalMoney;
    double fee = kDefaultFee;           // commission, both sides
    double rule_fee = kDefaultRuleFee;  // stamp duty, sells only
    double lot_size = static_cast<double>(kDefaultLotSize);
};

// The eight market inputs, each aligned to (trading day, stock).
struct MarketViews {
    AlignedView can_buy;
    AlignedView cant_sell;
    AlignedView split;
    AlignedView dividend;
    AlignedView close;
    AlignedView prev_close;
    AlignedView buy_price;
    AlignedView sell_price;
};

struct SimulatedReturns {
    // returns[r]: the money result / total_money of trading row r - 1's weights on the date of
    // row r. Only rows whose previous row holds any weight trade; the others stay 0.
    std::vector<double> returns;
    WeightProfile profile;  // of the weights, read on the way
};

// Trades each row's weights on the next row's date, reading the weights once. The market views
// have the weights' rows and columns. Pure and reentrant.
SimulatedReturns simulate_vwap_returns(const AlignedView& weights, const MarketViews& market,
                                       const TradingCosts& costs);

// Whether row r of a simulation is a trading date (its previous row holds a weight).
inline bool is_trading_row(const WeightProfile& p, Index r) {
    return r > 0 && p.row_has_value(r - 1);
}
// The trading rows, ascending.
IndexMap trading_rows(const WeightProfile& p);

}  // namespace vantorel
