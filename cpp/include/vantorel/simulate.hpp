// Day-by-day VWAP trading of target weights in whole lots.
#pragma once

#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

struct TradingCosts {
    double total_money = 1e8;
    double fee = 0.0001;       // commission, both sides
    double rule_fee = 0.0005;  // stamp duty, sells only
    double lot_size = 200.0;
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

// Simulates the portfolio and returns each day's money result divided by total_money.
// `weights` row i holds the target weights traded on day i (already shifted by one day);
// every view has n_days rows and n_stocks columns. Pure and reentrant.
std::vector<double> simulate_vwap_returns(const AlignedView& weights, const MarketViews& market,
                                          const TradingCosts& costs);

}  // namespace vantorel
