// Pieces of the _core module shared by its source files.
#pragma once

#include <nanobind/nanobind.h>

#include "bridge.hpp"
#include "charts.hpp"
#include "vantorel/group_backtest.hpp"

namespace vantorel::core {

namespace nb = nanobind;

nb::module_ core_module();
void set_module(nb::module_& m);

// What the group chart draws, in plain vectors.
struct GroupChartData {
    nb::object dates;  // DatetimeIndex of the grid
    Index rows = 0, groups = 0;
    std::vector<double> daily;       // rows x groups
    std::vector<double> cumulative;  // rows x groups
    std::vector<double> rank_ic;
};

// Draws the factor group chart at save_path (caller holds the chart lock).
void draw_group_chart(const GroupChartData& data, const std::string& factor_name, nb::handle plot_title,
                      nb::handle save_path, const std::string& image_kind, const std::string& benchmark_name);

void register_group_backtest(nb::module_& m);

}  // namespace vantorel::core
