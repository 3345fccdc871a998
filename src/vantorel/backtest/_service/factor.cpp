// The factor group backtest entry: checks, cleaning, slicing, universe, the kernel, the result.
#include "service.hpp"

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

nb::object to_public_result(nb::handle core_result, nb::handle name) {
    if (!nb::isinstance<nb::str>(name))
        bridge::raise_type_error("factor_name", "str", name);
    for (const char* field : {"plot_paths", "best_group", "group_daily_return", "group_cumulative_return", "rank_ic",
                              "benchmark_summary"})
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
            if (!e.matches(PyExc_OverflowError) && !e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
                throw;
            const std::string msg = "Argument 'core_result.best_group' must be a group number or NaN, got " +
                                    nb::cast<std::string>(nb::repr(best));
            throw nb::value_error(msg.c_str());
        }
    nb::object result = nb::module_::import_("vantorel.backtest.result");
    return result.attr("BacktestResult")(
        "factor_name"_a = name, "best_group"_a = best_group,
        "group_daily_return"_a = core_result.attr("group_daily_return"),
        "group_cumulative_return"_a = core_result.attr("group_cumulative_return"),
        "rank_ic"_a = core_result.attr("rank_ic"), "benchmark_summary"_a = core_result.attr("benchmark_summary"),
        "plot_paths"_a = plot_paths);
}

namespace {

nb::object backtest(nb::handle self, nb::handle factor, nb::handle data, nb::handle start_date, nb::handle end_date,
                    nb::handle output_dir, nb::handle plot_filename, nb::handle group_num, nb::handle benchmark,
                    nb::handle universe, nb::handle rolling_window, nb::handle ascending, nb::handle total_money,
                    nb::handle fee, nb::handle rule_fee, nb::handle plot) {
    // Typed arguments are checked on entry, before any work.
    if (!nb::isinstance<nb::str>(plot_filename))
        bridge::raise_type_error("plot_filename", "str", plot_filename);
    if (!nb::isinstance<nb::str>(plot))
        bridge::raise_type_error("plot", "str", plot);
    if (!is_number(group_num))
        bridge::raise_type_error("group_num", "int", group_num);
    if (!is_number(rolling_window))
        bridge::raise_type_error("rolling_window", "int", rolling_window);
    const std::int64_t groups = bridge::int_arg(group_num, "group_num");
    const std::int64_t window = bridge::int_arg(rolling_window, "rolling_window");
    // Charts are always drawn, so the directory is always needed.
    bridge::path_arg(output_dir, "output_dir");
    const bool ascending_flag = bridge::bool_arg(ascending, "ascending");

    if (factor.is_none())
        throw nb::value_error("因子宽表为空");
    if (!bridge::is_frame(factor))
        bridge::raise_type_error("factor", "pandas.DataFrame", factor);
    if (nb::len(nb::object(factor.attr("index"))) == 0)
        throw nb::value_error("因子宽表为空");
    if (groups < 2 || groups > 100)
        throw nb::value_error("group_num 取值范围 [2, 100]");
    // The engine's own range checks, run before the data are cut.
    (void)bridge::trading_costs_arg(total_money, fee, rule_fee);
    // An empty directory would put the chart in the working directory, and an empty name would
    // write a hidden ".png": neither is what anybody asks for.
    if (!bridge::truthy(output_dir))
        throw nb::value_error("output_dir 必须提供");
    if (nb::len(plot_filename) == 0)
        throw nb::value_error("plot_filename 必须提供");

    nb::object cleaned = store_module().attr("clean_matrix")(factor);
    const std::string bt_start = date_arg(start_date, "start_date");
    const std::string bt_end = date_arg(end_date, "end_date");
    nb::dict matrices = slice_data(bundle_arg(data), nb::str(bt_start.c_str()), nb::str(bt_end.c_str()));
    self.attr("_apply_universe_filter")(matrices, universe, bt_start, bt_end);
    const std::string name = factor_name(factor);
    nb::object path = nb::module_::import_("pathlib").attr("Path")(output_dir) / (nb::str(plot_filename) + nb::str(".png"));
    nb::str plot_save_path = nb::str(path);
    nb::object factor_rows = slice_rows(cleaned, bt_start, bt_end, "factor");

    nb::object industry = optional_entry(matrices, "industry_matrix");
    const std::vector<nb::object> market =
        market_entries(matrices, {"close_price_valid", "can_buy_stock", "cant_sell_stock", "rq_get_split",
                                  "rq_get_dividend", "close_price", "prev_close", "buy_price", "sell_price",
                                  "benchmark_dict"});
    nb::object forward = optional_entry(matrices, "forward_return_rank_cache");
    nb::object open = optional_entry(matrices, "open_price");

    // Looked up at every call on the shared kernels' module.
    nb::object kernel = module().attr("core").attr("run_alpha_vwap_backtest_core");
    nb::object core_result = kernel(
        "factor_matrix"_a = factor_rows, "industry_matrix"_a = industry, "close_price_valid"_a = market[0],
        "can_buy_stock"_a = market[1], "cant_sell_stock"_a = market[2], "split_factor"_a = market[3],
        "dividend_factor"_a = market[4], "close_price"_a = market[5], "prev_close"_a = market[6],
        "buy_price"_a = market[7], "sell_price"_a = market[8], "benchmark_dict"_a = market[9],
        "forward_return_rank_cache"_a = forward, "open_price"_a = open, "benchmark_names"_a = benchmark,
        "rolling_window"_a = window, "ascending"_a = ascending_flag, "group_num"_a = groups,
        "total_money"_a = total_money, "fee"_a = fee, "rule_fee"_a = rule_fee, "plot_image_kind"_a = plot,
        "plot_save_path"_a = plot_save_path, "factor_name"_a = name, "plot_title"_a = plot_filename);
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
                               benchmark, universe, rolling_window, ascending, total_money, fee, rule_fee, plot);
           },
           "factor"_a.none(), "data"_a.none(), "start_date"_a.none(), "end_date"_a.none(), "output_dir"_a.none(),
           "plot_filename"_a.none(), nb::kw_only(), "group_num"_a.none() = 20, "benchmark"_a.none() = "000852",
           "universe"_a.none() = nb::none(), "rolling_window"_a.none() = 0, "ascending"_a.none() = false,
           "total_money"_a.none() = 1e8, "fee"_a.none() = 0.0001, "rule_fee"_a.none() = 0.0005,
           "plot"_a.none() = "long",
           nb::sig("def backtest(self, factor: pandas.DataFrame, data: vantorel.backtest.result.BacktestData, "
                   "start_date: str | int, end_date: str | int, output_dir: str | os.PathLike, plot_filename: str, *, "
                   "group_num: int = 20, benchmark: str | list[str] | None = '000852', universe: str | list[str] | "
                   "None = None, rolling_window: int = 0, ascending: bool = False, total_money: float = "
                   "100000000.0, fee: float = 0.0001, rule_fee: float = 0.0005, plot: str = 'long') -> "
                   "vantorel.backtest.result.BacktestResult"),
           "Factor group backtest: each date the stocks of the universe are ranked by the factor and cut\n"
           "into group_num groups, each traded as an equal-weight portfolio at VWAP prices. The chart\n"
           "{plot_filename}.png is written to output_dir. Returns a BacktestResult.\n\n"
           "data must be the bundle of load_backtest_data(); KeyError names the datasets it lacks.")
        .def_static("_factor_name", [](nb::handle factor) { return factor_name(factor); }, "factor"_a.none(),
                    nb::sig("def _factor_name(factor: pandas.DataFrame) -> str"),
                    "The column index's name, else the table's name, else \"factor\".")
        .def_static("_to_public_result", &to_public_result, "core_result"_a.none(), "factor_name"_a.none(),
                    nb::sig("def _to_public_result(core_result: object, factor_name: str) -> "
                            "vantorel.backtest.result.BacktestResult"),
                    "The public BacktestResult of a kernel result.");
}

}  // namespace vantorel::service
