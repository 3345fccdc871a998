// The factor analytics page beside the group chart: IC decay, a year x month map of the mean IC, the
// mean IC by year, each group's turnover, the factor's day-to-day autocorrelation and the long-short
// net value with its drawdown.
#include <nanobind/stl/string.h>

#include "core.hpp"
#include "vantorel/report.hpp"

namespace vantorel::core {

using namespace nb::literals;
using namespace vantorel::bridge;

namespace {

// Mean of the present values among the last `window` ones, each date (NaN before any is present).
std::vector<double> trailing_mean(const std::vector<double>& x, std::size_t window) {
    std::vector<double> out(x.size(), kNaN);
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!std::isnan(x[i])) {
            sum += x[i];
            ++count;
        }
        if (i >= window && !std::isnan(x[i - window])) {
            sum -= x[i - window];
            --count;
        }
        if (count > 0)
            out[i] = sum / static_cast<double>(count);
    }
    return out;
}

nb::list text_list(const std::vector<std::string>& items) {
    nb::list out;
    for (const std::string& s : items)
        out.append(s);
    return out;
}

void decay_panel(const chart::Environment& env, nb::handle ax, const AnalyticsChartData& d) {
    std::vector<std::string> labels;
    nb::list colours;
    for (std::size_t h = 0; h < kIcHorizons.size(); ++h) {
        labels.push_back(std::to_string(kIcHorizons[h]) + "d\nICIR " + format_fixed(d.decay_icir[h], 2));
        colours.append(d.decay_mean[h] >= 0.0 ? "#2563eb" : "#dc2626");
    }
    nb::object x = env.np.attr("arange")(kIcHorizons.size());
    std::vector<double> means = d.decay_mean;
    ax.attr("bar")(x, chart::numpy_of(std::move(means)), "color"_a = colours, "alpha"_a = 0.85);
    ax.attr("set_xticks")(x);
    ax.attr("set_xticklabels")(text_list(labels), "fontsize"_a = 9);
    chart::zero_line(ax);
    ax.attr("set_title")("IC Decay: Mean Rank IC by Forward Horizon");
    ax.attr("set_ylabel")("Mean Rank IC");
}

void month_map_panel(const chart::Environment& env, nb::handle fig, nb::handle ax,
                     const AnalyticsChartData& d) {
    const auto years = static_cast<Index>(d.years.size());
    if (years == 0) {
        chart::centred_text(ax, "No dated IC");
        ax.attr("set_title")("Mean Rank IC by Month");
        return;
    }
    double extent = 0.0;
    for (double v : d.month_ic)
        if (std::isfinite(v))
            extent = std::max(extent, std::fabs(v));
    extent = extent > 0.0 ? extent : 1.0;
    std::vector<double> grid = d.month_ic;
    nb::object image =
        ax.attr("imshow")(numpy_matrix(std::move(grid), years, 12), "cmap"_a = "RdBu_r", "vmin"_a = -extent,
                          "vmax"_a = extent, "aspect"_a = "auto", "interpolation"_a = "nearest");
    ax.attr("set_xticks")(env.np.attr("arange")(12));
    ax.attr("set_xticklabels")(
        text_list({"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"}),
        "fontsize"_a = 8);
    std::vector<std::string> year_labels;
    for (int y : d.years)
        year_labels.push_back(std::to_string(y));
    // At most about twelve year labels, however long the history.
    const Index step = std::max<Index>(1, (years + 11) / 12);
    nb::object ticks = env.np.attr("arange")(0, years, step);
    nb::list shown;
    for (Index i = 0; i < years; i += step)
        shown.append(year_labels[static_cast<std::size_t>(i)]);
    ax.attr("set_yticks")(ticks);
    ax.attr("set_yticklabels")(shown, "fontsize"_a = 8);
    ax.attr("grid")(false);
    fig.attr("colorbar")(image, "ax"_a = ax, "fraction"_a = 0.046, "pad"_a = 0.03);
    ax.attr("set_title")("Mean Rank IC by Month");
}

void year_panel(const chart::Environment& env, nb::handle ax, const AnalyticsChartData& d) {
    nb::list colours;
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < d.years.size(); ++i) {
        colours.append(d.year_mean[i] >= 0.0 ? "#2563eb" : "#dc2626");
        labels.push_back(std::to_string(d.years[i]));
    }
    nb::object x = env.np.attr("arange")(d.years.size());
    std::vector<double> means = d.year_mean;
    ax.attr("bar")(x, chart::numpy_of(std::move(means)), "color"_a = colours, "alpha"_a = 0.85);
    chart::year_ticks(ax, x, labels, 8.0, true);
    chart::zero_line(ax);
    ax.attr("set_title")("Mean Rank IC by Year");
}

void turnover_panel(const chart::Environment& env, nb::handle ax, const AnalyticsChartData& d) {
    group_bars(env, ax, d.mean_turnover, d.groups);
    ax.attr("set_title")("Mean Daily Turnover by Group");
    chart::percent_axis(env, ax);
}

void autocorrelation_panel(nb::handle ax, const AnalyticsChartData& d) {
    std::vector<double> daily = d.autocorrelation;
    std::vector<double> smooth = trailing_mean(d.autocorrelation, 60);
    ax.attr("plot")(d.dates, chart::numpy_of(std::move(daily)), "color"_a = "#93c5fd", "linewidth"_a = 0.8,
                    "label"_a = "Daily");
    ax.attr("plot")(d.dates, chart::numpy_of(std::move(smooth)), "color"_a = "#1d4ed8", "linewidth"_a = 1.8,
                    "label"_a = "60-Day Mean");
    ax.attr("set_title")("Factor Rank Autocorrelation (mean " + format_fixed(d.mean_autocorrelation, 3) +
                         ")");
    ax.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92);
}

}  // namespace

void draw_analytics_chart(const AnalyticsChartData& d, const std::string& factor_name, nb::handle plot_title,
                          nb::handle save_path, const std::string& image_kind) {
    const chart::Environment env = chart::prepare_environment();
    const bool is_long = image_kind != "large";
    nb::object fig = is_long ? chart::new_figure(env, 15.5, 20.0, true, {0.06, 0.94, 0.94, 0.04})
                             : chart::new_figure(env, 20.0, 11.0, false, {});
    // Grid cell (row, column) of each panel: decay, months, by year, turnover, autocorrelation,
    // long-short; a 3 x 2 stack in the tall layout, 2 x 3 in the wide one.
    static constexpr int kTall[6][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}};
    static constexpr int kWide[6][2] = {{0, 0}, {0, 2}, {0, 1}, {1, 0}, {1, 1}, {1, 2}};
    nb::object grid = is_long ? fig.attr("add_gridspec")(3, 2, "hspace"_a = 0.38, "wspace"_a = 0.22)
                              : fig.attr("add_gridspec")(2, 3);
    nb::object panels[6];
    for (int i = 0; i < 6; ++i) {
        const int* at = is_long ? kTall[i] : kWide[i];
        panels[i] = fig.attr("add_subplot")(chart::cell(grid, at[0], at[1]));
    }
    nb::object &decay = panels[0], &months = panels[1], &by_year = panels[2], &turnover = panels[3],
               &autocorrelation = panels[4], &spread = panels[5];
    chart::FigureCloser closer(env.plt, fig);
    chart::figure_title(fig,
                        chart::title_of(factor_name, plot_title) + " | Factor Analytics | Monotonicity " +
                            format_fixed(d.monotonicity, 2),
                        17.0, is_long, 0.975);
    decay_panel(env, decay, d);
    month_map_panel(env, fig, months, d);
    year_panel(env, by_year, d);
    turnover_panel(env, turnover, d);
    autocorrelation_panel(autocorrelation, d);
    long_short_panel(env, spread, d.dates, d.long_short, d.groups,
                     "Long-Short (Sharpe " + format_fixed(d.long_short.sharpe, 2) + ", Max DD " +
                         format_fixed(d.long_short.max_drawdown, 3) + ")");
    for (nb::handle ax : {nb::handle(decay), nb::handle(by_year), nb::handle(turnover),
                          nb::handle(autocorrelation), nb::handle(spread)})
        chart::style_panel(ax);
    chart::date_axis(autocorrelation);
    chart::date_axis(spread);
    chart::save_figure(fig, save_path, is_long);
}

}  // namespace vantorel::core
