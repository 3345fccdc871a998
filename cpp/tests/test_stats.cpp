// The statistics: additive net values and drawdowns, linear annualisation in points, Sharpe ratios
// with the sample standard deviation, period metrics and excess summaries.
#include <cmath>
#include <vector>

#include "check.hpp"
#include "vantorel/ic_stats.hpp"
#include "vantorel/report.hpp"
#include "vantorel/stats.hpp"

using vantorel::kNaN;

namespace {

constexpr double kTol = 1e-12;

vantorel::TotalFrameInput input_of(const std::vector<double>& daily, const std::vector<double>& bench,
                                   const vantorel::TotalFrameColumns& t) {
    return vantorel::TotalFrameInput{daily.data(),
                                     bench.data(),
                                     t.extra_daily_return.data(),
                                     t.long_nav.data(),
                                     t.close_net_value.data(),
                                     t.max_drowdown.data(),
                                     t.extra_return.data(),
                                     t.extra_max_drowdown.data(),
                                     static_cast<vantorel::Index>(daily.size())};
}

}  // namespace

TEST(total_frame_of_three_days_without_a_close_column) {
    const std::vector<double> daily{0.01, -0.02, 0.03}, bench{0.0, 0.01, -0.01};
    const auto t = vantorel::build_total_frame(daily.data(), bench.data(), nullptr, 3);
    // Net value 1 + running sum = 1.01, 0.99, 1.02, rebased on its first value.
    CHECK_SAME(t.long_nav[0], 1.0);
    CHECK_NEAR(t.long_nav[1], 0.99 / 1.01, kTol);
    CHECK_NEAR(t.long_nav[2], 1.02 / 1.01, kTol);
    CHECK_SAME(t.max_drowdown[0], 0.0);
    CHECK_NEAR(t.max_drowdown[1], 0.99 / 1.01 - 1.0, kTol);
    CHECK_SAME(t.max_drowdown[2], 0.0);
    // Without a close the benchmark level is 1 + its running sum: 1, 1.01, 1.
    CHECK(t.close.size() == 3);
    CHECK_NEAR(t.close[1], 1.01, kTol);
    CHECK_NEAR(t.close_net_value[2], 1.0, kTol);
    // Excess 0.01, -0.03, 0.04: its running sum less the first value is 0, -0.03, 0.01.
    CHECK_NEAR(t.extra_daily_return[1], -0.03, kTol);
    CHECK_SAME(t.extra_return[0], 0.0);
    CHECK_NEAR(t.extra_return[1], -0.03, kTol);
    CHECK_NEAR(t.extra_return[2], 0.01, kTol);
    CHECK_NEAR(t.extra_max_drowdown[1], -0.03, kTol);
    CHECK_NEAR(t.extra_max_drowdown[2], 0.0, kTol);

    const auto s = vantorel::strategy_stats(input_of(daily, bench, t), 3.5, 0.25);
    // Three rows are 3 / 252 = 1 / 84 of a year; annual figures are total / years x 100.
    CHECK_NEAR(s[0], (1.02 / 1.01 - 1.0) * 84 * 100, 1e-9);                         // annual_return
    CHECK_NEAR(s[1], (0.02 / 3) / std::sqrt(0.0019 / 3) * std::sqrt(252.0), 1e-9);  // long_sharp
    CHECK_NEAR(s[2], 1.0 - 0.99 / 1.01, kTol);                                      // max_dd
    CHECK_NEAR(s[3], 0.0, 1e-9);                                                    // benchmark_annual_return
    CHECK_NEAR(s[4], 0.0, 1e-9);                                                    // benchmark_sharp: mean 0
    CHECK_NEAR(s[5], 0.01 * 84 * 100, 1e-9);                                        // extra_annual_return
    CHECK_NEAR(s[6], (0.02 / 3) / std::sqrt(0.0037 / 3) * std::sqrt(252.0), 1e-9);  // extra_sharp
    CHECK_NEAR(s[7], 0.03, kTol);                                                   // extra_max_dd
    // Deviations (1/300, -8/300, 7/300) and (0, 0.01, -0.01): covariance sum -0.0005.
    CHECK_NEAR(s[8], -0.0005 / std::sqrt(0.0038 / 3 * 0.0002), kTol);  // return_corr
    CHECK_NEAR(s[9], 2.0 / 3.0, kTol);                                 // win_rate
    CHECK_NEAR(s[10], 2.0 / 3.0, kTol);                                // excess_win_rate
    CHECK_SAME(s[11], 3.5);
    CHECK_SAME(s[12], 0.25);
}

TEST(drawdown_is_measured_in_net_value_units) {
    // A net value rising to 1.2 and falling to 0.9 has a drawdown of 0.3, not 0.25; 126 rows are
    // half a year, so a 10 % total gain is 20 points a year.
    std::vector<double> daily(126, 0.0), bench(126, 0.0);
    daily[1] = 0.2;
    daily[2] = -0.3;
    daily[3] = 0.2;
    std::vector<double> close(126, 4000.0);
    close[125] = 4400.0;
    const auto t = vantorel::build_total_frame(daily.data(), bench.data(), close.data(), 126);
    const auto s = vantorel::strategy_stats(input_of(daily, bench, t), kNaN, kNaN);
    CHECK_NEAR(s[0], 20.0, 1e-9);
    CHECK_NEAR(s[2], 0.3, kTol);
    CHECK_NEAR(s[3], 20.0, 1e-9);  // benchmark close 4000 -> 4400
    CHECK_SAME(s[11], kNaN);
}

TEST(a_single_row) {
    const std::vector<double> daily{0.02}, bench{0.01};
    const auto t = vantorel::build_total_frame(daily.data(), bench.data(), nullptr, 1);
    CHECK_SAME(t.long_nav[0], 1.0);
    CHECK_SAME(t.max_drowdown[0], 0.0);
    CHECK_SAME(t.extra_return[0], 0.0);
    const auto s = vantorel::strategy_stats(input_of(daily, bench, t), 1.0, kNaN);
    CHECK_SAME(s[0], 0.0);
    CHECK_SAME(s[1], kNaN);  // one value has no standard deviation
    CHECK_SAME(s[8], kNaN);
    CHECK_SAME(s[9], 1.0);
}

TEST(sharpe_skips_missing_values_and_refuses_degenerate_series) {
    const double x[] = {0.01, kNaN, 0.03};
    // mean 0.02, sample standard deviation sqrt(0.0002)
    CHECK_NEAR(vantorel::safe_sharpe(x, 3, 252.0), 0.02 / std::sqrt(0.0002) * std::sqrt(252.0), 1e-9);
    const double one[] = {0.01}, flat[] = {0.01, 0.01, 0.01};
    CHECK_SAME(vantorel::safe_sharpe(one, 1, 252.0), kNaN);
    CHECK_SAME(vantorel::safe_sharpe(flat, 3, 252.0), kNaN);
    CHECK_SAME(vantorel::safe_sharpe(nullptr, 0, 252.0), kNaN);
}

TEST(period_metrics_count_the_start_as_a_peak) {
    // Equity 0.9, 0.95 after a start of 1: the drawdown is 0.1 from the start; Calmar is the
    // annualised mean (-0.025 x 252) over it.
    const double r[] = {-0.1, 0.05};
    const auto m = vantorel::period_metrics(r, 2, 252.0);
    CHECK_NEAR(m.period_return, -0.05, kTol);
    CHECK_NEAR(m.max_drawdown, 0.1, kTol);
    CHECK_NEAR(m.calmar, -63.0, 1e-9);
    // Equity 1.1, 0.8, 0.9: drawdown 0.3 from the peak of 1.1; NaN days are skipped.
    const double r2[] = {0.1, kNaN, -0.3, 0.1};
    const auto m2 = vantorel::period_metrics(r2, 4, 252.0);
    CHECK_NEAR(m2.period_return, -0.1, kTol);
    CHECK_NEAR(m2.max_drawdown, 0.3, kTol);
    // A series that never falls below its start has no drawdown and no Calmar.
    const double up[] = {0.01, 0.02};
    const auto m3 = vantorel::period_metrics(up, 2, 252.0);
    CHECK_SAME(m3.max_drawdown, 0.0);
    CHECK_SAME(m3.calmar, kNaN);
    const auto empty = vantorel::period_metrics(nullptr, 0, 252.0);
    CHECK_SAME(empty.period_return, kNaN);
}

TEST(excess_summary_against_a_benchmark) {
    // Excess 0.01, -0.02, -0.02, 0.03: cumulated 0.01, -0.01, -0.03, 0; the deepest fall from the
    // running peak of 0.01 is -0.04. Annual figures are means x 252.
    const double strategy[] = {0.02, -0.01, -0.02, 0.03}, bench[] = {0.01, 0.01, 0.0, 0.0};
    const auto e = vantorel::summarise_excess(strategy, bench, 4);
    CHECK_NEAR(e.benchmark_annual_return, 0.005 * 252, kTol);
    CHECK_NEAR(e.excess_annual_return, 0.0, 1e-12);
    CHECK_NEAR(e.excess_max_dd, -0.04, kTol);
    // Only the dates where the benchmark is present count.
    const double partial[] = {0.01, kNaN, 0.0, kNaN};
    vantorel::ExcessSummary p{};
    CHECK(vantorel::summarise_excess_where_present(strategy, partial, 4, p));
    CHECK_NEAR(p.benchmark_annual_return, 0.005 * 252, kTol);
    CHECK_NEAR(p.excess_annual_return, -0.005 * 252, kTol);  // excess 0.01 and -0.02
    const double absent[] = {kNaN, kNaN, kNaN, kNaN};
    CHECK(!vantorel::summarise_excess_where_present(strategy, absent, 4, p));
}

TEST(student_t_tail_matches_its_closed_forms) {
    // One degree of freedom is the Cauchy law, two have a closed form; large t, tiny t, NaN.
    for (double t : {0.0, 1e-9, 0.3, 1.0, 2.5, 12.7062047361747, 1e3}) {
        CHECK_NEAR(vantorel::student_t_two_sided_p(t, 1.0), 1.0 - 2.0 / M_PI * std::atan(t), 1e-13);
        CHECK_NEAR(vantorel::student_t_two_sided_p(-t, 2.0), 1.0 - t / std::sqrt(2.0 + t * t), 1e-13);
    }
    // Tabled 5 % points, and the normal limit of many degrees of freedom.
    CHECK_NEAR(vantorel::student_t_two_sided_p(2.228138851986274, 10.0), 0.05, 1e-12);
    CHECK_NEAR(vantorel::student_t_two_sided_p(1.959963984540054, 1e6), 0.05, 1e-6);
    CHECK(vantorel::student_t_two_sided_p(40.0, 3000.0) > 0.0);
    CHECK(vantorel::student_t_two_sided_p(40.0, 3000.0) < 1e-200);
    CHECK_SAME(vantorel::student_t_two_sided_p(kNaN, 5.0), kNaN);
    CHECK_SAME(vantorel::student_t_two_sided_p(1.0, 0.0), kNaN);
    CHECK_SAME(vantorel::student_t_two_sided_p(INFINITY, 5.0), 0.0);
}

TEST(ic_figures_skip_missing_days_and_refuse_a_spread_of_rounding) {
    const double ic[] = {0.1, kNaN, -0.05, 0.2, 0.0};
    const vantorel::IcStats s = vantorel::ic_stats(ic, 5);
    CHECK(s.days == 4);
    CHECK_NEAR(s.mean, 0.0625, kTol);
    const double sd =
        std::sqrt((0.0375 * 0.0375 + 0.1125 * 0.1125 + 0.1375 * 0.1375 + 0.0625 * 0.0625) / 3.0);
    CHECK_NEAR(s.std, sd, kTol);
    CHECK_NEAR(s.icir, 0.0625 / sd, kTol);
    CHECK_NEAR(s.icir_annual, 0.0625 / sd * std::sqrt(252.0), 1e-10);
    CHECK_NEAR(s.t_stat, 0.0625 / sd * 2.0, kTol);
    CHECK_NEAR(s.positive_share, 0.5, kTol);
    // The same IC every day: no spread, no ratio, whatever the rounding of the sum.
    std::vector<double> same(7, 1.0 / 3.0);
    const vantorel::IcStats flat = vantorel::ic_stats(same.data(), 7);
    CHECK(flat.days == 7);
    CHECK_SAME(flat.icir, kNaN);
    CHECK_SAME(flat.p_value, kNaN);
    const double one[] = {0.4};
    CHECK_SAME(vantorel::ic_stats(one, 1).std, kNaN);
    CHECK_SAME(vantorel::ic_stats(one, 1).mean, 0.4);
}

TEST(ic_by_year_and_month) {
    const std::vector<double> ic = {0.1, 0.3, kNaN, -0.2, 0.4, 0.5};
    const std::vector<int> years = {2021, 2021, 2021, 2022, -1, 2022};
    const std::vector<int> months = {1, 1, 2, 12, 3, 12};
    const auto by_year = vantorel::ic_stats_by_year(ic, years);
    CHECK(by_year.size() == 2 && by_year[0].year == 2021 && by_year[1].year == 2022);
    CHECK_NEAR(by_year[0].stats.mean, 0.2, kTol);
    CHECK(by_year[0].stats.days == 2 && by_year[1].stats.days == 2);
    const auto grid = vantorel::mean_ic_by_month(ic, years, months);
    CHECK(grid.size() == 24);
    CHECK_NEAR(grid[0], 0.2, kTol);
    CHECK_SAME(grid[1], kNaN);              // February 2021: only a missing IC
    CHECK_NEAR(grid[12 + 11], 0.15, kTol);  // December 2022
}
