// Pieces of the _core module shared by its source files.
#pragma once

#include <nanobind/nanobind.h>

#include "bridge.hpp"
#include "charts.hpp"
#include "vantorel/factor_analytics.hpp"
#include "vantorel/group_backtest.hpp"

namespace vantorel::core {

namespace nb = nanobind;

nb::module_ core_module();
void set_module(nb::module_& m);

// What the group chart draws, in plain vectors.
struct GroupChartData {
    nb::object dates;  // the grid's dates, as datetime64 values
    Index rows = 0, groups = 0;
    std::vector<double> daily;       // rows x groups
    std::vector<double> cumulative;  // rows x groups
    std::vector<double> rank_ic;
};

// Colours of groups 1..G, from the lowest (blue) to the highest (red).
nb::list group_colours(Index groups);
// One bar per group, in the group colours, numbered below.
void group_bars(const bridge::chart::Environment& env, nb::handle ax, std::vector<double> values,
                Index groups);

// The long-short panel of both factor pages: the net value of `spread` (the top group minus group 1)
// with its drawdown on a twin axis behind it.
void long_short_panel(const bridge::chart::Environment& env, nb::handle ax, nb::handle dates,
                      const LongShort& spread, Index groups, const std::string& title);

// Draws the factor group chart at save_path (caller holds the chart lock).
void draw_group_chart(const GroupChartData& data, const std::string& factor_name, nb::handle plot_title,
                      nb::handle save_path, const std::string& image_kind, const std::string& benchmark_name);

// Each date's calendar year and month; -1 for a label that is no date.
struct Calendar {
    std::vector<int> years, months;
};
Calendar calendar_of(nb::handle dates);

// What the analytics page draws.
struct AnalyticsChartData {
    nb::object dates;  // the grid's dates, as datetime64 values
    Index groups = 0;
    std::vector<double> decay_mean, decay_icir;  // per horizon of kIcHorizons
    std::vector<int> years;                      // ascending
    std::vector<double> month_ic;                // years x 12
    std::vector<double> year_mean;               // per year
    std::vector<double> mean_turnover;           // per group
    std::vector<double> autocorrelation;         // per date
    double mean_autocorrelation = kNaN;
    LongShort long_short;
    double monotonicity = kNaN;
};
AnalyticsChartData analytics_chart_data(const FactorBacktest& run, const Calendar& calendar,
                                        nb::handle dates);

// Draws the analytics page at save_path (caller holds the chart lock).
void draw_analytics_chart(const AnalyticsChartData& data, const std::string& factor_name,
                          nb::handle plot_title, nb::handle save_path, const std::string& image_kind);

void register_group_backtest(nb::module_& m);

// The analytics fields of the kernel result: ic_summary, ic_by_year, ic_decay, group_turnover,
// factor_autocorrelation, long_short, monotonicity and group_forward_return. `annual` is each
// group's annual return.
void add_factor_measures(nb::dict& fields, const FactorBacktest& run, const std::vector<double>& annual,
                         const Calendar& calendar, nb::handle dates, nb::handle group_labels);

}  // namespace vantorel::core
