// Weight smoothing and the VWAP trading simulation.
#include <deque>

#include "vantorel/gather.hpp"
#include "weightsim.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;
using namespace vantorel::bridge;

namespace {

// Label maps of one market Frame against the trading dates and stock codes, reusing the maps of
// an earlier Frame with the very same label objects.
struct MapCache {
    std::deque<std::pair<nb::object, IndexMap>> entries;  // references stay valid as it grows
    const IndexMap& get(nb::handle source_labels, nb::handle target) {
        for (auto& [labels, map] : entries)
            if (labels.is(source_labels))
                return map;
        entries.emplace_back(nb::borrow(source_labels), label_map(source_labels, target));
        return entries.back().second;
    }
};

}  // namespace

WeightTable WeightTable::whole(const Frame& f) {
    WeightTable w;
    w.index = f.index;
    w.columns = f.columns;
    w.keep_alive = f.array;
    w.source = f.view;
    w.rows = identity_map(f.view.rows);
    w.cols = identity_map(f.view.cols);
    return w;
}

WeightTable smooth(const WeightTable& w, Index window) {
    if (window <= 1)
        return w;
    SmoothedWeights s;
    {
        const AlignedView view = w.aligned();
        nb::gil_scoped_release release;  // reads only buffers kept alive by `w`
        s = smooth_weights(view, window);
    }
    WeightTable out;
    out.owned = std::make_shared<DenseMatrix>(std::move(s.values));
    out.source = out.owned->view();
    out.index = take(w.index, s.kept_rows);
    out.columns = w.columns;
    out.rows = identity_map(out.owned->rows);
    out.cols = identity_map(out.owned->cols);
    return out;
}

WeightProfile weight_profile(const WeightTable& w) {
    const AlignedView view = w.aligned();
    nb::gil_scoped_release release;  // reads only buffers kept alive by `w`
    return profile_weights(view);
}

DailyReturns simulate(const WeightTable& w, const MarketFrames& market, const TradingCosts& costs) {
    MapCache date_maps, code_maps;
    auto align = [&](const Frame& f) {
        return AlignedView(f.view, date_maps.get(f.index, w.index), code_maps.get(f.columns, w.columns));
    };
    const MarketViews views = market_views(market, align);
    const AlignedView weights = w.aligned();
    SimulatedReturns sim;
    {
        nb::gil_scoped_release release;  // the engine reads buffers kept alive by `w` and `market`
        sim = simulate_vwap_returns(weights, views, costs);
    }
    DailyReturns result;
    const IndexMap rows = trading_rows(sim.profile);
    result.values = vantorel::take(sim.returns, rows);
    result.index = take(w.index, rows);
    result.profile = std::move(sim.profile);
    return result;
}

namespace {

nb::object smooth_strategy_weights(nb::handle strategy_matrix, nb::handle rolling_window) {
    const Index window = int_arg(rolling_window, "rolling_window");
    if (!is_frame(strategy_matrix))
        raise_type_error("strategy_matrix", "DataFrame", strategy_matrix);
    if (window <= 1)
        return nb::borrow(strategy_matrix);
    const Frame f = frame_arg(strategy_matrix, "strategy_matrix");
    const WeightTable s = smooth(WeightTable::whole(f), window);
    std::vector<double> values = s.owned->values;
    return make_frame(std::move(values), s.owned->rows, s.owned->cols, s.index, s.columns);
}

nb::object calc_strategy_vwap_daily_return(nb::handle signal_matrix, nb::handle can_buy, nb::handle cant_sell,
                                           nb::handle split, nb::handle dividend, nb::handle close,
                                           nb::handle prev_close, nb::handle buy_price, nb::handle sell_price,
                                           nb::handle total_money, nb::handle fee, nb::handle rule_fee,
                                           nb::handle lot_size) {
    TradingCosts costs = trading_costs_arg(total_money, fee, rule_fee);
    costs.lot_size = lot_size_arg(lot_size);
    Frame signal = frame_arg(signal_matrix, "signal_matrix");
    const MarketFrames market =
        market_frames({can_buy, cant_sell, split, dividend, close, prev_close, buy_price, sell_price});
    conform_frame(signal, market.close().index, market.close().columns, "signal_matrix");
    const WeightTable w = WeightTable::whole(signal);
    DailyReturns r = simulate(w, market, costs);
    if (r.values.empty())
        return empty_float_series();
    return make_series(std::move(r.values), r.index);
}

}  // namespace

void register_simulation(nb::module_& m) {
    m.def("_smooth_strategy_weights", &smooth_strategy_weights,
          nb::sig("def _smooth_strategy_weights(strategy_matrix: pandas.DataFrame, rolling_window: int) -> "
                  "pandas.DataFrame"),
          "strategy_matrix"_a.none(), "rolling_window"_a.none(),
          "Rolling-mean smoothing of a weight Frame.\n\n"
          "A window of 0 or 1 returns `strategy_matrix` itself. Otherwise missing weights count as 0,\n"
          "each value becomes the mean of the window ending on its row (a plain sum from the oldest\n"
          "to the newest row, divided by the window), the first window - 1 rows are dropped and\n"
          "weights that average exactly 0 become NaN (no signal).");

    m.def(
        "calc_strategy_vwap_daily_return", &calc_strategy_vwap_daily_return,
        nb::sig(
            "def calc_strategy_vwap_daily_return(signal_matrix: pandas.DataFrame, can_buy_stock: "
            "pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, "
            "dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
            "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, total_money: float = 100000000.0, "
            "fee: float = 0.0001, rule_fee: float = 0.0005, lot_size: int = 200) -> pandas.Series"),
        "signal_matrix"_a.none(), "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(),
        "split_factor"_a.none(), "dividend_factor"_a.none(), "close_price"_a.none(), "prev_close"_a.none(),
        "buy_price"_a.none(), "sell_price"_a.none(), "total_money"_a.none() = kDefaultTotalMoney,
        "fee"_a.none() = kDefaultFee, "rule_fee"_a.none() = kDefaultRuleFee,
        "lot_size"_a.none() = kDefaultLotSize,
        "Daily returns of trading target weights at VWAP prices in whole lots.\n\n"
        "The weights of each date are traded on the next date of `signal_matrix` (dates after a\n"
        "row without any weight do not trade). Targets are floor(total_money * weight /\n"
        "(prev_close * lot_size)) lots; buys need can_buy_stock, sells are blocked by\n"
        "cant_sell_stock; an absent or NaN feasibility cell blocks the trade. Splits and cash\n"
        "dividends are credited to shares held at the previous close; `fee` is charged on both\n"
        "sides and `rule_fee` on sells. Returns the day's money result / total_money, indexed by\n"
        "trading date; an empty series when nothing trades. Runs without the GIL.\n\n"
        "total_money must lie in (0, +inf), fee and rule_fee in [0, 1) and lot_size in [1, +inf)\n"
        "(ValueError otherwise). Labels of another kind than close_price's are read in its kind, as\n"
        "in run_strategy_backtest_core.");
}

}  // namespace vantorel::weightsim
