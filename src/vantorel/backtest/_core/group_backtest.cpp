// run_alpha_vwap_backtest_core: the factor group backtest behind BacktestService.backtest.
#include <nanobind/stl/string.h>

#include "core.hpp"
#include "vantorel/rank.hpp"

namespace vantorel::core {

using namespace nb::literals;
using namespace vantorel::bridge;

namespace {

AlignedView aligned(const Frame& f, nb::handle dates, nb::handle codes) {
    return AlignedView(f.view, label_map(f.index, dates), label_map(f.columns, codes));
}

// The benchmarks a summary covers: one name, a list of names, or every one for None / "all".
std::vector<nb::object> benchmark_selection(nb::handle names, nb::handle benchmark_dict) {
    std::vector<nb::object> out;
    const bool all =
        names.is_none() || (nb::isinstance<nb::str>(names) && nb::cast<std::string>(names) == "all");
    if (all) {
        if (!benchmark_dict.is_none())
            for (nb::handle key : benchmark_dict)
                out.push_back(nb::borrow(key));
    } else if (nb::isinstance<nb::str>(names)) {
        out.push_back(nb::borrow(names));
    } else {
        for (nb::handle n : names) {
            if (!nb::isinstance<nb::str>(n))
                raise_type_error("benchmark_names", "str, list of str or None", names);
            out.push_back(nb::borrow(n));
        }
    }
    return out;
}

nb::object result_type() {
    static nb::object* type = new nb::object(result_dataclass(
        "_AlphaCoreResult", "vantorel.backtest._core", "Result of one factor group backtest.",
        {"factor_name", "best_group", "group_daily_return", "group_cumulative_return", "rank_ic",
         "benchmark_summary", "plot_paths", "ic_summary", "ic_by_year", "ic_decay", "group_turnover",
         "factor_autocorrelation", "long_short", "monotonicity", "group_forward_return"}));
    return *type;
}

nb::object run_alpha(nb::handle factor_matrix, nb::handle industry_matrix, nb::handle close_price_valid,
                     nb::handle can_buy_stock, nb::handle cant_sell_stock, nb::handle split_factor,
                     nb::handle dividend_factor, nb::handle close_price, nb::handle prev_close,
                     nb::handle buy_price, nb::handle sell_price, nb::handle benchmark_dict,
                     nb::handle forward_return_rank_cache, nb::handle open_price, nb::handle benchmark_names,
                     nb::handle rolling_window, nb::handle ascending, nb::handle group_num,
                     nb::handle total_money, nb::handle fee, nb::handle rule_fee, nb::handle plot_image_kind,
                     nb::handle plot_save_path, nb::handle factor_name, nb::handle plot_title,
                     nb::handle analytics) {
    // Argument types first, before any work.
    if (!benchmark_dict.is_none() && !nb::isinstance<nb::dict>(benchmark_dict))
        raise_type_error("benchmark_dict", "dict", benchmark_dict);
    if (!benchmark_names.is_none() && !nb::isinstance<nb::str>(benchmark_names) &&
        !nb::isinstance<nb::list>(benchmark_names))
        raise_type_error("benchmark_names", "str, list of str or None", benchmark_names);
    GroupOptions options;
    options.rolling_window = int_arg(rolling_window, "rolling_window");
    options.group_num = int_arg(group_num, "group_num");
    options.ascending = bool_arg(ascending, "ascending");
    options.costs = trading_costs_arg(total_money, fee, rule_fee);
    const bool analyse = bool_arg(analytics, "analytics");
    const std::optional<std::string> image_kind = optional_str_arg(plot_image_kind, "plot_image_kind");
    if (!plot_save_path.is_none())
        path_arg(plot_save_path, "plot_save_path", /*allow_empty=*/!image_kind);
    const std::string name = str_arg(factor_name, "factor_name");
    (void)optional_str_arg(plot_title, "plot_title");
    if (options.group_num < 1 || options.group_num > 10000)
        throw nb::value_error("group_num 取值范围 [1, 10000]");
    (void)industry_matrix;  // accepted for the callers' sake; the groups do not use it

    (void)benchmark_selection(benchmark_names, benchmark_dict);  // its types, before any work

    // Every input is read on the grid of close_price's dates and codes, its labels in their kind.
    const std::array<nb::handle, kMarketInputCount> inputs = {can_buy_stock,   cant_sell_stock, split_factor,
                                                              dividend_factor, close_price,     prev_close,
                                                              buy_price,       sell_price};
    MarketFrames m;
    m.frames[kCloseInput] = frame_arg(close_price, "close_price");
    const Frame& close = m.close();
    nb::object dates = close.index, codes = close.columns;
    auto on_grid = [&](nb::handle obj, const char* arg) {
        Frame f = frame_arg(obj, arg);
        conform_frame(f, dates, codes, arg);
        return f;
    };
    const Frame factor = on_grid(factor_matrix, "factor_matrix");
    const Frame valid = on_grid(close_price_valid, "close_price_valid");
    for (std::size_t i = 0; i < kMarketInputCount; ++i)
        if (i != kCloseInput)
            m.frames[i] = on_grid(inputs[i], kMarketInputs[i].argument);
    const nb::object benchmarks = benchmark_dict_arg(benchmark_dict, dates);
    const MarketViews market = market_views(
        m, [&](const Frame& f) { return &f == &close ? AlignedView(close.view) : aligned(f, dates, codes); });
    const AlignedView factor_view = aligned(factor, dates, codes), valid_view = aligned(valid, dates, codes);
    // Forward returns: the cache's ranks, else computed from the opens; the analytics read the opens.
    std::optional<Frame> forward_frame, open_frame;
    AlignedView forward_view, open_view;
    DenseMatrix from_open;
    if (!open_price.is_none()) {
        open_frame = on_grid(open_price, "open_price");
        open_view = aligned(*open_frame, dates, codes);
    }
    const AlignedView* forward = nullptr;
    if (!forward_return_rank_cache.is_none()) {
        forward_frame = on_grid(forward_return_rank_cache, "forward_return_rank_cache");
        forward_view = aligned(*forward_frame, dates, codes);
        forward = &forward_view;
    } else if (open_frame) {
        {
            nb::gil_scoped_release release;  // reads only the viewed open prices
            from_open = forward_open_return(open_view);
        }
        forward_view = AlignedView(from_open.view());
        forward = &forward_view;
    }
    const Calendar calendar = calendar_of(dates);

    FactorBacktest run;
    {
        nb::gil_scoped_release release;  // reads only viewed buffers, kept alive by the Frames above
        run = run_factor_backtest(factor_view, valid_view, forward, open_frame ? &open_view : nullptr, market,
                                  options, analyse);
    }
    const GroupBacktestResult& r = run.groups;
    std::vector<double> cumulative = net_values(r.daily, r.rows, r.groups);

    nb::object group_labels =
        libs().Index(nb::module_::import_("builtins").attr("range")(1, r.groups + 1), "name"_a = "group");
    std::vector<double> daily_copy = r.daily;
    nb::object daily_frame = make_frame(std::move(daily_copy), r.rows, r.groups, dates, group_labels);
    std::vector<double> cumulative_copy = cumulative;
    nb::object cumulative_frame =
        make_frame(std::move(cumulative_copy), r.rows, r.groups, dates, group_labels);
    std::vector<double> ic_copy = r.rank_ic;
    nb::object rank_ic = make_series(std::move(ic_copy), dates, nb::str("rank_ic"));

    const Index best_number = best_group(r, cumulative);
    nb::object best = best_number > 0 ? nb::object(nb::int_(best_number)) : nb::object(nb::float_(kNaN));
    nb::object summary = benchmark_summary_frame(benchmark_selection(benchmark_names, benchmarks), benchmarks,
                                                 dates, r.daily, r.rows, r.groups, /*per_group=*/true);

    nb::dict plot_paths;
    if (image_kind && !plot_save_path.is_none() && r.rows > 0) {
        GroupChartData chart_data;
        chart_data.dates =
            chart::date_values(core_module().attr("_with_datetime_index")(daily_frame).attr("index"));
        chart_data.rows = r.rows;
        chart_data.groups = r.groups;
        chart_data.daily = r.daily;
        chart_data.cumulative = cumulative;
        chart_data.rank_ic = r.rank_ic;
        std::string primary = kDefaultBenchmark;
        const std::vector<nb::object> chosen = benchmark_selection(benchmark_names, benchmarks);
        if (!chosen.empty())
            primary = nb::cast<std::string>(nb::str(chosen.front()));
        // The analytics page lies beside the chart: NAME_analytics.png next to NAME.png.
        nb::object chart_path = nb::module_::import_("pathlib").attr("Path")(plot_save_path);
        nb::object analytics_path = chart_path.attr("with_name")(
            nb::str(chart_path.attr("stem")) + nb::str("_analytics") + nb::str(chart_path.attr("suffix")));
        const AnalyticsChartData analytics_data = analytics_chart_data(run, calendar, chart_data.dates);
        {
            chart::PlotLock lock(core_module().attr("_MATPLOTLIB_PLOT_LOCK"));
            draw_group_chart(chart_data, name, plot_title, plot_save_path, *image_kind, primary);
            draw_analytics_chart(analytics_data, name, plot_title, analytics_path, *image_kind);
        }
        nb::dict main, analytics_page;
        main["primary"] = chart::path_text(plot_save_path);
        plot_paths["main"] = main;
        analytics_page["primary"] = nb::str(analytics_path);
        plot_paths["analytics"] = analytics_page;
    }
    nb::dict fields;
    const std::vector<double> annual = group_annual_returns(r.daily, r.rows, r.groups);
    add_factor_measures(fields, run, annual, calendar, dates, group_labels);
    return result_type()(name, best, daily_frame, cumulative_frame, rank_ic, summary, plot_paths, **fields);
}

}  // namespace

void register_group_backtest(nb::module_& m) {
    m.attr("_AlphaCoreResult") = result_type();
    m.def(
        "run_alpha_vwap_backtest_core", &run_alpha, nb::kw_only(), "factor_matrix"_a.none(),
        "industry_matrix"_a.none() = nb::none(), "close_price_valid"_a.none(), "can_buy_stock"_a.none(),
        "cant_sell_stock"_a.none(), "split_factor"_a.none(), "dividend_factor"_a.none(),
        "close_price"_a.none(), "prev_close"_a.none(), "buy_price"_a.none(), "sell_price"_a.none(),
        "benchmark_dict"_a.none() = nb::none(), "forward_return_rank_cache"_a.none() = nb::none(),
        "open_price"_a.none() = nb::none(), "benchmark_names"_a.none() = kDefaultBenchmark,
        "rolling_window"_a.none() = 0, "ascending"_a.none() = false, "group_num"_a.none() = kDefaultGroupNum,
        "total_money"_a.none() = kDefaultTotalMoney, "fee"_a.none() = kDefaultFee,
        "rule_fee"_a.none() = kDefaultRuleFee, "plot_image_kind"_a.none() = "long",
        "plot_save_path"_a.none() = nb::none(), "factor_name"_a.none() = "factor",
        "plot_title"_a.none() = nb::none(), "analytics"_a.none() = true,
        nb::sig(
            "def run_alpha_vwap_backtest_core(*, factor_matrix: pandas.DataFrame, industry_matrix: "
            "pandas.DataFrame | None = None, close_price_valid: pandas.DataFrame, can_buy_stock: "
            "pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, "
            "dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
            "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, benchmark_dict: dict | None = None, "
            "forward_return_rank_cache: pandas.DataFrame | None = None, open_price: pandas.DataFrame | None "
            "= "
            "None, benchmark_names: str | list[str] | None = '000852', rolling_window: int = 0, ascending: "
            "bool = False, group_num: int = 20, total_money: float = 100000000.0, fee: float = 0.0001, "
            "rule_fee: float = 0.0005, plot_image_kind: str | None = 'long', plot_save_path: str | "
            "os.PathLike | None = None, factor_name: str = 'factor', plot_title: str | None = None, "
            "analytics: "
            "bool = True) -> "
            "_AlphaCoreResult"),
        "Factor group backtest on the grid of close_price's dates and codes.\n\n"
        "Factor: aligned to that grid; with rolling_window > 1 smoothed by a rolling mean over that\n"
        "many dates, a value needing its whole window present (any NaN in the window gives NaN).\n"
        "Eligible stocks of a date have a finite factor value and close_price_valid equal to 1.\n"
        "Groups: each date the eligible stocks are ordered by factor value, ties by column position,\n"
        "and cut into group_num runs whose sizes differ by at most one; a larger value gives a higher\n"
        "group number, or a lower one with ascending=True.\n"
        "Trading: each group holds 1/n of total_money in each of its n members of the signal date,\n"
        "traded the next date exactly as the strategy backtest trades its weights (whole lots from\n"
        "the previous close, buy/sell feasibility, splits, dividends, fee and stamp duty, fixed\n"
        "capital); a group keeps what it could not sell. group_daily_return is dates x groups 1..N\n"
        "(0 where a group did not trade), group_cumulative_return 1 + its running sum.\n"
        "rank_ic: per date, Spearman correlation of the factor and forward_return_rank_cache (or the\n"
        "open-to-open return of the next two dates when the cache is None) over the eligible stocks\n"
        "where both are finite; NaN with fewer than two. best_group: highest final net value (lowest\n"
        "number among equals), NaN when nothing traded. benchmark_summary: a row per (benchmark,\n"
        "group) for benchmark_names (a name, a list, or None / \"all\" for every benchmark).\n"
        "Charts when plot_image_kind and plot_save_path are given: plot_paths = {\"main\":\n"
        "{\"primary\": path}, \"analytics\": {\"primary\": NAME_analytics.png beside it}}.\n"
        "Analytics: ic_summary, ic_by_year, ic_decay (horizons 1, 2, 3, 5, 10, 20 from the opens),\n"
        "group_turnover, factor_autocorrelation, long_short, monotonicity, group_forward_return.\n"
        "analytics=False skips the per-date pass behind turnover, autocorrelation, the decay beyond\n"
        "one day and the forward returns (they are NaN), a quarter of the time on two cores.\n"
        "industry_matrix is accepted and not used.\n\n"
        "Checked before any work: group_num in [1, 10000], total_money in (0, +inf), fee and\n"
        "rule_fee in [0, 1) (ValueError); Frames of real numbers or booleans (TypeError otherwise);\n"
        "benchmark_dict values are Series or one-column Frames with unique dates. Labels of another\n"
        "kind than close_price's are read in its kind, as in run_strategy_backtest_core.");
}

}  // namespace vantorel::core
