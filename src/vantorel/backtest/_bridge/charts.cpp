#include "charts.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace vantorel::bridge::chart {

using namespace nb::literals;

Environment prepare_environment() {
    nb::object mpl = nb::module_::import_("matplotlib");
    mpl.attr("use")("Agg");
    Environment env;
    env.plt = nb::module_::import_("matplotlib.pyplot");
    env.percent_formatter = nb::module_::import_("matplotlib.ticker").attr("PercentFormatter");
    env.np = libs().np;
    env.page_canvas = nb::module_::import_("vantorel.backtest._page_canvas").attr("PageCanvas");
    env.page_figure = nb::module_::import_("vantorel.backtest._page_ticks").attr("PageFigure");
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
    // A page makes tens of thousands of small objects, enough to set off the cycle collector's
    // full pass over every object of the process (a tenth of a second beside a large market) while
    // the page is still alive, so that its objects are promoted rather than freed. The collector
    // waits while pages are drawn; their objects, garbage once closed, are freed young afterwards.
    collector_was_on_ = PyGC_Disable() == 1;
}

PlotLock::~PlotLock() {
    if (collector_was_on_) {
        PyGC_Enable();
        // The closed pages' objects, freed now rather than at some later allocation.
        try {
            nb::module_::import_("gc").attr("collect")(1);
        } catch (...) {
        }
    }
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

nb::object new_figure(const Environment& env, double width, double height, bool is_long, const Margins& m) {
    nb::object size = nb::make_tuple(width, height);
    nb::object fig = is_long ? env.plt.attr("figure")("figsize"_a = size, "FigureClass"_a = env.page_figure)
                             : env.plt.attr("figure")("figsize"_a = size, "FigureClass"_a = env.page_figure,
                                                      "layout"_a = "constrained");
    // Measured, laid out and drawn on the page canvas from the start (it becomes fig.canvas).
    env.page_canvas(fig);
    if (is_long)
        fig.attr("subplots_adjust")("left"_a = m.left, "right"_a = m.right, "top"_a = m.top,
                                    "bottom"_a = m.bottom);
    return fig;
}

void figure_title(nb::handle fig, const std::string& text, double size, bool is_long, double long_y) {
    // Set smaller until it spans at most 96 % of the page, and never below 9 points.
    const double room = 0.96 * nb::cast<double>(fig.attr("get_figwidth")()) * 72.0;
    const double width = text_width(text, size, true);
    if (width > room)
        size = std::max(9.0, size * room / width);
    nb::dict style;
    style["fontsize"] = size;
    style["fontweight"] = "bold";
    style["color"] = "#111827";
    if (is_long)
        style["y"] = long_y;
    fig.attr("suptitle")(text, **style);
}

namespace {

// Each panel's title placement: automatic (None or True) or fixed (False), as matplotlib keeps it.
std::vector<std::pair<nb::object, nb::object>> title_placements(nb::handle fig) {
    std::vector<std::pair<nb::object, nb::object>> out;
    for (nb::handle ax : fig.attr("axes"))
        if (nb::hasattr(ax, "_autotitlepos"))
            out.emplace_back(nb::borrow(ax), ax.attr("_autotitlepos"));
    return out;
}

// Whether a y axis of the figure shows an offset text (such as "1e-3" above its tick labels): the
// one text matplotlib lifts a panel's title over.
bool shows_offset_text(nb::handle fig) {
    for (nb::handle ax : fig.attr("axes")) {
        nb::object offset = ax.attr("yaxis").attr("offsetText");
        if (bridge::truthy(offset.attr("get_visible")()) && nb::len(offset.attr("get_text")()) > 0)
            return true;
    }
    return false;
}

// How many pixels the y axes' labels and drawn tick labels reach past the page's left and right
// edges. Tick labels as long as "-0.00002%" (returns moving in the fifth decimal of a percent) push
// a label beyond the tall layout's fixed margins.
struct SideOverflow {
    double left = 0.0;
    double right = 0.0;
};

SideOverflow side_overflow(nb::handle fig, double width) {
    nb::object renderer = fig.attr("canvas").attr("get_renderer")();
    SideOverflow out;
    auto reach = [&](nb::handle text) {
        if (!bridge::truthy(text.attr("get_visible")()) || nb::len(text.attr("get_text")()) == 0)
            return;
        nb::object box = text.attr("get_window_extent")(renderer);
        out.left = std::max(out.left, -nb::cast<double>(box.attr("x0")));
        out.right = std::max(out.right, nb::cast<double>(box.attr("x1")) - width);
    };
    for (nb::handle ax : fig.attr("axes")) {
        nb::object axis = ax.attr("yaxis");
        if (!bridge::truthy(ax.attr("get_visible")()) || !bridge::truthy(axis.attr("get_visible")()))
            continue;
        reach(axis.attr("label"));
        nb::object view = axis.attr("get_view_interval")();
        const double a = nb::cast<double>(view[nb::int_(0)]), b = nb::cast<double>(view[nb::int_(1)]);
        const double slack = 1e-9 * std::fabs(b - a);  // the ends of the view are drawn
        for (nb::handle tick : axis.attr("majorTicks")) {
            const double at = nb::cast<double>(tick.attr("get_loc")());
            if (at < std::min(a, b) - slack || at > std::max(a, b) + slack)
                continue;
            reach(tick.attr("label1"));
            reach(tick.attr("label2"));
        }
    }
    return out;
}

// Widens the fixed side margins by what reaches past the page's edges (and a few pixels); whether
// they changed.
bool fit_side_margins(nb::handle fig) {
    const double width = nb::cast<double>(fig.attr("bbox").attr("width"));
    const SideOverflow over = side_overflow(fig, width);
    if (over.left <= 0.0 && over.right <= 0.0)
        return false;
    const double pad = 6.0;
    nb::object params = fig.attr("subplotpars");
    double left = nb::cast<double>(params.attr("left")), right = nb::cast<double>(params.attr("right"));
    if (over.left > 0.0)
        left += (over.left + pad) / width;
    if (over.right > 0.0)
        right -= (over.right + pad) / width;
    if (right - left < 0.5)  // a page of labels and no room to draw: left as it was
        return false;
    fig.attr("subplots_adjust")("left"_a = left, "right"_a = right);
    return true;
}

// Lays the page out (the wide layout: constrained layout, at the saving resolution) and draws it.
// While it draws, axes without a label skip placing it: matplotlib would measure the tick labels of
// the axis and of its siblings again to place a label that draws nothing. The layout, which counts
// an empty label's position, runs before and keeps it.
void lay_out_and_draw(nb::handle fig, nb::handle engine) {
    if (!engine.is_none())
        engine.attr("execute")(fig);
    std::vector<nb::object> skipped;
    for (nb::handle ax : fig.attr("axes"))
        for (const char* name : {"xaxis", "yaxis"}) {
            nb::object axis = ax.attr(name);
            if (nb::hasattr(axis, "_autolabelpos") && bridge::truthy(axis.attr("_autolabelpos")) &&
                nb::len(axis.attr("label").attr("get_text")()) == 0) {
                axis.attr("_autolabelpos") = false;
                skipped.push_back(axis);
            }
        }
    struct Restore {
        std::vector<nb::object>& axes;
        ~Restore() {
            for (nb::object& axis : axes)
                if (PyObject_SetAttrString(axis.ptr(), "_autolabelpos", Py_True) != 0)
                    PyErr_Clear();  // a figure about to be closed: nothing to keep consistent
        }
    } restore{skipped};
    fig.attr("canvas").attr("draw")();
}

}  // namespace

void save_figure(nb::handle fig, nb::handle save_path, bool is_long) {
    make_parent_directory(save_path);
    const int dpi = is_long ? 145 : 175;
    fig.attr("set_dpi")(dpi);
    // A figure saved with a layout engine is drawn twice: once without pixels, to run the layout,
    // then for real. The layout runs here instead, at the saving resolution, and stays as it is.
    nb::object engine = is_long ? nb::none() : fig.attr("get_layout_engine")();
    if (!is_long)
        fig.attr("set_layout_engine")(nb::none());
    // matplotlib lifts a title over an axis' offset text lying under it, measuring every tick label
    // of the panel and its twins again for each title to find out. Titles sit at the top of their
    // panels first; only a page that turns out to show an offset text, or whose labels reach past
    // its sides, is laid out and drawn again (with the lifting on, with wider margins).
    const auto placements = title_placements(fig);
    for (const auto& [ax, placement] : placements)
        ax.attr("_autotitlepos") = false;
    lay_out_and_draw(fig, engine);
    const bool offset_text = shows_offset_text(fig);
    if (offset_text)
        for (const auto& [ax, placement] : placements)
            ax.attr("_autotitlepos") = placement;
    // The tall layout's margins are fixed; constrained layout keeps the wide one's labels on the page.
    const bool refitted = is_long && fit_side_margins(fig);
    if (offset_text || refitted)
        lay_out_and_draw(fig, engine);
    // The page drawn on the figure's face colour, its pixels written as they are.
    write_png(fig.attr("canvas").attr("buffer_rgba")(), save_path);
}

double text_width(const std::string& text, double size, bool bold) {
    static nb::object* measure =
        new nb::object(nb::module_::import_("matplotlib.textpath").attr("text_to_path"));
    static nb::object* font =
        new nb::object(nb::module_::import_("matplotlib.font_manager").attr("FontProperties"));
    double widest = 0.0;
    std::size_t start = 0;
    while (start <= text.size()) {  // the widest of its lines
        const std::size_t end = std::min(text.find('\n', start), text.size());
        nb::object prop = (*font)("size"_a = size, "weight"_a = bold ? "bold" : "normal");
        nb::tuple whd = nb::borrow<nb::tuple>(measure->attr("get_text_width_height_descent")(
            text.substr(start, end - start), prop, "ismath"_a = false));
        widest = std::max(widest, nb::cast<double>(whd[0]));
        start = end + 1;
    }
    return widest;
}

nb::object date_values(nb::handle index) {
    return index.attr("to_numpy")();
}

namespace {

// The share of a grid's ratios that a span of its rows or columns takes.
double span_share(nb::handle ratios, std::size_t count, nb::handle span) {
    std::vector<double> r(count, 1.0);
    if (!ratios.is_none())
        for (std::size_t i = 0; i < count; ++i)
            r[i] = nb::cast<double>(ratios[nb::int_(i)]);
    double all = 0.0, part = 0.0;
    for (double v : r)
        all += v;
    for (nb::handle i : span)
        part += r[nb::cast<std::size_t>(i)];
    return part / all;
}

}  // namespace

PanelSize panel_size(nb::handle ax) {
    nb::object fig = ax.attr("get_figure")();
    const double fig_w = nb::cast<double>(fig.attr("get_figwidth")()) * 72.0;
    const double fig_h = nb::cast<double>(fig.attr("get_figheight")()) * 72.0;
    if (fig.attr("get_layout_engine")().is_none()) {  // fixed margins: the panel is where it stands
        nb::object box = ax.attr("get_position")();
        return PanelSize{nb::cast<double>(box.attr("width")) * fig_w,
                         nb::cast<double>(box.attr("height")) * fig_h};
    }
    // Constrained layout places panels when the figure is drawn: their grid cells' shares of the
    // page, less the room the layout keeps around a panel and its title (a conservative reckoning).
    nb::object place = ax.attr("get_subplotspec")();
    nb::object grid = place.attr("get_gridspec")();
    nb::tuple shape = nb::borrow<nb::tuple>(grid.attr("get_geometry")());
    const double w =
        span_share(grid.attr("get_width_ratios")(), nb::cast<std::size_t>(shape[1]), place.attr("colspan"));
    const double h =
        span_share(grid.attr("get_height_ratios")(), nb::cast<std::size_t>(shape[0]), place.attr("rowspan"));
    return PanelSize{std::max(0.0, w * fig_w - 24.0), std::max(0.0, h * (fig_h - 30.0) - 36.0)};
}

namespace {

// `text` broken at the space nearest its middle (unchanged without a space).
std::string two_lines(const std::string& text) {
    std::size_t best = std::string::npos;
    for (std::size_t i = text.find(' '); i != std::string::npos; i = text.find(' ', i + 1))
        if (best == std::string::npos || std::abs(static_cast<double>(i) - text.size() / 2.0) <
                                             std::abs(static_cast<double>(best) - text.size() / 2.0))
            best = i;
    return best == std::string::npos ? text : text.substr(0, best) + "\n" + text.substr(best + 1);
}

// The " | "-separated parts of `text` packed into lines of at most `room` points.
std::string wrapped(const std::string& text, double room, double size) {
    static const std::string kSeparator = " | ";
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(kSeparator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + kSeparator.size();
    }
    std::string out, line;
    for (const std::string& part : parts) {
        const std::string longer = line.empty() ? part : line + kSeparator + part;
        if (!line.empty() && text_width(longer, size) > room) {
            out += (out.empty() ? "" : "\n") + line;
            line = part;
        } else {
            line = longer;
        }
    }
    return out + (out.empty() ? "" : "\n") + line;
}

std::size_t line_count(const std::string& text) {
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

void fit_table(nb::handle ax, nb::handle table, double size) {
    const PanelSize panel = panel_size(ax);
    if (panel.width <= 0.0 || panel.height <= 0.0)
        return;
    struct Slot {
        int row, col;
        nb::object cell;
        std::string text;
    };
    std::vector<Slot> slots;
    int rows = 0;
    for (nb::handle item : table.attr("get_celld")().attr("items")()) {
        Slot slot{nb::cast<int>(item[0][0]), nb::cast<int>(item[0][1]), nb::borrow(item[1]), ""};
        slot.text = nb::cast<std::string>(slot.cell.attr("get_text")().attr("get_text")());
        rows = std::max(rows, slot.row + 1);
        slots.push_back(std::move(slot));
    }
    if (slots.empty())
        return;
    // A text fits its cell inside the cell's padding on either side.
    double font = size;
    for (Slot& slot : slots) {
        const double room = 0.86 * nb::cast<double>(slot.cell.attr("get_width")()) * panel.width;
        const bool header = slot.row == 0;
        // No glyph is wider than 1.25 em: a text that short fits without measuring.
        if (static_cast<double>(slot.text.size()) * size * 1.25 <= room)
            continue;
        double width = text_width(slot.text, size, header);
        if (width > room) {
            slot.text = header ? two_lines(slot.text) : wrapped(slot.text, room, size);
            width = text_width(slot.text, size, header);
        }
        if (width > room)
            font = std::min(font, size * room / width);
    }
    // Row heights: the given height for one line, a line's height more for each further line.
    const double base = nb::cast<double>(slots.front().cell.attr("get_height")()) * panel.height;
    std::vector<double> height(static_cast<std::size_t>(rows), base);
    for (const Slot& slot : slots)
        height[static_cast<std::size_t>(slot.row)] =
            std::max(height[static_cast<std::size_t>(slot.row)],
                     base + static_cast<double>(line_count(slot.text) - 1) * size * 1.25);
    double total = 0.0;
    for (double h : height)
        total += h;
    const double shrink = std::min(1.0, 0.96 * panel.height / total);
    font = std::min(font, size * shrink);
    for (Slot& slot : slots) {
        slot.cell.attr("get_text")().attr("set_text")(slot.text);
        slot.cell.attr("set_height")(height[static_cast<std::size_t>(slot.row)] * shrink / panel.height);
    }
    table.attr("set_fontsize")(font);
    // Inside its panel, the table needs no room of its own from the layout.
    table.attr("set_in_layout")(false);
}

void year_ticks(nb::handle ax, nb::handle x, const std::vector<std::string>& years, double size,
                bool level_allowed) {
    ax.attr("set_xticks")(x);
    if (years.empty())
        return;
    const double slot = panel_size(ax).width / static_cast<double>(years.size());
    const double width = text_width("2000", size), height = size * 1.2;
    const bool level = level_allowed && slot > width * 1.3;
    const bool upright = !level && slot < (width + height) / std::sqrt(2.0) * 1.15;
    const std::size_t every = upright && slot < height * 1.3 ? 2 : 1;
    nb::list labels;
    for (std::size_t i = 0; i < years.size(); ++i)
        labels.append(i % every == 0 ? years[i] : std::string());
    if (level)
        ax.attr("set_xticklabels")(labels, "fontsize"_a = size);
    else if (upright)
        ax.attr("set_xticklabels")(labels, "rotation"_a = 90, "ha"_a = "center", "fontsize"_a = size);
    else
        ax.attr("set_xticklabels")(labels, "rotation"_a = 45, "ha"_a = "right", "fontsize"_a = size);
}

void date_axis(nb::handle ax) {
    static nb::object* dates = new nb::object(nb::module_::import_("matplotlib.dates"));
    nb::object locator = dates->attr("AutoDateLocator")();
    ax.attr("xaxis").attr("set_major_locator")(locator);
    ax.attr("xaxis").attr("set_major_formatter")(dates->attr("ConciseDateFormatter")(locator));
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
    static nb::object* page_cells =
        new nb::object(nb::module_::import_("vantorel.backtest._page_table").attr("use_page_cells"));
    (*page_cells)(table);
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
