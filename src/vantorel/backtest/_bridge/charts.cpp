#include "charts.hpp"

namespace vantorel::bridge::chart {

using namespace nb::literals;

Environment prepare_environment() {
    nb::object mpl = nb::module_::import_("matplotlib");
    mpl.attr("use")("Agg");
    Environment env;
    env.plt = nb::module_::import_("matplotlib.pyplot");
    env.percent_formatter = nb::module_::import_("matplotlib.ticker").attr("PercentFormatter");
    env.np = libs().np;
    try {
        env.plt.attr("style").attr("use")("seaborn-v0_8-whitegrid");
    } catch (const nb::python_error&) {
        // A missing style only changes the look; the chart is still drawn.
    }
    nb::object rc = mpl.attr("rcParams");
    nb::list fonts;
    for (const char* f : {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Micro Hei", "SimHei",
                          "Arial Unicode MS", "DejaVu Sans"})
        fonts.append(f);
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = false;
    rc["figure.facecolor"] = "white";
    rc["axes.facecolor"] = "#fbfbfd";
    return env;
}

PlotLock::PlotLock(nb::object lock) : lock_(std::move(lock)) {
    lock_.attr("acquire")();  // a blocking acquire releases the GIL while it waits
    // Infinite or huge values (from infinite prices) are drawn as gaps or clipped; NumPy's warnings
    // about them from inside the chart library tell the user nothing.
    try {
        saved_errors_ = libs().np.attr("seterr")("all"_a = "ignore");
    } catch (...) {
        lock_.attr("release")();
        throw;
    }
}

PlotLock::~PlotLock() {
    try {
        libs().np.attr("seterr")(**saved_errors_);
    } catch (...) {
    }
    try {
        lock_.attr("release")();
    } catch (...) {
    }
}

FigureCloser::~FigureCloser() {
    try {
        plt_.attr("close")(fig_);
    } catch (...) {
    }
}

std::string title_of(const std::string& strategy_name, nb::handle plot_title) {
    if (nb::isinstance<nb::str>(plot_title) && nb::len(plot_title) > 0)
        return nb::cast<std::string>(plot_title);
    return strategy_name;
}

nb::str path_text(nb::handle path) {
    return nb::isinstance<nb::str>(path) ? nb::borrow<nb::str>(path) : nb::str(path);
}

void make_parent_directory(nb::handle save_path) {
    nb::object path = nb::module_::import_("pathlib").attr("Path")(save_path);
    path.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
}

void save_figure(nb::handle fig, nb::handle save_path, bool is_long, const Margins& m) {
    make_parent_directory(save_path);
    if (is_long) {
        fig.attr("subplots_adjust")("left"_a = m.left, "right"_a = m.right, "top"_a = m.top,
                                    "bottom"_a = m.bottom);
        fig.attr("savefig")(save_path, "dpi"_a = 145, "facecolor"_a = fig.attr("get_facecolor")());
    } else {
        fig.attr("savefig")(save_path, "dpi"_a = 175, "bbox_inches"_a = "tight",
                            "facecolor"_a = fig.attr("get_facecolor")());
    }
}

nb::object all_columns() {
    return nb::steal(PySlice_New(nullptr, nullptr, nullptr));
}

nb::object columns(int first, int last) {
    return nb::steal(PySlice_New(nb::int_(first).ptr(), nb::int_(last + 1).ptr(), nullptr));
}

nb::object cell(nb::handle grid, int row, nb::handle cols) {
    return grid[nb::make_tuple(row, cols)];
}

nb::object cell(nb::handle grid, int row, int col) {
    return grid[nb::make_tuple(row, col)];
}

void percent_axis(const Environment& env, nb::handle ax) {
    ax.attr("yaxis").attr("set_major_formatter")(env.percent_formatter(1.0));
}

void zero_line(nb::handle ax, double y, const char* color, double width) {
    ax.attr("axhline")(y, "color"_a = color, "linewidth"_a = width);
}

void merged_legend(nb::handle ax, nb::handle twin, const char* loc) {
    nb::tuple a = nb::borrow<nb::tuple>(ax.attr("get_legend_handles_labels")());
    nb::tuple b = nb::borrow<nb::tuple>(twin.attr("get_legend_handles_labels")());
    nb::object handles = a[0] + b[0];
    nb::object labels = a[1] + b[1];
    ax.attr("legend")(handles, labels, "loc"_a = loc, "frameon"_a = true, "framealpha"_a = 0.92);
}

void style_panel(nb::handle ax) {
    ax.attr("grid")(true, "color"_a = "#e5e7eb", "linewidth"_a = 0.75, "alpha"_a = 0.84);
    ax.attr("spines")["top"].attr("set_visible")(false);
    ax.attr("spines")["right"].attr("set_visible")(false);
}

void centred_text(nb::handle ax, const char* text) {
    ax.attr("text")(0.5, 0.5, text, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                    "va"_a = "center");
}

nb::object style_table(nb::handle table) {
    nb::object cells = table.attr("get_celld")();
    for (nb::handle item : cells.attr("items")()) {
        const int row = nb::cast<int>(item[0][0]);
        nb::handle c = item[1];
        c.attr("set_edgecolor")("#e2e8f0");
        if (row == 0) {
            c.attr("set_text_props")("weight"_a = "bold", "color"_a = "#0f172a");
            c.attr("set_facecolor")("#eef2ff");
        } else {
            c.attr("set_facecolor")(row % 2 == 1 ? "white" : "#f8fafc");
        }
    }
    return cells;
}

nb::object numpy_of(std::vector<double>&& values) {
    return numpy_vector(std::move(values));
}

}  // namespace vantorel::bridge::chart
