// vantorel.backtest._core: kernels shared by the strategy engine and the factor backtest.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bridge.hpp"
#include "core.hpp"
#include "vantorel/gather.hpp"
#include "vantorel/group_backtest.hpp"
#include "vantorel/stats.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace vantorel;
using namespace vantorel::bridge;

namespace {

// The array of each market input, in kMarketInputs order.
struct MarketArray {
    const char* key;
    bool is_flag;
    bool missing_flag;  // value of an absent feasibility cell: blocks the trade
};
constexpr MarketArray kArrays[kMarketInputCount] = {
    {"can_buy_arr", true, false},    {"cant_sell_arr", true, true},    {"split_arr", false, false},
    {"dividend_arr", false, false},  {"close_arr", false, false},      {"prev_close_arr", false, false},
    {"buy_price_arr", false, false}, {"sell_price_arr", false, false},
};

nb::object as_index(nb::handle labels, const char* name) {
    if (PyObject_IsInstance(labels.ptr(), libs().Index.ptr()) == 1)
        return nb::borrow(labels);
    if (labels.is_none() || PyUnicode_Check(labels.ptr()) || !nb::hasattr(labels, "__iter__"))
        raise_type_error(name, "pandas.Index", labels);
    return libs().Index(labels);
}

nb::dict build_market_arrays(nb::handle pnl_index, nb::handle columns, nb::handle can_buy,
                             nb::handle cant_sell, nb::handle split, nb::handle dividend, nb::handle close,
                             nb::handle prev_close, nb::handle buy_price, nb::handle sell_price) {
    const nb::handle frames[kMarketInputCount] = {can_buy, cant_sell,  split,     dividend,
                                                  close,   prev_close, buy_price, sell_price};
    nb::object dates = as_index(pnl_index, "pnl_index");
    nb::object codes = as_index(columns, "columns");
    const auto rows = static_cast<Index>(nb::len(dates));
    const auto cols = static_cast<Index>(nb::len(codes));

    nb::dict out;
    for (const char* key : {"prev_close_arr", "can_buy_arr", "cant_sell_arr", "close_arr", "buy_price_arr",
                            "sell_price_arr", "split_arr", "dividend_arr"})
        out[key] = nb::none();
    for (std::size_t s = 0; s < kMarketInputCount; ++s) {
        Frame f = frame_arg(frames[s], kMarketInputs[s].argument);
        conform_frame(f, dates, codes, kMarketInputs[s].argument);
        const AlignedView view(f.view, label_map(f.index, dates), label_map(f.columns, codes));
        if (kArrays[s].is_flag) {
            std::vector<std::uint8_t> flags;
            {
                nb::gil_scoped_release release;  // reads only the viewed buffer, kept alive by `f`
                flags = gather_flags(view, kArrays[s].missing_flag);
            }
            out[kArrays[s].key] = numpy_bool_matrix(std::move(flags), rows, cols);
        } else {
            std::vector<double> values;
            {
                nb::gil_scoped_release release;
                values = gather_numbers(view);
            }
            out[kArrays[s].key] = numpy_matrix(std::move(values), rows, cols);
        }
    }
    return out;
}

double sharpe(nb::handle series, nb::handle periods) {
    const double p = float_arg(periods, "periods");
    const std::vector<double> x = float_values(series, "series");
    return safe_sharpe(x.data(), static_cast<Index>(x.size()), p);
}

nb::object with_datetime_index(nb::handle frame) {
    if (!is_frame(frame) && !is_series(frame))
        raise_type_error("frame", "DataFrame", frame);
    nb::object index = frame.attr("index");
    const Libraries& l = libs();
    nb::object datetime_index = l.pd.attr("DatetimeIndex");
    if (PyObject_IsInstance(index.ptr(), datetime_index.ptr()) == 1)
        return frame.attr("copy")();
    // YYYYMMDD labels, as text or integers.
    nb::object text = index.attr("astype")("str");
    nb::object parsed = l.pd.attr("to_datetime")(text, "format"_a = "%Y%m%d");
    nb::object out = frame.attr("copy")();
    out.attr("index") = parsed;
    return out;
}

}  // namespace

namespace vantorel::core {
namespace {
nb::module_* g_module = nullptr;
}  // namespace
nb::module_ core_module() {
    return *g_module;
}
void set_module(nb::module_& m) {
    g_module = new nb::module_(nb::borrow<nb::module_>(m));
}
}  // namespace vantorel::core

NB_MODULE(_core, m) {
    // Leaked on purpose: the module object must outlive every static destructor.
    vantorel::core::set_module(m);
    m.doc() = "Kernels shared by the strategy engine and the factor group backtest.";

    m.def(
        "_build_market_arrays", &build_market_arrays,
        nb::sig(
            "def _build_market_arrays(pnl_index: pandas.Index, columns: pandas.Index, can_buy_stock: "
            "pandas.DataFrame, cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, "
            "dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
            "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame) -> dict[str, numpy.ndarray]"),
        "pnl_index"_a.none(), "columns"_a.none(), "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(),
        "split_factor"_a.none(), "dividend_factor"_a.none(), "close_price"_a.none(), "prev_close"_a.none(),
        "buy_price"_a.none(), "sell_price"_a.none(),
        "Align the eight market Frames to (pnl_index, columns) as dense row-major arrays.\n\n"
        "Returns a dict with prev_close_arr, can_buy_arr, cant_sell_arr, close_arr, buy_price_arr,\n"
        "sell_price_arr, split_arr and dividend_arr. Float arrays hold NaN where a date or code is\n"
        "absent from a Frame. The two feasibility arrays are boolean: a cell counts as true when it is\n"
        "non-zero and not NaN, and an absent or NaN cell blocks the trade (can_buy_arr False,\n"
        "cant_sell_arr True). Frame labels of another kind than pnl_index's and columns' are read in\n"
        "their kind.");

    m.def("safe_sharpe", &sharpe,
          nb::sig("def safe_sharpe(series: pandas.Series, periods: float = 252) -> float"), "series"_a.none(),
          "periods"_a.none() = 252,
          "Annualised Sharpe ratio: mean / sample standard deviation (ddof=1) x sqrt(periods).\n\n"
          "NaN values are skipped. Returns NaN, never raising, for fewer than two values or for a zero\n"
          "or non-finite standard deviation (an infinite value gives one).");

    m.def("_with_datetime_index", &with_datetime_index,
          nb::sig("def _with_datetime_index(frame: pandas.DataFrame) -> pandas.DataFrame"), "frame"_a.none(),
          "A copy of `frame` whose YYYYMMDD row labels (text or integers) become date-times.");

    // One process-wide lock serialises all chart drawing; matplotlib's state is global.
    m.attr("_MATPLOTLIB_PLOT_LOCK") = nb::module_::import_("threading").attr("RLock")();
    vantorel::bridge::export_trading_defaults(m);
    m.attr("DEFAULT_GROUP_NUM") = vantorel::kDefaultGroupNum;
    vantorel::core::register_group_backtest(m);
}
