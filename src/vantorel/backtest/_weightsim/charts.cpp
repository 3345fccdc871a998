// Public chart entry points: argument checks, the drawing lock, the returned path entries.
#include "charts.hpp"

#include "report.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;

namespace {

std::string text_arg(nb::handle v, const char* name) {
    return bridge::str_arg(v, name);
}

void optional_text(nb::handle v, const char* name) {
    if (!v.is_none() && !nb::isinstance<nb::str>(v))
        bridge::raise_type_error(name, "str", v);
}

nb::dict plot_strategy_performance(nb::handle total, nb::handle stats, nb::handle strategy_name,
                                   nb::handle plot_title, nb::handle save_path, nb::handle image_kind,
                                   nb::handle benchmark_name, nb::handle rolling_window) {
    if (!nb::isinstance<nb::dict>(stats))
        bridge::raise_type_error("stats", "dict", stats);
    const std::string name = text_arg(strategy_name, "strategy_name");
    optional_text(plot_title, "plot_title");
    const std::string kind = text_arg(image_kind, "image_kind");
    const std::string benchmark = text_arg(benchmark_name, "benchmark_name");
    const std::int64_t window = bridge::int_arg(rolling_window, "rolling_window");
    {
        chart::PlotLock lock(weightsim_module().attr("_MATPLOTLIB_PLOT_LOCK"));
        plot_strategy_performance_unlocked(total, stats, name, plot_title, save_path, kind, benchmark,
                                           window);
    }
    nb::dict out;
    out["main"] = chart::path_text(save_path);
    return out;
}

nb::dict plot_weekly_net_value(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                               nb::handle save_path, nb::handle image_kind, nb::handle benchmark_name) {
    const std::string name = text_arg(strategy_name, "strategy_name");
    optional_text(plot_title, "plot_title");
    const std::string kind = text_arg(image_kind, "image_kind");
    const std::string benchmark = text_arg(benchmark_name, "benchmark_name");
    {
        chart::PlotLock lock(weightsim_module().attr("_MATPLOTLIB_PLOT_LOCK"));
        plot_weekly_net_value_unlocked(total, name, plot_title, save_path, kind, benchmark);
    }
    nb::dict out;
    out["weekly_net_value"] = chart::path_text(save_path);
    return out;
}

}  // namespace

void register_charts(nb::module_& m) {
    m.def("plot_strategy_performance", &plot_strategy_performance, "total"_a.none(), "stats"_a.none(),
          "strategy_name"_a.none() = "strategy", "plot_title"_a.none() = nb::none(),
          "save_path"_a.none() = "./strategy_backtest.png", "image_kind"_a.none() = "large",
          "benchmark_name"_a.none() = kDefaultBenchmark, "rolling_window"_a.none() = 0,
          nb::sig("def plot_strategy_performance(total: pandas.DataFrame, stats: dict, strategy_name: str = "
                  "'strategy', plot_title: str | None = None, save_path: str | os.PathLike = "
                  "'./strategy_backtest.png', image_kind: str = 'large', benchmark_name: str = '000852', "
                  "rolling_window: int = 0) -> dict[str, str]"),
          "Draws the strategy performance chart into a PNG at save_path: metric cards, cumulative and\n"
          "excess returns with drawdowns, yearly returns, rolling excess stability, drawdowns, a summary\n"
          "and the yearly metrics table. image_kind \"large\" is the wide layout, anything else the tall\n"
          "one. Drawn under _MATPLOTLIB_PLOT_LOCK; an empty total frame draws nothing. Returns\n"
          "{\"main\": save_path as text}.");
    m.def(
        "_plot_strategy_performance_unlocked",
        [](nb::handle total, nb::handle stats, const std::string& name, nb::handle plot_title,
           nb::handle save_path, const std::string& kind, const std::string& benchmark, std::int64_t window) {
            plot_strategy_performance_unlocked(total, stats, name, plot_title, save_path, kind, benchmark,
                                               window);
        },
        "total"_a.none(), "stats"_a.none(), "strategy_name"_a = "strategy",
        "plot_title"_a.none() = nb::none(), "save_path"_a.none() = "./strategy_backtest.png",
        "image_kind"_a = "large", "benchmark_name"_a = kDefaultBenchmark, "rolling_window"_a = 0,
        "The performance chart's worker; call it with _MATPLOTLIB_PLOT_LOCK held.");
    m.def(
        "plot_weekly_net_value", &plot_weekly_net_value, "total"_a.none(),
        "strategy_name"_a.none() = "strategy", "plot_title"_a.none() = nb::none(),
        "save_path"_a.none() = "./strategy_weekly_net_value.png", "image_kind"_a.none() = "large",
        "benchmark_name"_a.none() = kDefaultBenchmark,
        nb::sig(
            "def plot_weekly_net_value(total: pandas.DataFrame, strategy_name: str = 'strategy', plot_title: "
            "str | None = None, save_path: str | os.PathLike = './strategy_weekly_net_value.png', "
            "image_kind: str = 'large', benchmark_name: str = '000852') -> dict[str, str]"),
        "Draws the weekly net value chart into a PNG at save_path: Friday samples of the strategy,\n"
        "benchmark and excess net values, their drawdowns and the yearly metrics table. Drawn under\n"
        "_MATPLOTLIB_PLOT_LOCK; nothing is drawn without a weekly value. Returns\n"
        "{\"weekly_net_value\": save_path as text}.");
    m.def(
        "_plot_weekly_net_value_unlocked",
        [](nb::handle total, const std::string& name, nb::handle plot_title, nb::handle save_path,
           const std::string& kind, const std::string& benchmark) {
            plot_weekly_net_value_unlocked(total, name, plot_title, save_path, kind, benchmark);
        },
        "total"_a.none(), "strategy_name"_a = "strategy", "plot_title"_a.none() = nb::none(),
        "save_path"_a.none() = "./strategy_weekly_net_value.png", "image_kind"_a = "large",
        "benchmark_name"_a = kDefaultBenchmark,
        "The weekly chart's worker; call it with _MATPLOTLIB_PLOT_LOCK held.");
    m.def("_draw_yearly_metrics_table", &draw_yearly_metrics_table, "ax"_a, "yearly_metrics"_a,
          "Draws the yearly metrics table into a chart panel (caller holds _MATPLOTLIB_PLOT_LOCK).");
}

}  // namespace vantorel::weightsim
