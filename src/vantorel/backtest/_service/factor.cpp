// The factor group backtest entry: checks, cleaning, slicing, universe, the kernel, the result.
#include "service.hpp"
#include "vantorel/group_backtest.hpp"  // kDefaultGroupNum

namespace vantorel::service {

using namespace nb::literals;

namespace {

nb::object optional_entry(nb::dict data, const char* key) {
    return data.contains(key) ? nb::object(data[key]) : nb::none();
}

}  // namespace

std::string factor_name(nb::handle factor) {
    // The column index's name, else the table's own name, else "factor".
    if (nb::hasattr(factor, "columns")) {
        nb::object name = factor.attr("columns").attr("name");
        if (bridge::truthy(name))
            return nb::cast<std::string>(nb::str(nb::handle(name)));
    }
    if (nb::hasattr(factor, "name")) {
        nb::object name = factor.attr("name");
        if (bridge::truthy(name))
            return nb::cast<std::string>(nb::str(nb::handle(name)));
    }
    return "factor";
}

constexpr const char* kAnalyticsFields[] = {"ic_summary",
                                            "ic_by_year",
                                            "ic_decay",
                                            "group_turnover",
                                            "factor_autocorrelation",
                                            "long_short",
                                            "monotonicity",
                                            "group_forward_return"};

nb::object to_public_result(nb::handle core_result, nb::handle name) {
    if (!nb::isinstance<nb::str>(name))
        bridge::raise_type_error("factor_name", "str", name);
    for (const char* field : {"plot_paths", "best_group", "group_daily_return", "group_cumulative_return",
                              "rank_ic", "benchmark_summary"})
        if (!nb::hasattr(core_result, field))
            bridge::raise_type_error("core_result", "a group backtest result", core_result);
    nb::dict plot_paths;
    nb::object paths = core_result.attr("plot_paths");
    const int has_paths = paths.is_none() ? 0 : PyObject_IsTrue(paths.ptr());
    if (has_paths < 0) {  // pandas' NA and arrays have no truth value, and are no mapping either
        PyErr_Clear();
        bridge::raise_type_error("core_result.plot_paths", "dict", paths);
    }
    if (has_paths == 1) {
        if (!nb::hasattr(paths, "items"))
            bridge::raise_type_error("core_result.plot_paths", "dict", paths);
        for (nb::handle item : paths.attr("items")()) {
            nb::object key = item[0];
            nb::object entry = item[1];
            if (!nb::hasattr(entry, "get"))
                bridge::raise_type_error("core_result.plot_paths", "dict of dict", entry);
            plot_paths[key] = entry.attr("get")("primary", "");
        }
    }
    nb::object best = core_result.attr("best_group");
    if (nb::cast<int>(bridge::libs().np.attr("ndim")(best)) != 0)  // one number, however it is held
        bridge::raise_type_error("core_result.best_group", "int or float", best);
    nb::object best_group = nb::int_(-1);
    if (bridge::truthy(bridge::libs().pd.attr("notna")(best)))
        try {
            best_group = nb::int_(best);  // truncation, as int() does
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_OverflowError) && !e.matches(PyExc_ValueError) &&
                !e.matches(PyExc_TypeError))
                throw;
            const std::string msg = "Argument 'core_result.best_group' must be a group number or NaN, got " +
                                    nb::cast<std::string>(nb::repr(best));
            throw nb::value_error(msg.c_str());
        }
    nb::dict given;
    given["factor_name"] = name;
    given["best_group"] = best_group;
    given["plot_paths"] = plot_paths;
    // The analytics, when the kernel gave them; the result's defaults otherwise.
    for (const char* field : kAnalyticsFields)
        given[field] = nb::hasattr(core_result, field)        ? nb::object(core_result.attr(field))
                       : std::string(field) == "monotonicity" ? nb::object(nb::float_(kNaN))
                                                              : nb::none();
    return public_result(
        "BacktestResult", core_result,
        {"factor_name", "best_group", "group_daily_return", "group_cumulative_return", "rank_ic",
         "benchmark_summary", "plot_paths", "ic_summary", "ic_by_year", "ic_decay", "group_turnover",
         "factor_autocorrelation", "long_short", "monotonicity", "group_forward_return"},
        given);
}

namespace {

// The public entry draws its chart always; the batch layer's numbers-only entry (draw false) never
// does, and is otherwise the same backtest.
nb::object backtest(nb::handle self, nb::handle factor, nb::handle data, nb::handle start_date,
                    nb::handle end_date, nb::handle output_dir, nb::handle plot_filename,
                    nb::handle group_num, nb::handle benchmark, nb::handle universe,
                    nb::handle rolling_window, nb::handle ascending, nb::handle total_money, nb::handle fee,
                    nb::handle rule_fee, nb::handle plot, bool draw = true) {
    // Typed arguments are checked on entry, before any work.
    if (!nb::isinstance<nb::str>(plot_filename))
        bridge::raise_type_error("plot_filename", "str", plot_filename);
    if (draw && !nb::isinstance<nb::str>(plot))
        bridge::raise_type_error("plot", "str", plot);
    if (!is_number(group_num))
        bridge::raise_type_error("group_num", "int", group_num);
    if (!is_number(rolling_window))
        bridge::raise_type_error("rolling_window", "int", rolling_window);
    const std::int64_t groups = bridge::int_arg(group_num, "group_num");
    const std::int64_t window = bridge::int_arg(rolling_window, "rolling_window");
    // Charts are always drawn, so the directory is always needed.
    if (draw)
        bridge::path_arg(output_dir, "output_dir");
    const bool ascending_flag = bridge::bool_arg(ascending, "ascending");

    require_table(factor, "factor", "因子宽表为空");
    if (groups < 2 || groups > 100)
        throw nb::value_error("group_num 取值范围 [2, 100]");
    // The engine's own range checks, run before the data are cut.
    (void)bridge::trading_costs_arg(total_money, fee, rule_fee);
    // An empty directory would put the chart in the working directory, and an empty name would
    // write a hidden ".png": neither is what anybody asks for.
    if (draw && !bridge::truthy(output_dir))
        throw nb::value_error("output_dir 必须提供");
    if (draw && nb::len(plot_filename) == 0)
        throw nb::value_error("plot_filename 必须提供");

    nb::object cleaned = store_module().attr("clean_matrix")(factor);
    const std::string bt_start = date_arg(start_date, "start_date");
    const std::string bt_end = date_arg(end_date, "end_date");
    nb::dict matrices = slice_data(bundle_arg(data), nb::str(bt_start.c_str()), nb::str(bt_end.c_str()));
    self.attr("_apply_universe_filter")(matrices, universe, bt_start, bt_end);
    const std::string name = factor_name(factor);
    nb::object plot_save_path = nb::none();
    if (draw)
        plot_save_path = nb::str(nb::module_::import_("pathlib").attr("Path")(output_dir) /
                                 (nb::str(plot_filename) + nb::str(".png")));
    nb::object factor_rows = slice_rows(cleaned, bt_start, bt_end, "factor");

    nb::dict inputs;
    inputs["factor_matrix"] = factor_rows;
    inputs["industry_matrix"] = optional_entry(matrices, "industry_matrix");
    add_engine_inputs(inputs, matrices, {"close_price_valid"}, {"benchmark_dict"});
    inputs["forward_return_rank_cache"] = optional_entry(matrices, "forward_return_rank_cache");
    inputs["open_price"] = optional_entry(matrices, "open_price");
    inputs["benchmark_names"] = benchmark;
    inputs["rolling_window"] = window;
    inputs["ascending"] = ascending_flag;
    inputs["group_num"] = groups;
    inputs["total_money"] = total_money;
    inputs["fee"] = fee;
    inputs["rule_fee"] = rule_fee;
    inputs["plot_image_kind"] = draw ? nb::borrow(plot) : nb::none();
    inputs["plot_save_path"] = plot_save_path;
    inputs["factor_name"] = name;
    inputs["plot_title"] = plot_filename;

    // Looked up at every call on the shared kernels' module.
    nb::object kernel = module().attr("core").attr("run_alpha_vwap_backtest_core");
    nb::object core_result = kernel(**inputs);
    return self.attr("_to_public_result")(core_result, nb::str(name.c_str()));
}

}  // namespace

void register_factor(nb::class_<BacktestService>& cls) {
    cls.def(
           "backtest",
           [](nb::handle self, nb::handle factor, nb::handle data, nb::handle start_date, nb::handle end_date,
              nb::handle output_dir, nb::handle plot_filename, nb::handle group_num, nb::handle benchmark,
              nb::handle universe, nb::handle rolling_window, nb::handle ascending, nb::handle total_money,
              nb::handle fee, nb::handle rule_fee, nb::handle plot) {
               return backtest(self, factor, data, start_date, end_date, output_dir, plot_filename, group_num,
                               benchmark, universe, rolling_window, ascending, total_money, fee, rule_fee,
                               plot);
           },
           "factor"_a.none(), "data"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
           "output_dir"_a.none(), "plot_filename"_a.none(), nb::kw_only(),
           "group_num"_a.none() = kDefaultGroupNum, "benchmark"_a.none() = kDefaultBenchmark,
           "universe"_a.none() = nb::none(), "rolling_window"_a.none() = 0, "ascending"_a.none() = false,
           "total_money"_a.none() = kDefaultTotalMoney, "fee"_a.none() = kDefaultFee,
           "rule_fee"_a.none() = kDefaultRuleFee, "plot"_a.none() = "long",
           nb::sig(
               "def backtest(self, factor: pandas.DataFrame, data: vantorel.backtest.result.BacktestData, "
               "start_date: str | int, end_date: str | int, output_dir: str | os.PathLike, plot_filename: "
               "str, *, "
               "group_num: int = 20, benchmark: str | list[str] | None = '000852', universe: str | list[str] "
               "| "
               "None = None, rolling_window: int = 0, ascending: bool = False, total_money: float = "
               "100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, plot: str = 'long') -> "
               "vantorel.backtest.result.BacktestResult"),
           "Factor group backtest: each date the stocks of the universe are ranked by the factor and cut\n"
           "into group_num groups, each traded as an equal-weight portfolio at VWAP prices. The chart\n"
           "{plot_filename}.png and its analytics page {plot_filename}_analytics.png are written to\n"
           "output_dir. Returns a BacktestResult, with the factor's analytics (IC figures, IC by year,\n"
           "IC decay, group turnover, factor autocorrelation, long-short, monotonicity, group forward\n"
           "returns; see BacktestResult) and report() for a text summary.\n\n"
           "data must be the bundle of load_backtest_data(); KeyError names the datasets it lacks.")
        .def(
            "_backtest_numbers",
            [](nb::handle self, nb::handle factor, nb::handle data, nb::handle start_date,
               nb::handle end_date, nb::handle name, nb::handle group_num, nb::handle benchmark,
               nb::handle universe, nb::handle rolling_window, nb::handle ascending, nb::handle total_money,
               nb::handle fee, nb::handle rule_fee) {
                return backtest(self, factor, data, start_date, end_date, nb::none(), name, group_num,
                                benchmark, universe, rolling_window, ascending, total_money, fee, rule_fee,
                                nb::none(), false);
            },
            "factor"_a.none(), "data"_a.none(), "start_date"_a.none(), "end_date"_a.none(), "name"_a.none(),
            nb::kw_only(), "group_num"_a.none() = kDefaultGroupNum, "benchmark"_a.none() = kDefaultBenchmark,
            "universe"_a.none() = nb::none(), "rolling_window"_a.none() = 0, "ascending"_a.none() = false,
            "total_money"_a.none() = kDefaultTotalMoney, "fee"_a.none() = kDefaultFee,
            "rule_fee"_a.none() = kDefaultRuleFee,
            nb::sig("def _backtest_numbers(self, factor: pandas.DataFrame, data: "
                    "vantorel.backtest.result.BacktestData, start_date: str | int, end_date: str | int, "
                    "name: str, "
                    "*, group_num: int = 20, benchmark: str | list[str] | None = '000852', universe: str | "
                    "list[str] | None = None, rolling_window: int = 0, ascending: bool = False, total_money: "
                    "float = 100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005) -> "
                    "vantorel.backtest.result.BacktestResult"),
            "backtest() without its chart, for the batch layer: the same numbers, no file written.")
        .def_static(
            "_factor_name", [](nb::handle factor) { return factor_name(factor); }, "factor"_a.none(),
            nb::sig("def _factor_name(factor: pandas.DataFrame) -> str"),
            "The column index's name, else the table's name, else \"factor\".")
        .def_static("_to_public_result", &to_public_result, "core_result"_a.none(), "factor_name"_a.none(),
                    nb::sig("def _to_public_result(core_result: object, factor_name: str) -> "
                            "vantorel.backtest.result.BacktestResult"),
                    "The public BacktestResult of a kernel result.");
}

}  // namespace vantorel::service
