// Worked examples of the trading day: each row's weights trade on the next row's date, targets in
// whole lots sized from the fixed capital and the previous close, blocked trades retried the next
// day, splits and dividends credited to the shares held at the previous close.
#include <cmath>
#include <vector>

#include "check.hpp"
#include "grid.hpp"
#include "vantorel/simulate.hpp"
#include "vantorel/weights.hpp"

using testgrid::Market;
using testgrid::Table;
using vantorel::AlignedView;
using vantorel::kNaN;
using vantorel::TradingCosts;

namespace {

// A million in capital and lots of 100 shares at a price of 10 make a weight of 0.5 a target of
// 500 lots = 50 000 shares; no fees.
const TradingCosts kSmall{1e6, 0.0, 0.0, 100.0};

std::vector<double> simulate(const Table& weights, const Market& m, const TradingCosts& costs) {
    const AlignedView w(weights.view());
    return vantorel::simulate_vwap_returns(w, m.views(), costs).returns;
}

void check_returns(const std::vector<double>& got, const std::vector<double>& expected) {
    CHECK(got.size() == expected.size());
    for (std::size_t i = 0; i < got.size() && i < expected.size(); ++i)
        CHECK_NEAR(got[i], expected[i], 1e-12);
}

}  // namespace

TEST(equal_weights_on_four_stocks_with_default_costs) {
    // 1e8 x 0.25 / (10 x 200) = 12 500 lots = 2 500 000 shares of each stock, bought on the second
    // date at the buy price plus 0.01 % commission and marked at the close; the third date trades
    // the second row's zero weights: everything is sold at 10 against a previous close of 10,
    // paying 0.01 % commission and 0.05 % stamp duty.
    const double q = 0.25;
    const Table w{{q, q, q, q}, {0.0, 0.0, 0.0, 0.0}, {kNaN, kNaN, kNaN, kNaN}};
    Market m(3, 4);
    const double buy[4] = {10.1, 10.0, 9.9, 10.2}, close[4] = {10.3, 9.8, 10.0, 10.5};
    for (int k = 0; k < 4; ++k) {
        m.buy_price.at(1, k) = buy[k];
        m.close.at(1, k) = close[k];
    }
    const TradingCosts defaults;
    CHECK_SAME(defaults.total_money, 1e8);
    CHECK_SAME(defaults.lot_size, 200.0);
    // 2.5e6 x ((10.3 - 10.10101) + (9.8 - 10.001) + (10.0 - 9.90099) + (10.5 - 10.20102)) / 1e8
    const double day1 = 2.5e6 * (0.19899 - 0.201 + 0.09901 + 0.29898) / 1e8;
    // 4 x 2.5e6 x (10 x (1 - 0.0001 - 0.0005) - 10) / 1e8
    const double day2 = 4 * 2.5e6 * -0.006 / 1e8;
    check_returns(simulate(w, m, defaults), {0.0, day1, day2});
}

TEST(a_date_trades_only_after_a_row_holding_some_weight) {
    const Table w{{0.5, kNaN}, {kNaN, kNaN}, {0.5, 0.5}, {kNaN, 0.1}};
    Market m(4, 2);
    for (int i = 0; i < 4; ++i)
        m.close.at(i, 0) = 11.0;  // every trade of stock 0 earns 1 per share bought or held
    // Date 1 buys 50 000 shares of stock 0; date 2 follows an empty row and does not trade (the
    // shares stay held but earn nothing that day); date 3 trades row 2: stock 0 held earns
    // 11 - 10 per share, stock 1 is bought at 10 and closes at 10.
    const auto r = simulate(w, m, kSmall);
    check_returns(r, {0.0, 0.05, 0.0, 0.05});
    const auto rows = vantorel::trading_rows(vantorel::profile_weights(AlignedView(w.view())));
    CHECK(rows == (vantorel::IndexMap{1, 3}));
}

TEST(blocked_sale_is_retried_the_next_day) {
    // Stock 1 is bought on date 1, its weight then disappears: date 2 cannot sell it (limit-down or
    // suspended), so it is held and earns 12 - 11; date 3 sells it at 12.5 against a previous
    // close of 12; date 4 no longer holds it, so its jump to 20 is not the portfolio's.
    const Table w{{0.5, 0.5}, {0.5, kNaN}, {0.5, kNaN}, {0.5, kNaN}, {0.5, kNaN}};
    Market m(5, 2);
    const double prev[5] = {10, 10, 11, 12, 13}, close[5] = {10, 11, 12, 13, 20};
    for (int i = 0; i < 5; ++i) {
        m.prev_close.at(i, 1) = prev[i];
        m.close.at(i, 1) = close[i];
    }
    m.sell_price.at(3, 1) = 12.5;
    m.cant_sell.set(2, 1, true);
    check_returns(simulate(w, m, kSmall), {0.0, 0.05, 0.05, 0.025, 0.0});
}

TEST(blocked_purchase_is_retried_in_full_the_next_day) {
    const Table w{{0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}};
    Market m(3, 2);
    m.can_buy.set(1, 1, false);  // limit-up: nothing of stock 1 on date 1, so its close of 12 is not ours
    m.close.at(1, 1) = 12.0;
    m.buy_price.at(2, 1) = 10.5;  // date 2 buys all 50 000 shares at 10.5, closing at 11
    m.close.at(2, 1) = 11.0;
    check_returns(simulate(w, m, kSmall), {0.0, 0.0, 0.025});
}

TEST(split_and_dividend_days) {
    // Date 1: bought; that day's dividend of 0.7 is not for the new shares.
    // Date 2: a 2-for-1 split halves the close: 50 000 x (2 x 5 - 10) = 0, plus the dividend of
    //         0.3 on the 50 000 shares held at the previous close.
    // Date 3: sold at 5 against a previous close of 5, still earning that day's dividend of 0.2
    //         per share held at the previous close. Share counts are never rescaled by a split.
    const Table w{{0.5, 0.5}, {0.5, 0.5}, {0.5, kNaN}, {0.5, kNaN}};
    Market m(4, 2);
    m.dividend.at(1, 1) = 0.7;
    m.dividend.at(2, 1) = 0.3;
    m.dividend.at(3, 1) = 0.2;
    m.split.at(2, 1) = 2.0;
    m.close.at(2, 1) = 5.0;
    m.close.at(3, 1) = 5.0;
    m.prev_close.at(3, 1) = 5.0;
    m.sell_price.at(3, 1) = 5.0;
    check_returns(simulate(w, m, kSmall), {0.0, 0.0, 0.015, 0.01});

    // Sold on the split day itself: 50 000 x (2 x 5.5 - 10).
    const Table w2{{0.5, 0.5}, {0.5, kNaN}, {0.5, kNaN}};
    Market m2(3, 2);
    m2.split.at(2, 1) = 2.0;
    m2.sell_price.at(2, 1) = 5.5;
    m2.close.at(2, 1) = 5.0;
    check_returns(simulate(w2, m2, kSmall), {0.0, 0.0, 0.05});
}

TEST(targets_round_down_to_whole_lots_and_shorts_away_from_zero) {
    // 1e6 x 0.1239 / (10 x 100) = 123.9 -> 123 lots = 12 300 shares; -0.1231 gives -123.1 -> -124
    // lots = -12 400 shares. Date 1: the long shares are bought at 10 and close at 11; the short is
    // reached by selling at 10 against a previous close of 10, which earns nothing.
    const Table w{{0.1239, -0.1231}, {0.1239, -0.1231}, {kNaN, kNaN}};
    Market m(3, 2);
    m.close.at(1, 0) = 11.0;
    m.close.at(2, 1) = 9.0;  // date 2: the short of 12 400 shares, kept, gains 12 400 x 1
    const auto r = simulate(w, m, kSmall);
    check_returns(r, {0.0, 12300.0 / 1e6, -12400.0 * (9.0 - 10.0) / 1e6});
}

TEST(missing_or_non_positive_previous_close_sizes_no_position) {
    const Table w{{0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}};
    Market m(4, 2);
    m.prev_close.at(1, 1) = kNaN;  // date 1: no target, nothing bought
    m.prev_close.at(2, 1) = 0.0;   // date 2: no target either
    m.close.at(3, 1) = 12.0;       // date 3: bought at 10, closes at 12
    check_returns(simulate(w, m, kSmall), {0.0, 0.0, 0.0, 0.1});
}

TEST(either_memory_order_gives_the_same_returns) {
    const Table w{{0.3, kNaN, 0.2}, {0.1, 0.4, kNaN}, {kNaN, 0.5, 0.5}, {0.2, 0.2, 0.2}};
    Market m(4, 3);
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 3; ++k) {
            m.close.at(i, k) = 10.0 + 0.5 * i - 0.3 * k;
            m.buy_price.at(i, k) = 10.0 + 0.1 * k;
        }
    std::vector<double> storage;
    const AlignedView by_column(w.column_major_view(storage));
    const auto a = simulate(w, m, TradingCosts{});
    const auto b = vantorel::simulate_vwap_returns(by_column, m.views(), TradingCosts{}).returns;
    CHECK(a == b);
}

TEST(weight_profile_holding_count_and_turnover) {
    // Rows (0.5, 0.5) -> (1.0, NaN): the change is |1.0 - 0.5| + |0 - 0.5| = 1, half of it 0.5;
    // finite weights per row 2 and 1.
    const Table w{{0.5, 0.5}, {1.0, kNaN}};
    const auto s = vantorel::summarise_weights(vantorel::profile_weights(AlignedView(w.view())));
    CHECK_SAME(s.turnover, 0.5);
    CHECK_SAME(s.holding_count, 1.5);
    // One row: no turnover; zeros count as held, infinities do not.
    const Table one{{0.0, INFINITY, 0.2}};
    const auto s1 = vantorel::summarise_weights(vantorel::profile_weights(AlignedView(one.view())));
    CHECK_SAME(s1.turnover, kNaN);
    CHECK_SAME(s1.holding_count, 2.0);
}
