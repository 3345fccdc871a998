// The factor group chart: every group's net value, annual return per group, the daily rank IC
// with its running sum, and the long-short net value with its drawdown.
#include <nanobind/stl/string.h>

#include "core.hpp"
#include "vantorel/report.hpp"

namespace vantorel::core {

using namespace nb::literals;
using namespace vantorel::bridge;

nb::list group_colours(Index groups) {
    nb::object cmap = nb::module_::import_("matplotlib").attr("colormaps")["turbo"];
    nb::list colours;
    for (Index g = 0; g < groups; ++g) {
        const double shade = groups > 1 ? static_cast<double>(g) / static_cast<double>(groups - 1) : 1.0;
        colours.append(cmap(0.1 + 0.8 * shade));
    }
    return colours;
}

void group_bars(const chart::Environment& env, nb::handle ax, std::vector<double> values, Index groups) {
    nb::list labels;
    for (Index g = 0; g < groups; ++g)
        labels.append(std::to_string(g + 1));
    nb::object x = env.np.attr("arange")(groups);
    ax.attr("bar")(x, chart::numpy_of(std::move(values)), "color"_a = group_colours(groups), "alpha"_a = 0.9);
    ax.attr("set_xticks")(x);
    if (groups > 30)  // smaller numbers, so that many still stand apart
        ax.attr("set_xticklabels")(labels, "fontsize"_a = 6);
    else
        ax.attr("set_xticklabels")(labels);
    ax.attr("set_xlabel")("Group");
}

void long_short_panel(const chart::Environment& env, nb::handle ax, nb::handle dates, const LongShort& spread,
                      Index groups, const std::string& title) {
    std::vector<double> nav = spread.net_value, dd = spread.drawdown;
    ax.attr("plot")(dates, chart::numpy_of(std::move(nav)), "color"_a = "#7c3aed", "linewidth"_a = 2.0,
                    "label"_a = "G" + std::to_string(groups) + " - G1 Net Value");
    // The drawdown on a twin axis behind the net value.
    nb::object twin = ax.attr("twinx")();
    twin.attr("fill_between")(dates, chart::numpy_of(std::move(dd)), 0, "color"_a = "#fecaca",
                              "alpha"_a = 0.4, "label"_a = "Drawdown");
    twin.attr("set_zorder")(ax.attr("get_zorder")() - nb::int_(1));
    ax.attr("patch").attr("set_visible")(false);
    twin.attr("grid")(false);
    chart::percent_axis(env, twin);
    ax.attr("set_title")(title);
    chart::merged_legend(ax, twin, "upper left");
}

void draw_group_chart(const GroupChartData& d, const std::string& factor_name, nb::handle plot_title,
                      nb::handle save_path, const std::string& image_kind,
                      const std::string& benchmark_name) {
    const chart::Environment env = chart::prepare_environment();
    const bool is_long = image_kind != "large";
    nb::object fig = is_long ? chart::new_figure(env, 15.5, 22.0, true, {0.06, 0.94, 0.95, 0.04})
                             : chart::new_figure(env, 20.0, 11.0, false, {});
    nb::object ax_nav, ax_annual, ax_ic, ax_ls;
    if (is_long) {
        nb::object grid = fig.attr("add_gridspec")(3, 2, "height_ratios"_a = nb::make_tuple(3.2, 2.6, 2.6),
                                                   "hspace"_a = 0.32, "wspace"_a = 0.22);
        ax_nav = fig.attr("add_subplot")(chart::cell(grid, 0, chart::all_columns()));
        ax_annual = fig.attr("add_subplot")(chart::cell(grid, 1, 0));
        ax_ls = fig.attr("add_subplot")(chart::cell(grid, 1, 1));
        ax_ic = fig.attr("add_subplot")(chart::cell(grid, 2, chart::all_columns()));
    } else {
        nb::object grid = fig.attr("add_gridspec")(2, 3, "height_ratios"_a = nb::make_tuple(1.0, 1.0),
                                                   "width_ratios"_a = nb::make_tuple(1.05, 1.05, 1.0));
        ax_nav = fig.attr("add_subplot")(chart::cell(grid, 0, chart::columns(0, 1)));
        ax_annual = fig.attr("add_subplot")(chart::cell(grid, 0, 2));
        ax_ic = fig.attr("add_subplot")(chart::cell(grid, 1, chart::columns(0, 1)));
        ax_ls = fig.attr("add_subplot")(chart::cell(grid, 1, 2));
    }
    chart::FigureCloser closer(env.plt, fig);
    const std::string title = chart::title_of(factor_name, plot_title);
    chart::figure_title(fig, title + " | Benchmark " + benchmark_name + " | Factor Group Backtest", 17.0,
                        is_long, 0.975);

    // Net values, coloured from the lowest group (blue) to the highest (red).
    const nb::list colours = group_colours(d.groups);
    for (Index g = 0; g < d.groups; ++g) {
        ax_nav.attr("plot")(d.dates, chart::numpy_of(block_column(d.cumulative, d.rows, d.groups, g)),
                            "color"_a = colours[static_cast<std::size_t>(g)], "linewidth"_a = 1.4,
                            "label"_a = "G" + std::to_string(g + 1));
    }
    chart::zero_line(ax_nav, 1.0, "#94a3b8", 0.9);
    ax_nav.attr("set_title")("Group Net Value");
    ax_nav.attr("set_ylabel")("Net Value");
    ax_nav.attr("legend")("loc"_a = "upper left", "frameon"_a = true, "framealpha"_a = 0.92,
                          "ncol"_a = std::min<Index>(10, std::max<Index>(1, (d.groups + 1) / 2)),
                          "fontsize"_a = 8);

    // Annual return per group: monotone bars are what a good factor shows.
    group_bars(env, ax_annual, group_annual_returns(d.daily, d.rows, d.groups), d.groups);
    chart::zero_line(ax_annual);
    ax_annual.attr("set_title")("Annualised Return by Group");
    chart::percent_axis(env, ax_annual);

    // Rank IC: daily bars and their running sum.
    IcSummary ic = summarise_ic(d.rank_ic);
    std::vector<double> ic_copy = d.rank_ic;
    // One filled step line, not thousands of one-day bars: the same picture, drawn at once.
    ax_ic.attr("fill_between")(d.dates, chart::numpy_of(std::move(ic_copy)), 0, "step"_a = "mid",
                               "color"_a = "#60a5fa", "alpha"_a = 0.7, "linewidth"_a = 0,
                               "label"_a = "Daily Rank IC");
    chart::zero_line(ax_ic);
    nb::object twin_ic = ax_ic.attr("twinx")();
    twin_ic.attr("plot")(d.dates, chart::numpy_of(std::move(ic.cumulative)), "color"_a = "#1d4ed8",
                         "linewidth"_a = 1.8, "label"_a = "Cumulative Rank IC");
    twin_ic.attr("grid")(false);
    ax_ic.attr("set_title")("Rank IC (mean " + format_fixed(ic.mean, 4) + ", ICIR " +
                            format_fixed(ic.icir, 3) + ")");
    chart::merged_legend(ax_ic, twin_ic, "upper left");

    // Long-short: the highest group minus the lowest, on the additive net value line.
    long_short_panel(env, ax_ls, d.dates, long_short(d.daily, d.rows, d.groups), d.groups,
                     "Long-Short Net Value & Drawdown");

    for (nb::handle ax : {nb::handle(ax_nav), nb::handle(ax_annual), nb::handle(ax_ic), nb::handle(ax_ls)})
        chart::style_panel(ax);
    for (nb::handle ax : {nb::handle(ax_nav), nb::handle(ax_ic), nb::handle(ax_ls)})
        chart::date_axis(ax);
    chart::save_figure(fig, save_path, is_long);
}

}  // namespace vantorel::core
