// Ranks within a date, the cut into groups, and the factor group backtest trading each group as
// an equal-weight portfolio with the strategy's rules.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "check.hpp"
#include "grid.hpp"
#include "vantorel/group_backtest.hpp"
#include "vantorel/rank.hpp"

using testgrid::Market;
using testgrid::Table;
using vantorel::AlignedView;
using vantorel::Index;
using vantorel::kNaN;

TEST(average_ranks_share_ties_and_leave_nan_out) {
    const double x[] = {3.0, kNaN, 1.0, 3.0, 2.0, -INFINITY};
    double out[6];
    std::vector<std::pair<double, Index>> scratch;
    vantorel::average_rank(x, 6, out, scratch);
    const double expected[] = {4.5, kNaN, 2.0, 4.5, 3.0, 1.0};
    for (int k = 0; k < 6; ++k)
        CHECK_SAME(out[k], expected[k]);
}

TEST(bucketed_average_ranks_equal_the_sorted_ones) {
    // Ties, negative zero, spreads from narrow to astronomically wide, one far outlier, large
    // buckets of a skewed law, infinities: every case against the comparison sort.
    std::mt19937_64 rng(7);
    std::vector<std::pair<double, Index>> scratch;
    vantorel::RankScratch buckets;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 1 + rng() % 300;
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double u = std::ldexp(static_cast<double>(rng() >> 11), -53);
            switch (trial % 6) {
                case 0:
                    x[i] = std::floor(u * 5.0) / 4.0;
                    break;  // heavy ties
                case 1:
                    x[i] = u * 1e-300;
                    break;  // tiny spread
                case 2:
                    x[i] = (u - 0.5) * 1e308;
                    break;  // spread beyond a double
                case 3:
                    x[i] = i == 0 ? 1e6 : u;
                    break;  // one outlier
                case 4:
                    x[i] = std::exp(40.0 * u);
                    break;  // skewed
                default:
                    x[i] = i % 7 == 0 ? (i % 2 ? INFINITY : -INFINITY) : (u < 0.5 ? -0.0 : 0.0);
            }
        }
        std::vector<double> expected(n), got(n);
        vantorel::average_rank(x.data(), static_cast<Index>(n), expected.data(), scratch);
        vantorel::average_ranks(x.data(), n, got.data(), buckets);
        for (std::size_t i = 0; i < n; ++i)
            CHECK_SAME(got[i], expected[i]);
    }
}

TEST(forward_return_ranks_read_the_next_two_opens) {
    // Row 0 ranks open[2] / open[1] - 1 = (0.1, -0.1, 0.1, inf -> missing), row 1 the returns
    // (1/11, 0, -1/11, 0.2); the last two rows have no forward return.
    const Table open{
        {1.0, 1.0, 1.0, 1.0}, {10.0, 10.0, 10.0, 0.0}, {11.0, 9.0, 11.0, 5.0}, {12.0, 9.0, 10.0, 6.0}};
    const auto r = vantorel::forward_return_rank(AlignedView(open.view()));
    CHECK(r.size() == 16);
    const double expected[] = {2.5, 1.0, 2.5, kNaN, 3.0, 2.0, 1.0, 4.0};
    for (int j = 0; j < 8; ++j)
        CHECK_SAME(r[static_cast<std::size_t>(j)], expected[j]);
    for (int j = 8; j < 16; ++j)
        CHECK_SAME(r[static_cast<std::size_t>(j)], kNaN);
}

TEST(groups_cut_eligible_stocks_by_value_smaller_runs_first) {
    // Eligible: finite value and a validity flag of 1 -> stocks 0 (5), 1 (1), 3 (3), 4 (3), 7 (4);
    // in order 1, 3, 4, 7, 0 (the tie 3 = 3 by column), cut 2 + 3.
    const double factor[] = {5.0, 1.0, kNaN, 3.0, 3.0, INFINITY, 2.0, 4.0};
    const Table valid{{1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.0, 1.0}};
    const AlignedView v(valid.view());
    std::vector<vantorel::KeyedIndex> eligible, scratch;
    std::vector<std::int32_t> group_of;
    vantorel::GroupOptions o;
    o.group_num = 2;
    vantorel::assign_groups(factor, v.row(0), 8, o, eligible, scratch, group_of);
    CHECK(group_of == (std::vector<std::int32_t>{2, 1, 0, 1, 2, 0, 0, 2}));
    CHECK(eligible.size() == 5 && eligible.front().index == 1 && eligible.back().index == 0);
    o.ascending = true;  // the same runs, numbered from the top
    vantorel::assign_groups(factor, v.row(0), 8, o, eligible, scratch, group_of);
    CHECK(group_of == (std::vector<std::int32_t>{1, 2, 0, 2, 1, 0, 0, 1}));
    // More groups than stocks: some groups stay empty, none gets two stocks.
    o.ascending = false;
    o.group_num = 7;
    vantorel::assign_groups(factor, v.row(0), 8, o, eligible, scratch, group_of);
    CHECK(group_of == (std::vector<std::int32_t>{7, 2, 0, 3, 5, 0, 0, 6}));
}

TEST(group_backtest_trades_each_group_as_equal_weights) {
    // Four stocks ranked 4 > 3 > 2 > 1 every day: group 2 holds stocks 0 and 1, group 1 stocks 2
    // and 3, each stock at half the capital: 1e6 x 0.5 / (10 x 100) = 500 lots = 50 000 shares.
    // Date 1 buys at 10; stock 0 closes at 11 and stock 2 at 9: group 2 earns 0.05, group 1 loses
    // 0.05. Date 2 is flat.
    const Table factor{{4.0, 3.0, 2.0, 1.0}, {4.0, 3.0, 2.0, 1.0}, {4.0, 3.0, 2.0, 1.0}};
    const Table valid(3, 4, 1.0);
    // Forward values agreeing with the factor on date 0, opposed on date 1, absent on date 2.
    const Table forward{{0.3, 0.2, 0.1, 0.0}, {0.0, 1.0, 2.0, 3.0}, {kNaN, kNaN, kNaN, kNaN}};
    Market m(3, 4);
    m.close.at(1, 0) = 11.0;
    m.close.at(1, 2) = 9.0;
    vantorel::GroupOptions o;
    o.group_num = 2;
    o.costs = vantorel::TradingCosts{1e6, 0.0, 0.0, 100.0};
    const AlignedView f(factor.view()), v(valid.view()), fw(forward.view());
    const auto r = vantorel::run_group_backtest(f, v, &fw, m.views(), o);
    CHECK(r.rows == 3 && r.groups == 2 && r.traded);
    const double daily[3][2] = {{0.0, 0.0}, {-0.05, 0.05}, {0.0, 0.0}};
    for (int i = 0; i < 3; ++i)
        for (int g = 0; g < 2; ++g)
            CHECK_NEAR(r.daily[static_cast<std::size_t>(i * 2 + g)], daily[i][g], 1e-12);
    CHECK_NEAR(r.rank_ic[0], 1.0, 1e-12);
    CHECK_NEAR(r.rank_ic[1], -1.0, 1e-12);
    CHECK_SAME(r.rank_ic[2], kNaN);

    // Ascending numbering swaps the two groups' columns and nothing else.
    o.ascending = true;
    const auto up = vantorel::run_group_backtest(f, v, &fw, m.views(), o);
    for (int i = 0; i < 3; ++i)
        for (int g = 0; g < 2; ++g)
            CHECK_SAME(up.daily[static_cast<std::size_t>(i * 2 + g)],
                       r.daily[static_cast<std::size_t>(i * 2 + (1 - g))]);
}

TEST(group_net_values_are_additive_and_skip_missing_days) {
    const std::vector<double> daily{0.01, 0.02, kNaN, -0.01, 0.03, 0.0};  // 3 rows x 2 groups
    const auto nav = vantorel::net_values(daily, 3, 2);
    const double expected[] = {1.01, 1.02, kNaN, 1.01, 1.04, 1.01};
    for (int j = 0; j < 6; ++j)
        CHECK_NEAR(nav[static_cast<std::size_t>(j)], expected[j], 1e-12);
}

TEST(group_backtest_gives_the_same_bits_for_a_column_ordered_market) {
    // 150 days (a column-ordered market is traded a stock at a time in blocks of 64 days) of nine
    // stocks drifting apart, with blocked buys and sales, missing prices, and days without any
    // eligible stock at the end of the first block and inside the second.
    const Index rows = 150, cols = 9;
    Market m(rows, cols);
    Table factor(rows, cols, 0.0);
    const Table valid(rows, cols, 1.0);
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<double>(seed >> 8) / 16777216.0;  // [0, 1)
    };
    for (Index i = 0; i < rows; ++i)
        for (Index k = 0; k < cols; ++k) {
            const double prev = i > 0 ? m.close.at(i - 1, k) : 10.0;
            m.prev_close.at(i, k) = prev;
            m.close.at(i, k) = prev * (0.95 + 0.1 * next());
            m.buy_price.at(i, k) = prev * (0.97 + 0.06 * next());
            m.sell_price.at(i, k) = prev * (0.97 + 0.06 * next());
            m.can_buy.set(i, k, next() > 0.1);
            m.cant_sell.set(i, k, next() < 0.3);
            if (next() < 0.02)
                m.sell_price.at(i, k) = kNaN;
            factor.at(i, k) = i == 63 || i == 100 || next() < 0.1 ? kNaN : next();
        }
    vantorel::GroupOptions o;
    o.group_num = 3;
    const AlignedView f(factor.view()), v(valid.view());
    const auto by_rows = vantorel::run_group_backtest(f, v, nullptr, m.views(), o);

    std::vector<std::vector<double>> storage(6);
    std::vector<std::vector<std::uint8_t>> flag_storage(2);
    auto columns = [&](const testgrid::Flags& t, std::vector<std::uint8_t>& s) {
        s.resize(t.values.size());
        for (Index i = 0; i < rows; ++i)
            for (Index k = 0; k < cols; ++k)
                s[static_cast<std::size_t>(k * rows + i)] = t.values[static_cast<std::size_t>(i * cols + k)];
        return AlignedView(vantorel::MatrixView{s.data(), vantorel::ElementKind::Bool, rows, cols, 1, rows});
    };
    const vantorel::MarketViews by_columns{columns(m.can_buy, flag_storage[0]),
                                           columns(m.cant_sell, flag_storage[1]),
                                           AlignedView(m.split.column_major_view(storage[0])),
                                           AlignedView(m.dividend.column_major_view(storage[1])),
                                           AlignedView(m.close.column_major_view(storage[2])),
                                           AlignedView(m.prev_close.column_major_view(storage[3])),
                                           AlignedView(m.buy_price.column_major_view(storage[4])),
                                           AlignedView(m.sell_price.column_major_view(storage[5]))};
    const auto by_stocks = vantorel::run_group_backtest(f, v, nullptr, by_columns, o);
    CHECK(by_rows.traded && by_stocks.traded && by_rows.daily.size() == by_stocks.daily.size());
    bool same_bits = true;
    for (std::size_t j = 0; j < by_rows.daily.size(); ++j)
        same_bits = same_bits && std::memcmp(&by_rows.daily[j], &by_stocks.daily[j], sizeof(double)) == 0;
    CHECK(same_bits);
    for (Index g = 0; g < o.group_num; ++g)  // the day after a day without eligible stocks trades nothing
        CHECK(by_rows.daily[static_cast<std::size_t>(64 * o.group_num + g)] == 0.0 &&
              by_rows.daily[static_cast<std::size_t>(101 * o.group_num + g)] == 0.0);
}
