// Report pieces of the strategy engine module: formatters, yearly metrics, weekly frame, charts.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bridge.hpp"
#include "charts.hpp"

namespace vantorel::weightsim {

namespace nb = nanobind;
namespace chart = bridge::chart;

// The module object, for constants and functions looked up at call time.
nb::module_ weightsim_module();

// Formatters: "--" for a missing value, else fixed-point text.
std::string format_pct(nb::handle value, int digits = 2);
std::string format_pct_points(nb::handle value, int digits = 2);
std::string format_num(nb::handle value, int digits = 2);
std::string format_annual_excess(nb::handle annual_excess);

nb::object yearly_performance_metrics(nb::handle daily);
nb::object weekly_net_value_frame(nb::handle total);

// A copy of the three daily-return columns (strategy, benchmark, excess) of a date-indexed frame.
nb::object daily_returns_of(nb::handle plot_df);

// A float64 NumPy copy of one column (missing values as NaN).
nb::object column_values(nb::handle frame, const char* column);

// Chart drawing; the unlocked workers must run with _MATPLOTLIB_PLOT_LOCK held.
void plot_strategy_performance_unlocked(nb::handle total, nb::handle stats, const std::string& strategy_name,
                                        nb::handle plot_title, nb::handle save_path,
                                        const std::string& image_kind, const std::string& benchmark_name,
                                        std::int64_t rolling_window);
void plot_weekly_net_value_unlocked(nb::handle total, const std::string& strategy_name, nb::handle plot_title,
                                    nb::handle save_path, const std::string& image_kind,
                                    const std::string& benchmark_name);
void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics);

void register_report(nb::module_& m);
void register_charts(nb::module_& m);

}  // namespace vantorel::weightsim
