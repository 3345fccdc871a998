// The yearly metrics table panel shared by both charts.
#include "charts.hpp"
#include "report.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;

void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics) {
    ax.attr("axis")("off");
    if (nb::len(nb::object(yearly_metrics.attr("index"))) == 0) {
        chart::centred_text(ax, "No yearly metric data");
        return;
    }
    // Column: header, the field it shows, ratio (percent) or plain number, width.
    struct Column {
        const char* header;
        const char* field;
        bool percent;
    };
    static const Column kColumns[8] = {
        {"Strategy Return", "strategy_return", true}, {"Strategy Sharpe", "strategy_sharpe", false},
        {"Strategy Max DD", "strategy_max_dd", true}, {"Strategy Calmar", "strategy_calmar", false},
        {"Excess Return", "excess_return", true},     {"Excess Sharpe", "excess_sharpe", false},
        {"Excess Max DD", "excess_max_dd", true},     {"Excess Calmar", "excess_calmar", false},
    };
    nb::list headers, widths, rows;
    headers.append("Year");
    widths.append(0.08);
    for (const Column& c : kColumns) {
        headers.append(c.header);
        widths.append(0.115);
    }
    nb::object years = yearly_metrics.attr("index").attr("tolist")();
    std::vector<nb::object> values;
    for (const Column& c : kColumns)
        values.push_back(yearly_metrics[c.field].attr("tolist")());
    for (std::size_t i = 0; i < nb::len(years); ++i) {
        nb::list row;
        row.append(nb::str(nb::int_(years[nb::int_(i)])));
        for (std::size_t c = 0; c < 8; ++c) {
            nb::object v = values[c][nb::int_(i)];
            row.append(kColumns[c].percent ? format_pct(v) : format_num(v));
        }
        rows.append(row);
    }
    nb::object table =
        ax.attr("table")("cellText"_a = rows, "colLabels"_a = headers, "loc"_a = "center",
                         "cellLoc"_a = "center", "colLoc"_a = "center", "colWidths"_a = widths);
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(8.4);
    table.attr("scale")(1.0, 1.24);
    nb::object cells = chart::style_table(table);
    for (nb::handle item : cells.attr("items")()) {
        const int row = nb::cast<int>(item[0][0]);
        const int col = nb::cast<int>(item[0][1]);
        if (row == 0 || col == 0)
            continue;
        item[1].attr("get_text")().attr("set_color")(col <= 4 ? "#1d4ed8" : "#b91c1c");
    }
    chart::fit_table(ax, table, 8.4);
    ax.attr("set_title")("Yearly Strategy & Excess Metrics", "fontsize"_a = 11.5, "color"_a = "#0f172a",
                         "pad"_a = 8);
}

}  // namespace vantorel::weightsim
