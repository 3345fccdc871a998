// The strategy performance chart: cards, returns with drawdowns, yearly bars, rolling stability,
// drawdowns, a summary table and the yearly metrics table, in a wide or a tall layout.
#include <cmath>

#include "charts.hpp"
#include "report.hpp"
#include "vantorel/report.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;
using chart::Environment;

namespace {

std::vector<double> values_of(nb::handle array) {
    return bridge::float_values(array, "total");
}

// The cards row: value in a rounded box above its label.
void draw_cards(nb::handle ax, nb::handle stats) {
    struct Card {
        const char* label;
        const char* key;
        std::string (*format)(nb::handle, int);
    };
    static const Card kCards[9] = {
        {"Strategy Ann.", "annual_return", &format_pct_points},
        {"Strategy Sharpe", "long_sharp", &format_num},
        {"Strategy Max DD", "max_dd", &format_pct},
        {"Excess Ann.", "extra_annual_return", &format_pct_points},
        {"Excess Sharpe", "extra_sharp", &format_num},
        {"Excess Max DD", "extra_max_dd", &format_pct},
        {"Strategy Win", "win_rate", &format_pct},
        {"Excess Win", "excess_win_rate", &format_pct},
        {"Turnover", "turnover", &format_pct},
    };
    ax.attr("axis")("off");
    nb::dict box;
    box["boxstyle"] = "round,pad=0.34";
    box["facecolor"] = "white";
    box["edgecolor"] = "#d6dbe6";
    box["linewidth"] = 1.0;
    for (int i = 0; i < 9; ++i) {
        const double x = (i + 0.5) / 9.0;
        const std::string value = kCards[i].format(stats.attr("get")(kCards[i].key), 2);
        ax.attr("text")(x, 0.6, value, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                        "va"_a = "center", "fontsize"_a = 13, "fontweight"_a = "bold", "color"_a = "#0f172a",
                        "bbox"_a = box);
        ax.attr("text")(x, 0.2, kCards[i].label, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                        "va"_a = "center", "fontsize"_a = 8.5, "color"_a = "#64748b");
    }
}

// A twin axis behind `ax` for drawdown areas: the lines of `ax` stay in front.
nb::object drawdown_twin(nb::handle ax) {
    nb::object twin = ax.attr("twinx")();
    twin.attr("set_zorder")(ax.attr("get_zorder")() - nb::int_(1));
    ax.attr("patch").attr("set_visible")(false);
    return twin;
}

void finish_twin(const Environment& env, nb::handle ax, nb::handle twin, const char* ylabel) {
    ax.attr("set_ylabel")(ylabel);
    twin.attr("set_ylabel")("Drawdown");
    chart::percent_axis(env, ax);
    chart::percent_axis(env, twin);
    twin.attr("grid")(false);
    twin.attr("spines")["top"].attr("set_visible")(false);
    chart::merged_legend(ax, twin, "upper left");
}

void draw_yearly_bars(const Environment& env, nb::handle ax, nb::handle yearly,
                      const std::string& benchmark) {
    const std::size_t n = nb::len(nb::object(yearly.attr("index")));
    if (n == 0) {
        chart::centred_text(ax, "No yearly data");
    } else {
        nb::object x = env.np.attr("arange")(n);
        const double width = 0.26;
        ax.attr("bar")(x - nb::float_(width), yearly["daily_return"], "width"_a = width,
                       "label"_a = "Strategy", "color"_a = "#2563eb", "alpha"_a = 0.86);
        ax.attr("bar")(x, yearly["index_daily_return"], "width"_a = width, "label"_a = benchmark,
                       "color"_a = "#111827", "alpha"_a = 0.72);
        nb::object bars =
            ax.attr("bar")(x + nb::float_(width), yearly["extra_daily_return"], "width"_a = width,
                           "label"_a = "Excess", "color"_a = "#ef4444", "alpha"_a = 0.82);
        // Labels sit just beyond each excess bar, scaled to the tallest bar of the panel.
        double largest = kNaN;
        for (const char* col : {"daily_return", "index_daily_return", "extra_daily_return"})
            for (double v : values_of(column_values(yearly, col)))
                if (!std::isnan(v))
                    largest = std::isnan(largest) ? std::fabs(v) : std::max(largest, std::fabs(v));
        const double offset = std::isfinite(largest) ? std::max(largest * 0.025, 0.003) : 0.003;
        nb::object excess = yearly["extra_daily_return"].attr("tolist")();
        std::size_t i = 0;
        for (nb::handle bar : bars) {
            nb::object v = excess[nb::int_(i++)];
            const double value = nb::cast<double>(nb::float_(v));
            if (std::isnan(value))
                continue;
            const bool up = value >= 0;
            const double cx =
                nb::cast<double>(bar.attr("get_x")()) + nb::cast<double>(bar.attr("get_width")()) / 2;
            ax.attr("text")(cx, up ? value + offset : value - offset, format_pct(v), "ha"_a = "center",
                            "va"_a = up ? "bottom" : "top", "fontsize"_a = 8.2, "color"_a = "#991b1b",
                            "rotation"_a = 90);
        }
        ax.attr("margins")("y"_a = 0.22);
        std::vector<std::string> years;
        for (nb::handle year : yearly.attr("index").attr("tolist")())
            years.push_back(nb::cast<std::string>(nb::str(year)));
        chart::year_ticks(ax, x, years, 10.0, false);
        ax.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92);
    }
    chart::zero_line(ax);
    ax.attr("set_title")("Yearly Return");
    chart::percent_axis(env, ax);
}

void draw_rolling(const Environment& env, nb::handle ax, nb::handle idx, nb::handle daily) {
    const auto rows = static_cast<std::int64_t>(nb::len(nb::object(daily.attr("index"))));
    const std::int64_t full = nb::cast<std::int64_t>(weightsim_module().attr("ROLLING_STABILITY_DAYS"));
    const std::int64_t least = nb::cast<std::int64_t>(weightsim_module().attr("MIN_ROLLING_STABILITY_DAYS"));
    const double periods = nb::cast<double>(nb::float_(weightsim_module().attr("TRADING_DAYS_PER_YEAR")));
    const std::int64_t days = rows >= full ? full : std::max(least, rows / 3);
    if (rows >= days && days > 1) {
        const std::vector<double> excess = values_of(column_values(daily, "extra_daily_return"));
        RollingStability rs = rolling_stability(excess.data(), rows, days, periods);
        const std::string n = std::to_string(days);
        ax.attr("plot")(idx, chart::numpy_of(std::move(rs.sharpe)), "color"_a = "#7c3aed",
                        "linewidth"_a = 2.0, "label"_a = n + "D Excess Sharpe");
        chart::zero_line(ax);
        nb::object twin = ax.attr("twinx")();
        twin.attr("plot")(idx, chart::numpy_of(std::move(rs.win_rate)), "color"_a = "#16a34a",
                          "linewidth"_a = 1.6, "alpha"_a = 0.8, "label"_a = n + "D Win Rate");
        chart::percent_axis(env, twin);
        twin.attr("grid")(false);  // one grid per panel: the main axis's
        chart::merged_legend(ax, twin, "best");
    } else {
        chart::centred_text(ax, "Not enough data");
    }
    ax.attr("set_title")("Rolling Excess Stability");
}

void draw_summary(nb::handle ax, nb::handle plot_df, nb::handle stats, nb::handle yearly,
                  const std::string& benchmark, std::int64_t rolling_window, bool is_long) {
    ax.attr("axis")("off");
    nb::object idx = plot_df.attr("index");
    const std::string range = nb::cast<std::string>(idx[nb::int_(0)].attr("strftime")("%Y-%m-%d")) + " ~ " +
                              nb::cast<std::string>(idx[nb::int_(-1)].attr("strftime")("%Y-%m-%d"));
    nb::object annual = nb::len(nb::object(yearly.attr("index"))) > 0
                            ? nb::object(yearly["extra_daily_return"])
                            : bridge::libs().Series("dtype"_a = "float64");
    const std::pair<const char*, std::string> rows[11] = {
        {"Date Range", range},
        {"Trading Days", std::to_string(nb::len(idx))},
        {"Rolling Window", std::to_string(rolling_window)},
        {"Benchmark", benchmark},
        {"Benchmark Ann.", format_pct_points(stats.attr("get")("benchmark_annual_return"))},
        {"Benchmark Sharpe", format_num(stats.attr("get")("benchmark_sharp"))},
        {"Return Corr.", format_num(stats.attr("get")("return_corr"))},
        {"Avg Holding", format_num(stats.attr("get")("holding_count"), 0)},
        {"Turnover", format_pct(stats.attr("get")("turnover"))},
        {"Excess Win Rate", format_pct(stats.attr("get")("excess_win_rate"))},
        {"Annual Excess", format_annual_excess(annual)},
    };
    nb::list cells;
    for (const auto& [label, value] : rows)
        cells.append(nb::make_tuple(label, value));
    nb::list headers, widths;
    headers.append("Metric");
    headers.append("Value");
    widths.append(is_long ? 0.26 : 0.42);
    widths.append(is_long ? 0.74 : 0.58);
    nb::object table = ax.attr("table")("cellText"_a = cells, "colLabels"_a = headers, "loc"_a = "center",
                                        "cellLoc"_a = "left", "colLoc"_a = "left", "colWidths"_a = widths);
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(9.4);
    table.attr("scale")(1.0, 1.28);
    chart::style_table(table);
    chart::fit_table(ax, table, 9.4);
}

}  // namespace

void plot_strategy_performance_unlocked(nb::handle total, nb::handle stats, const std::string& strategy_name,
                                        nb::handle plot_title, nb::handle save_path,
                                        const std::string& image_kind, const std::string& benchmark_name,
                                        std::int64_t rolling_window) {
    const Environment env = chart::prepare_environment();
    nb::object plot_df = weightsim_module().attr("_with_datetime_index")(total);
    if (bridge::truthy(plot_df.attr("empty")))
        return;

    nb::object idx = chart::date_values(plot_df.attr("index"));
    nb::object net = column_values(plot_df, "long");
    nb::object benchmark_net = column_values(plot_df, "close_net_value");
    nb::object strategy_cum = net - nb::float_(1.0);
    nb::object benchmark_cum = benchmark_net - nb::float_(1.0);
    nb::object excess_cum = column_values(plot_df, "extra_return");
    nb::object strategy_dd = column_values(plot_df, "max_drowdown");
    nb::object excess_dd = column_values(plot_df, "extra_max_drowdown");
    const std::vector<double> bench = values_of(benchmark_net);
    nb::object benchmark_dd =
        chart::numpy_of(drawdown_from_peak(bench.data(), static_cast<Index>(bench.size())));
    nb::object daily = daily_returns_of(plot_df);
    nb::object yearly = daily.attr("groupby")(daily.attr("index").attr("year")).attr("sum")();
    nb::object yearly_metrics = weightsim_module().attr("_calc_yearly_performance_metrics")(daily);

    const bool is_long = image_kind != "large";
    nb::object fig = is_long ? chart::new_figure(env, 15.5, 34.0, true, {0.06, 0.94, 0.965, 0.035})
                             : chart::new_figure(env, 20.0, 13.2, false, {});
    nb::object grid;
    if (is_long) {
        grid = fig.attr("add_gridspec")(7, 2,
                                        "height_ratios"_a = nb::make_tuple(0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0),
                                        "hspace"_a = 0.42, "wspace"_a = 0.22);
    } else {
        grid = fig.attr("add_gridspec")(4, 3, "height_ratios"_a = nb::make_tuple(0.62, 2.55, 2.15, 1.6),
                                        "width_ratios"_a = nb::make_tuple(1.05, 1.05, 1.0));
    }
    chart::FigureCloser closer(env.plt, fig);
    auto panel = [&](int row, nb::handle cols) {
        return fig.attr("add_subplot")(chart::cell(grid, row, cols));
    };
    nb::object all = chart::all_columns();
    nb::object ax_cards = panel(0, all);
    nb::object ax_cum = is_long ? panel(1, all) : panel(1, chart::columns(0, 1));
    nb::object ax_excess = is_long ? panel(2, all) : panel(1, nb::int_(2));
    nb::object ax_yearly = is_long ? panel(3, nb::int_(0)) : panel(2, nb::int_(0));
    nb::object ax_rolling = is_long ? panel(3, nb::int_(1)) : panel(2, nb::int_(1));
    nb::object ax_dd = is_long ? panel(4, all) : panel(2, nb::int_(2));
    nb::object ax_summary = is_long ? panel(5, all) : panel(3, nb::int_(0));
    nb::object ax_table = is_long ? panel(6, all) : panel(3, chart::columns(1, 2));

    const std::string title = chart::title_of(strategy_name, plot_title);
    chart::figure_title(fig, title + " | Benchmark " + benchmark_name + " | Strategy Performance", 17.0,
                        is_long, 0.986);

    draw_cards(ax_cards, stats);

    ax_cum.attr("plot")(idx, strategy_cum, "color"_a = "#2563eb", "linewidth"_a = 2.4,
                        "label"_a = "Strategy");
    ax_cum.attr("plot")(idx, benchmark_cum, "color"_a = "#111827", "linewidth"_a = 1.7, "linestyle"_a = "--",
                        "label"_a = benchmark_name);
    nb::object twin_cum = drawdown_twin(ax_cum);
    twin_cum.attr("fill_between")(idx, strategy_dd, 0, "color"_a = "#bfdbfe", "alpha"_a = 0.28,
                                  "zorder"_a = 0, "label"_a = "Strategy Drawdown");
    twin_cum.attr("fill_between")(idx, benchmark_dd, 0, "color"_a = "#d1d5db", "alpha"_a = 0.24,
                                  "zorder"_a = 0, "label"_a = benchmark_name + " Drawdown");
    chart::zero_line(twin_cum);
    ax_cum.attr("set_title")("Cumulative Return");
    finish_twin(env, ax_cum, twin_cum, "Return");

    ax_excess.attr("plot")(idx, excess_cum, "color"_a = "#ef4444", "linewidth"_a = 2.2,
                           "label"_a = "Excess Return");
    nb::object twin_excess = drawdown_twin(ax_excess);
    twin_excess.attr("fill_between")(idx, excess_dd, 0, "color"_a = "#fecaca", "alpha"_a = 0.34,
                                     "label"_a = "Excess Drawdown");
    chart::zero_line(twin_excess);
    ax_excess.attr("set_title")("Excess Return & Drawdown");
    finish_twin(env, ax_excess, twin_excess, "Excess Return");

    draw_yearly_bars(env, ax_yearly, yearly, benchmark_name);
    draw_rolling(env, ax_rolling, idx, daily);

    ax_dd.attr("fill_between")(idx, strategy_dd, 0, "color"_a = "#bfdbfe", "alpha"_a = 0.62,
                               "label"_a = "Strategy Drawdown");
    ax_dd.attr("plot")(idx, excess_dd, "color"_a = "#ef4444", "linewidth"_a = 1.7,
                       "label"_a = "Excess Drawdown");
    chart::zero_line(ax_dd);
    ax_dd.attr("set_title")("Drawdown");
    chart::percent_axis(env, ax_dd);
    ax_dd.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92);

    draw_summary(ax_summary, plot_df, stats, yearly, benchmark_name, rolling_window, is_long);
    draw_yearly_metrics_table(ax_table, yearly_metrics);

    for (nb::handle ax : {nb::handle(ax_cum), nb::handle(ax_excess), nb::handle(ax_yearly),
                          nb::handle(ax_rolling), nb::handle(ax_dd)})
        chart::style_panel(ax);
    for (nb::handle ax :
         {nb::handle(ax_cum), nb::handle(ax_excess), nb::handle(ax_rolling), nb::handle(ax_dd)})
        chart::date_axis(ax);

    chart::save_figure(fig, save_path, is_long);
}

}  // namespace vantorel::weightsim
