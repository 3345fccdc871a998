// Shared chart helpers: the matplotlib environment, the drawing lock, panel styling.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "bridge.hpp"

namespace vantorel::bridge::chart {

namespace nb = nanobind;

// pyplot, PercentFormatter and the page canvas, after selecting the Agg backend, the whitegrid
// style (its failure ignored) and the process-wide font and colour settings.
struct Environment {
    nb::object plt;
    nb::object percent_formatter;
    nb::object np;
    nb::object page_canvas;  // the canvas class every chart page is drawn on
    nb::object page_figure;  // the figure class of every chart page
};
Environment prepare_environment();

// Holds the process-wide chart lock for one scope, released also when drawing raises. Within it
// NumPy's floating-point warnings are off and Python's cycle collector waits (both restored after).
class PlotLock {
public:
    explicit PlotLock(nb::object lock);
    ~PlotLock();
    PlotLock(const PlotLock&) = delete;
    PlotLock& operator=(const PlotLock&) = delete;

private:
    nb::object lock_;
    nb::object saved_errors_;        // NumPy's floating-point error settings before drawing
    bool collector_was_on_ = false;  // whether Python's cycle collector ran before drawing
};

// Closes a figure when the drawing scope ends, whatever happens.
class FigureCloser {
public:
    FigureCloser(nb::object plt, nb::object fig) : plt_(std::move(plt)), fig_(std::move(fig)) {}
    ~FigureCloser();
    FigureCloser(const FigureCloser&) = delete;
    FigureCloser& operator=(const FigureCloser&) = delete;

private:
    nb::object plt_, fig_;
};

// The figure title's first part: plot_title when it is non-empty text, else the strategy name.
std::string title_of(const std::string& strategy_name, nb::handle plot_title);
// The path as text (path objects through str()).
nb::str path_text(nb::handle path);

// Creates the directory a chart is saved into, when it does not exist yet.
void make_parent_directory(nb::handle save_path);

// Margins of the tall layout, in figure fractions.
struct Margins {
    double left, right, top, bottom;
};
// A chart's figure of width x height inches: the tall layout with fixed margins, the wide one laid
// out by constrained layout. The margins are set at once, so that panels know their final size
// while they are drawn.
nb::object new_figure(const Environment& env, double width, double height, bool is_long,
                      const Margins& margins);
// The figure title above the panels: at `long_y` (a figure fraction) in the tall layout, given its
// own room by constrained layout in the wide one. A title wider than the figure is set smaller.
void figure_title(nb::handle fig, const std::string& text, double size, bool is_long, double long_y);
// Saves a figure as PNG (creating its directory): the tall layout at 145 dpi, the wide one at 175
// dpi, on the figure's face colour, drawn once.
void save_figure(nb::handle fig, nb::handle save_path, bool is_long);

// Writes an RGBA pixel buffer (height x width x 4 bytes, as a canvas's buffer_rgba() gives it) to
// save_path as a PNG file.
void write_png(nb::handle rgba, nb::handle save_path);

// The width of a line of text, in points, as the renderer sets it.
double text_width(const std::string& text, double size, bool bold = false);
// The dates of a DatetimeIndex as a datetime64 array: matplotlib converts such an array in one step,
// where it converts an index date by date.
nb::object date_values(nb::handle index);
// A panel's width and height in points, as its figure lays it out now.
struct PanelSize {
    double width, height;
};
PanelSize panel_size(nb::handle ax);

// Fits a table made with loc="center" into its panel, font `size`: a header wider than its column
// is broken onto two lines, a cell value wider than its column is wrapped at its " | " separators,
// and rows that would overflow the panel shrink, with the font, until the whole table fits. A
// table that fits keeps its sizes.
void fit_table(nb::handle ax, nb::handle table, double size);

// One tick label per year at positions x, font `size`: level while there is room (when `level` is
// allowed), turned by 45 degrees when level ones would touch, upright when turned ones would, and
// every other year shown once even upright ones would touch.
void year_ticks(nb::handle ax, nb::handle x, const std::vector<std::string>& years, double size, bool level);

// Date ticks that name only what changes from one tick to the next ("2024", "Mar", "15"), so that
// they stay apart on a narrow panel.
void date_axis(nb::handle ax);

// Slices of a chart grid: all columns, or columns first..last inclusive.
nb::object all_columns();
nb::object columns(int first, int last);
nb::object cell(nb::handle grid, int row, nb::handle cols);
nb::object cell(nb::handle grid, int row, int col);

void percent_axis(const Environment& env, nb::handle ax);
void zero_line(nb::handle ax, double y = 0.0, const char* color = "#94a3b8", double width = 0.8);
// One legend on `ax` holding the handles of `ax` and then those of `twin`.
void merged_legend(nb::handle ax, nb::handle twin, const char* loc);
// Light grid, no top or right spine.
void style_panel(nb::handle ax);
void centred_text(nb::handle ax, const char* text);
// Table cells: placed as page cells (their extents found from their corners), edge colour, bold
// header row, striped data rows; returns the cell map.
nb::object style_table(nb::handle table);

// A NumPy float64 vector.
nb::object numpy_of(std::vector<double>&& values);

}  // namespace vantorel::bridge::chart
