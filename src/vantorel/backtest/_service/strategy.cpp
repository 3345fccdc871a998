// The strategy backtest entry: checks, cleaning, slicing, the engine call and the public result.
#include "service.hpp"

namespace vantorel::service {

using namespace nb::literals;

namespace {

nb::object backtest_strategy(BacktestService&, nb::handle strategy, nb::handle data, nb::handle start_date,
                             nb::handle end_date, nb::handle output_dir, nb::handle plot_filename,
                             nb::handle benchmark, nb::handle rolling_window, nb::handle total_money,
                             nb::handle fee, nb::handle rule_fee, nb::handle plot) {
    // Typed arguments are checked on entry, before any work.
    if (!nb::isinstance<nb::str>(plot_filename))
        bridge::raise_type_error("plot_filename", "str", plot_filename);
    if (!plot.is_none() && !nb::isinstance<nb::str>(plot))
        bridge::raise_type_error("plot", "str", plot);
    if (!is_number(rolling_window))
        bridge::raise_type_error("rolling_window", "int", rolling_window);
    const std::int64_t window = bridge::int_arg(rolling_window, "rolling_window");

    // Bound at every call, so the service loads without the engine.
    nb::object run_core =
        nb::module_::import_("vantorel.backtest._weightsim").attr("run_strategy_backtest_core");

    require_table(strategy, "strategy", "策略权重矩阵为空");
    // The engine's own range checks, run before the weights are cleaned and the data cut.
    (void)bridge::trading_costs_arg(total_money, fee, rule_fee);
    nb::object cleaned = store_module().attr("clean_matrix")(strategy);
    if (!plot.is_none()) {
        if (output_dir.is_none() || (PyUnicode_Check(output_dir.ptr()) && nb::len(output_dir) == 0))
            throw nb::value_error("plot 非 None 时,output_dir 必须提供");
        bridge::path_arg(output_dir, "output_dir");
        if (nb::len(plot_filename) == 0)
            throw nb::value_error("plot 非 None 时,plot_filename 必须提供");
    }
    const std::string bt_start = date_arg(start_date, "start_date");
    const std::string bt_end = date_arg(end_date, "end_date");
    nb::dict matrices = slice_data(bundle_arg(data), nb::str(bt_start.c_str()), nb::str(bt_end.c_str()));

    nb::object plot_save_path = nb::none();
    if (!plot.is_none()) {
        nb::object path = nb::module_::import_("pathlib").attr("Path")(output_dir) /
                          (nb::str(plot_filename) + nb::str(".png"));
        plot_save_path = nb::str(path);
    }
    nb::object weights = slice_rows(cleaned, bt_start, bt_end, "strategy");

    nb::dict inputs;
    inputs["strategy_matrix"] = weights;
    add_engine_inputs(inputs, matrices, {}, {"benchmark_dict"});
    inputs["benchmark_names"] = benchmark;
    inputs["rolling_window"] = window;
    inputs["total_money"] = total_money;
    inputs["fee"] = fee;
    inputs["rule_fee"] = rule_fee;
    inputs["plot_image_kind"] = plot;
    inputs["plot_save_path"] = plot_save_path;
    inputs["strategy_name"] = plot_filename;
    inputs["plot_title"] = plot_filename;
    nb::object core = run_core(**inputs);

    nb::dict given;
    given["strategy_name"] = plot_filename;
    return public_result(
        "StrategyBacktestResult", core,
        {"strategy_name", "daily_return", "cumulative_return", "stats", "benchmark_summary", "plot_paths"},
        given);
}

}  // namespace

void register_strategy(nb::class_<BacktestService>& cls) {
    cls.def("backtest_strategy", &backtest_strategy, "strategy"_a.none(), "data"_a.none(),
            "start_date"_a.none(), "end_date"_a.none(), "output_dir"_a.none(), "plot_filename"_a.none(),
            nb::kw_only(), "benchmark"_a.none() = kDefaultBenchmark, "rolling_window"_a.none() = 0,
            "total_money"_a.none() = kDefaultTotalMoney, "fee"_a.none() = kDefaultFee,
            "rule_fee"_a.none() = kDefaultRuleFee, "plot"_a.none() = "large",
            nb::sig("def backtest_strategy(self, strategy: pandas.DataFrame, data: "
                    "vantorel.backtest.result.BacktestData, "
                    "start_date: str | int, end_date: str | int, output_dir: str | os.PathLike | None, "
                    "plot_filename: str, *, benchmark: str = '000852', rolling_window: int = 0, "
                    "total_money: float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, "
                    "plot: str | None = 'large') -> vantorel.backtest.result.StrategyBacktestResult"),
            "Backtests a table of target weights (dates x stock codes) on the loaded data.\n\n"
            "The weights are cleaned and cut to [start_date, end_date], the data sliced to the same\n"
            "range, and the strategy engine trades them day by day at VWAP prices. With plot not None\n"
            "the charts {plot_filename}.png and {plot_filename}_weekly_net_value.png are written to\n"
            "output_dir. Returns a StrategyBacktestResult named plot_filename.\n\n"
            "data must be the bundle of load_backtest_data(); KeyError names the datasets it lacks.");
}

}  // namespace vantorel::service
