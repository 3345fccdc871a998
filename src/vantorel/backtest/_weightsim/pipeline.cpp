// run_strategy_backtest_core: alignment, smoothing, simulation, benchmark join, statistics.
#include <cmath>

#include "vantorel/gather.hpp"
#include "vantorel/stats.hpp"
#include "weightsim.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;
using namespace vantorel::bridge;

namespace {

nb::object core_result_type() {
    return nb::module_::import_("vantorel.backtest._weightsim").attr("_StrategyCoreResult");
}

nb::object make_result(const std::string& name, nb::handle daily, nb::handle cumulative, nb::handle stats,
                       nb::handle summary, nb::handle plot_paths) {
    return core_result_type()(name, daily, cumulative, stats, summary, plot_paths);
}

nb::object empty_result(const std::string& name) {
    nb::object empty = empty_float_series();
    return make_result(name, empty, empty, empty_stats(), libs().DataFrame(), nb::dict());
}

// Strategy rows on dates of the close prices and columns of codes the close prices know.
// (Columns without any weight are left in: they never trade and change no statistic.)
WeightTable align_to_market(const Frame& strategy, const Frame& close) {
    IndexMap on_market_dates = found_positions(label_map(close.index, strategy.index));
    IndexMap known_codes = found_positions(label_map(close.columns, strategy.columns));

    WeightTable w;
    w.keep_alive = strategy.array;
    w.source = strategy.view;
    w.index = take(strategy.index, on_market_dates);
    w.columns = take(strategy.columns, known_codes);
    w.rows = std::move(on_market_dates);
    w.cols = std::move(known_codes);
    return w;
}

nb::object flat_benchmark_join(nb::handle dates, std::vector<double>&& daily) {
    const std::size_t n = daily.size();
    nb::dict columns;
    columns["daily_return"] = numpy_vector(std::move(daily));
    columns["index_daily_return"] = numpy_vector(std::vector<double>(n, 0.0));
    columns["close"] = numpy_vector(std::vector<double>(n, 1.0));
    return libs().DataFrame(columns, "index"_a = dates);
}

// The join drops strategy dates the benchmark lacks; say so, as their returns leave every statistic.
void warn_missing_dates(nb::handle dates, const IndexMap& missing, const std::string& name) {
    std::string shown;
    for (std::size_t i = 0; i < missing.size() && i < 5; ++i)
        shown += (shown.empty() ? "" : ", ") + nb::cast<std::string>(nb::str(dates[nb::int_(missing[i])]));
    if (missing.size() > 5)
        shown += ", ...";
    const std::string msg = "基准 " + name + " 缺少 " + std::to_string(missing.size()) +
                            " 个回测日期,这些日期不计入统计: " + shown;
    // The package logger (its module installs the NullHandler that keeps an unconfigured run quiet).
    nb::module_::import_("vantorel.logger").attr("logger").attr("warning")(nb::str(msg.c_str()));
}

// Inner join of the strategy's daily returns with the benchmark level and daily return, over the
// benchmark's dates from the strategy's first to its last date.
nb::object benchmark_join(nb::handle dates, const std::vector<double>& daily, nb::handle series,
                          const std::string& name) {
    nb::object bm_index = series.attr("index");
    const std::vector<double> values =
        float_values(series, "benchmark_dict", static_cast<Index>(nb::len(bm_index)));

    nb::object first = dates[nb::int_(0)], last = dates[nb::int_(nb::len(dates) - 1)];
    nb::object in_range = (bm_index.attr("__ge__")(first)).attr("__and__")(bm_index.attr("__le__")(last));
    const IndexMap bm_rows =
        positions_where(bool_values(in_range, "benchmark_dict", static_cast<Index>(values.size())));
    // Strategy date -> benchmark row, -1 where the benchmark (in range) lacks the date.
    const IndexMap to_bm = compose(bm_rows, label_map(bridge::take(bm_index, bm_rows), dates));
    BenchmarkJoin join = join_benchmark(daily, values.data(), static_cast<Index>(values.size()), to_bm);
    if (!join.missing.empty())
        warn_missing_dates(dates, join.missing, name);

    nb::dict columns;
    columns["daily_return"] = numpy_vector(std::move(join.daily_return));
    columns["close"] = numpy_vector(std::move(join.close));
    columns["index_daily_return"] = numpy_vector(std::move(join.index_daily_return));
    return libs().DataFrame(columns, "index"_a = bridge::take(dates, join.rows));
}

// One row per benchmark sharing dates with the total frame: annual return, excess and its risk.
nb::object benchmark_summary(nb::handle total, nb::handle benchmark_dict) {
    if (benchmark_dict.is_none() || nb::len(benchmark_dict) == 0)
        return libs().DataFrame();
    const std::vector<double> strategy = float_values(total["daily_return"], "daily_return");
    std::vector<nb::object> names;
    for (nb::handle name : benchmark_dict)
        names.push_back(nb::borrow(name));
    return benchmark_summary_frame(names, benchmark_dict, total.attr("index"), strategy,
                                   static_cast<Index>(strategy.size()), 1, /*per_group=*/false);
}

nb::object weekly_chart_path(nb::handle main_path) {
    nb::object stem = main_path.attr("stem"), suffix = main_path.attr("suffix");
    return main_path.attr("with_name")(nb::str("{}_weekly_net_value{}").format(stem, suffix));
}

nb::object run_strategy_backtest_core(nb::handle strategy_matrix, nb::handle can_buy, nb::handle cant_sell,
                                      nb::handle split, nb::handle dividend, nb::handle close,
                                      nb::handle prev_close, nb::handle buy_price, nb::handle sell_price,
                                      nb::handle benchmark_dict, nb::handle benchmark_names,
                                      nb::handle rolling_window, nb::handle total_money, nb::handle fee,
                                      nb::handle rule_fee, nb::handle plot_image_kind,
                                      nb::handle plot_save_path, nb::handle strategy_name,
                                      nb::handle plot_title) {
    // Every argument is checked before any work.
    if (!benchmark_dict.is_none() && !PyDict_Check(benchmark_dict.ptr()))
        raise_type_error("benchmark_dict", "dict", benchmark_dict);
    const std::string primary = str_arg(benchmark_names, "benchmark_names");
    const Index window = int_arg(rolling_window, "rolling_window");
    const TradingCosts costs = trading_costs_arg(total_money, fee, rule_fee);
    const std::optional<std::string> image_kind = optional_str_arg(plot_image_kind, "plot_image_kind");
    if (!plot_save_path.is_none())
        path_arg(plot_save_path, "plot_save_path", /*allow_empty=*/!image_kind);
    const std::string name = str_arg(strategy_name, "strategy_name");
    (void)optional_str_arg(plot_title, "plot_title");
    Frame strategy = frame_arg(strategy_matrix, "strategy_matrix");
    const MarketFrames market =
        market_frames({can_buy, cant_sell, split, dividend, close, prev_close, buy_price, sell_price});
    conform_frame(strategy, market.close().index, market.close().columns, "strategy_matrix");
    const nb::object benchmarks = benchmark_dict_arg(benchmark_dict, market.close().index);

    const WeightTable work = smooth(align_to_market(strategy, market.close()), window);
    DailyReturns returns = simulate(work, market, costs);
    const Index last_usable = returns.profile.last_row_with_value();
    if (last_usable < 0)
        return empty_result(name);  // no usable weight row
    if (returns.values.empty())
        return empty_result(name);

    // Returns after the last date with any weight are not part of the backtest.
    nb::object last_date = work.index[nb::int_(last_usable)];
    const IndexMap kept =
        positions_where(bool_values(returns.index.attr("__le__")(last_date), "strategy_matrix",
                                    static_cast<Index>(returns.values.size())));
    if (kept.empty())
        return empty_result(name);  // nothing left to join: the empty result, not a crash
    std::vector<double> daily = vantorel::take(returns.values, kept);
    nb::object dates = bridge::take(returns.index, kept);

    nb::object joined;
    if (!benchmarks.is_none() && PyDict_Contains(benchmarks.ptr(), nb::str(primary.c_str()).ptr()) == 1) {
        joined = benchmark_join(dates, daily, nb::borrow<nb::dict>(benchmarks)[primary.c_str()], primary);
    } else {
        joined = flat_benchmark_join(dates, std::move(daily));  // measured against a flat benchmark
    }
    if (nb::len(joined) == 0)
        return empty_result(name);

    nb::object total = total_frame(joined);
    if (nb::len(total) == 0)
        return empty_result(name);  // every daily return was missing
    nb::dict stats = strategy_stats(total, summarise_weights(returns.profile));
    nb::object summary = benchmark_summary(total, benchmarks);

    nb::dict plot_paths;
    if (image_kind && !plot_save_path.is_none()) {
        nb::object main_path = nb::module_::import_("pathlib").attr("Path")(plot_save_path);
        nb::object weekly_path = weekly_chart_path(main_path);
        nb::module_ self = nb::module_::import_("vantorel.backtest._weightsim");
        self.attr("plot_strategy_performance")(total, stats, name, plot_title, "save_path"_a = main_path,
                                               "image_kind"_a = plot_image_kind, "benchmark_name"_a = primary,
                                               "rolling_window"_a = window);
        self.attr("plot_weekly_net_value")(total, name, plot_title, "save_path"_a = weekly_path,
                                           "image_kind"_a = plot_image_kind, "benchmark_name"_a = primary);
        plot_paths["main"] = nb::str(main_path);
        plot_paths["weekly_net_value"] = nb::str(weekly_path);
    }
    return make_result(name, total["daily_return"], total["long"], stats, summary, plot_paths);
}

}  // namespace

void register_pipeline(nb::module_& m) {
    m.def("run_strategy_backtest_core", &run_strategy_backtest_core,
          nb::sig(
              "def run_strategy_backtest_core(strategy_matrix: pandas.DataFrame, can_buy_stock: "
              "pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, "
              "dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: "
              "pandas.DataFrame, buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, benchmark_dict: "
              "dict[str, pandas.Series | pandas.DataFrame] | None = None, benchmark_names: str = \"000852\", "
              "rolling_window: int = 0, total_money: float = 100000000.0, fee: float = 0.0001, "
              "rule_fee: float = 0.0005, "
              "plot_image_kind: str | None = \"large\", plot_save_path: str | os.PathLike | None = None, "
              "strategy_name: str = \"strategy\", plot_title: str | None = None) -> _StrategyCoreResult"),
          "strategy_matrix"_a.none(), "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(),
          "split_factor"_a.none(), "dividend_factor"_a.none(), "close_price"_a.none(), "prev_close"_a.none(),
          "buy_price"_a.none(), "sell_price"_a.none(), "benchmark_dict"_a.none() = nb::none(),
          "benchmark_names"_a.none() = kDefaultBenchmark, "rolling_window"_a.none() = 0,
          "total_money"_a.none() = kDefaultTotalMoney, "fee"_a.none() = kDefaultFee,
          "rule_fee"_a.none() = kDefaultRuleFee, "plot_image_kind"_a.none() = "large",
          "plot_save_path"_a.none() = nb::none(), "strategy_name"_a.none() = "strategy",
          "plot_title"_a.none() = nb::none(),
          "Run a strategy backtest: align the weights to the market, smooth them (rolling_window > 1),\n"
          "trade them at VWAP prices, join the primary benchmark (a flat one when benchmark_dict lacks\n"
          "it), build the total frame, the statistics and the excess summary of every benchmark, and\n"
          "draw the two charts when plot_image_kind and plot_save_path are both given.\n\n"
          "Returns a _StrategyCoreResult; the empty result (no rows, all-NaN statistics) when nothing\n"
          "could be traded.\n\n"
          "Checked before any work: total_money in (0, +inf), fee and rule_fee in [0, 1) (ValueError);\n"
          "Frames of real numbers or booleans (TypeError naming the argument and dtype otherwise);\n"
          "benchmark_dict values are Series or one-column Frames with unique dates. Row and column\n"
          "labels of another kind than close_price's (a DatetimeIndex or 20200102 against YYYYMMDD\n"
          "text, integer codes against six-digit text) are read in close_price's kind; ValueError when\n"
          "they cannot be. Strategy dates the primary benchmark lacks leave the join, with a warning on\n"
          "the \"vantorel\" logger.");
}

}  // namespace vantorel::weightsim
