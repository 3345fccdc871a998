// vantorel.backtest._weightsim: the strategy engine.
#include "report.hpp"
#include "vantorel/stats.hpp"
#include "weightsim.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(_weightsim, m) {
    m.doc() =
        "The strategy engine: weight smoothing, VWAP simulation, total frame, statistics, pipeline, reports.";

    m.attr("TRADING_DAYS_PER_YEAR") = static_cast<int>(vantorel::kTradingDaysPerYear);
    m.attr("ROLLING_STABILITY_DAYS") = 60;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = 5;
    vantorel::bridge::export_trading_defaults(m);

    nb::module_ core = nb::module_::import_("vantorel.backtest._core");
    m.attr("_build_market_arrays") = core.attr("_build_market_arrays");
    m.attr("_with_datetime_index") = core.attr("_with_datetime_index");
    m.attr("safe_sharpe") = core.attr("safe_sharpe");
    m.attr("_MATPLOTLIB_PLOT_LOCK") = core.attr("_MATPLOTLIB_PLOT_LOCK");

    m.attr("_StrategyCoreResult") = vantorel::bridge::result_dataclass(
        "_StrategyCoreResult", "vantorel.backtest._weightsim",
        "Result of one strategy backtest: strategy_name, daily_return, cumulative_return (net value),\n"
        "stats, benchmark_summary and plot_paths.",
        {"strategy_name", "daily_return", "cumulative_return", "stats", "benchmark_summary", "plot_paths"});

    vantorel::weightsim::register_simulation(m);
    vantorel::weightsim::register_statistics(m);
    vantorel::weightsim::register_pipeline(m);

    vantorel::weightsim::register_report(m);
    vantorel::weightsim::register_charts(m);
}
