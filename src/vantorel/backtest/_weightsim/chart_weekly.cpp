// The weekly net value chart: Friday samples of the strategy, benchmark and excess net values,
// their drawdowns, and the yearly metrics table.
#include "charts.hpp"
#include "report.hpp"
#include "vantorel/report.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;

namespace {

nb::object drawdown_of(nb::handle weekly, const char* column) {
    const std::vector<double> x = bridge::float_values(column_values(weekly, column), column);
    return chart::numpy_of(drawdown_from_peak(x.data(), static_cast<Index>(x.size())));
}

}  // namespace

void plot_weekly_net_value_unlocked(nb::handle total, const std::string& strategy_name, nb::handle plot_title,
                                    nb::handle save_path, const std::string& image_kind,
                                    const std::string& benchmark_name) {
    const chart::Environment env = chart::prepare_environment();
    nb::object weekly = weightsim_module().attr("_build_weekly_net_value_frame")(total);
    if (bridge::truthy(weekly.attr("empty")))
        return;
    nb::object plot_df = weightsim_module().attr("_with_datetime_index")(total);
    nb::object daily = daily_returns_of(plot_df);
    nb::object yearly_metrics = weightsim_module().attr("_calc_yearly_performance_metrics")(daily);

    nb::object x = chart::date_values(weekly.attr("index"));
    nb::object strategy_nav = column_values(weekly, "long");
    nb::object benchmark_nav = column_values(weekly, "close_net_value");
    nb::object excess_nav = column_values(weekly, "extra_net_value");
    nb::object strategy_dd = drawdown_of(weekly, "long");
    nb::object benchmark_dd = drawdown_of(weekly, "close_net_value");
    nb::object excess_dd = drawdown_of(weekly, "extra_net_value");

    const bool is_long = image_kind != "large";
    nb::object fig = is_long ? chart::new_figure(env, 15.5, 12.4, true, {0.065, 0.965, 0.94, 0.055})
                             : chart::new_figure(env, 19.0, 9.2, false, {});
    nb::object ax_nav, ax_dd, ax_table;
    if (is_long) {
        nb::object grid = fig.attr("add_gridspec")(3, 1, "height_ratios"_a = nb::make_tuple(3.1, 1.45, 1.9),
                                                   "hspace"_a = 0.34);
        ax_nav = fig.attr("add_subplot")(chart::cell(grid, 0, 0));
        ax_dd = fig.attr("add_subplot")(chart::cell(grid, 1, 0), "sharex"_a = ax_nav);
        ax_table = fig.attr("add_subplot")(chart::cell(grid, 2, 0));
    } else {
        nb::object grid = fig.attr("add_gridspec")(2, 2, "height_ratios"_a = nb::make_tuple(3.05, 1.75),
                                                   "width_ratios"_a = nb::make_tuple(2.25, 1.05));
        ax_nav = fig.attr("add_subplot")(chart::cell(grid, 0, chart::all_columns()));
        ax_dd = fig.attr("add_subplot")(chart::cell(grid, 1, 0), "sharex"_a = ax_nav);
        ax_table = fig.attr("add_subplot")(chart::cell(grid, 1, 1));
    }
    chart::FigureCloser closer(env.plt, fig);

    const std::string title = chart::title_of(strategy_name, plot_title);
    chart::figure_title(fig, title + " | Benchmark " + benchmark_name + " | Weekly Net Value", 16.0, is_long,
                        0.985);

    ax_nav.attr("plot")(x, strategy_nav, "color"_a = "#2563eb", "linewidth"_a = 2.4,
                        "label"_a = "Strategy NAV");
    ax_nav.attr("plot")(x, benchmark_nav, "color"_a = "#111827", "linewidth"_a = 1.8, "linestyle"_a = "--",
                        "label"_a = benchmark_name + " NAV");
    ax_nav.attr("plot")(x, excess_nav, "color"_a = "#ef4444", "linewidth"_a = 2.0, "alpha"_a = 0.92,
                        "label"_a = "Excess NAV");
    chart::zero_line(ax_nav, 1.0, "#94a3b8", 0.9);
    ax_nav.attr("set_ylabel")("Net Value");
    ax_nav.attr("set_title")("Weekly Net Value");
    ax_nav.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92);

    ax_dd.attr("fill_between")(x, strategy_dd, 0, "color"_a = "#bfdbfe", "alpha"_a = 0.58,
                               "label"_a = "Strategy Drawdown");
    ax_dd.attr("plot")(x, benchmark_dd, "color"_a = "#111827", "linewidth"_a = 1.25, "alpha"_a = 0.76,
                       "label"_a = benchmark_name + " Drawdown");
    ax_dd.attr("plot")(x, excess_dd, "color"_a = "#ef4444", "linewidth"_a = 1.45, "alpha"_a = 0.86,
                       "label"_a = "Excess Drawdown");
    chart::zero_line(ax_dd);
    ax_dd.attr("set_title")("Weekly Drawdown");
    ax_dd.attr("set_ylabel")("Drawdown");
    chart::percent_axis(env, ax_dd);
    ax_dd.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92, "ncol"_a = 3);

    draw_yearly_metrics_table(ax_table, yearly_metrics);
    chart::style_panel(ax_nav);
    chart::style_panel(ax_dd);
    chart::date_axis(ax_nav);  // the drawdown panel shares its dates

    chart::save_figure(fig, save_path, is_long);
}

}  // namespace vantorel::weightsim
