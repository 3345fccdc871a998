// Shared chart helpers: the matplotlib environment, the drawing lock, panel styling.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "bridge.hpp"

namespace vantorel::bridge::chart {

namespace nb = nanobind;

// pyplot and PercentFormatter, after selecting the Agg backend, the whitegrid style (its failure
// ignored) and the process-wide font and colour settings.
struct Environment {
    nb::object plt;
    nb::object percent_formatter;
    nb::object np;
};
Environment prepare_environment();

// Holds the process-wide chart lock for one scope, released also when drawing raises.
class PlotLock {
public:
    explicit PlotLock(nb::object lock);
    ~PlotLock();
    PlotLock(const PlotLock&) = delete;
    PlotLock& operator=(const PlotLock&) = delete;

private:
    nb::object lock_;
    nb::object saved_errors_;  // NumPy's floating-point error settings before drawing
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
// Saves a figure as PNG (creating its directory): the tall layout with fixed margins at 145 dpi,
// the wide one with a tight bounding box at 175 dpi, both on the figure's face colour.
void save_figure(nb::handle fig, nb::handle save_path, bool is_long, const Margins& long_margins);

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
// Table cells: edge colour, bold header row, striped data rows; returns the cell map.
nb::object style_table(nb::handle table);

// A NumPy float64 vector.
nb::object numpy_of(std::vector<double>&& values);

}  // namespace vantorel::bridge::chart
