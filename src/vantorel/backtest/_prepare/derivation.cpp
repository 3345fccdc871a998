// The stored matrices derived from the source factors.
//
// Labels are worked out here with the frame library's own index operations (union, reindexing,
// comparisons with the first and last close date); the engine computes every cell.
#include "builder.hpp"
#include "vantorel/derive.hpp"
#include "vantorel/gather.hpp"
#include "vantorel/rank.hpp"

namespace vantorel::prepare {

using namespace nb::literals;
using bridge::libs;

namespace {

// Labels of the result of arithmetic between two Frames: the same labels when equal, else the
// sorted union.
nb::object union_labels(nb::handle a, nb::handle b) {
    if (a.is(b) || bridge::truthy(a.attr("equals")(b)))
        return nb::borrow(a);
    return a.attr("union")(b);
}

// A source Frame read at target labels (absent labels read as missing).
struct Aligned {
    bridge::Frame frame;
    AlignedView view;
};

Aligned aligned(nb::handle obj, const char* name, nb::handle rows, nb::handle cols) {
    Aligned a{bridge::frame_arg(obj, name), {}};
    a.view = AlignedView(a.frame.view, bridge::label_map(a.frame.index, rows),
                         bridge::label_map(a.frame.columns, cols));
    return a;
}

nb::object bool_frame(std::vector<std::uint8_t>&& flags, nb::handle rows, nb::handle cols) {
    const auto n_rows = static_cast<Index>(nb::len(rows)), n_cols = static_cast<Index>(nb::len(cols));
    return libs().DataFrame(bridge::numpy_bool_matrix(std::move(flags), n_rows, n_cols), "index"_a = rows,
                            "columns"_a = cols, "copy"_a = false);
}

nb::object float_frame(std::vector<double>&& values, nb::handle rows, nb::handle cols) {
    return bridge::make_frame(std::move(values), static_cast<Index>(nb::len(rows)),
                              static_cast<Index>(nb::len(cols)), rows, cols);
}

// Rows of `labels` on the kept side of the close's first (or last) date; none without a close.
nb::object cut_rows(nb::handle labels, nb::handle close_index, bool from_first) {
    const std::size_t n = nb::len(close_index);
    if (n == 0)
        return labels.attr("take")(libs().np.attr("arange")(0));
    nb::object bound = close_index[from_first ? 0 : static_cast<Py_ssize_t>(n - 1)];
    nb::object keep = from_first ? labels.attr("__ge__")(bound) : labels.attr("__le__")(bound);
    return labels.attr("take")(libs().np.attr("flatnonzero")(keep));
}

// (numerator / 10 ...) x valid on the union of both labels, rows cut at the close's first or last
// date.
template <class Kernel>
nb::object adjusted(nb::handle factor, const char* name, nb::handle valid, nb::handle close_index,
                    bool from_first, Kernel kernel) {
    nb::object rows =
        cut_rows(union_labels(factor.attr("index"), valid.attr("index")), close_index, from_first);
    nb::object cols = union_labels(factor.attr("columns"), valid.attr("columns"));
    const Aligned f = aligned(factor, name, rows, cols);
    const Aligned v = aligned(valid, "close_price_valid", rows, cols);
    std::vector<double> out;
    {
        nb::gil_scoped_release release;  // reads the two Frames' buffers, kept alive by `f` and `v`
        out = kernel(f.view, v.view);
    }
    return float_frame(std::move(out), rows, cols);
}

// Buy or sell flags: the price at its limit, and the suspension factor.
nb::object trade_flags(nb::handle price, const char* price_name, nb::handle limit, const char* limit_name,
                       nb::handle suspended, bool buy) {
    const bridge::Frame p = bridge::frame_arg(price, price_name);
    const bridge::Frame l = bridge::frame_arg(limit, limit_name);
    const bridge::Frame s = bridge::frame_arg(suspended, "rq_is_suspended");
    nb::object rows = union_labels(p.index, s.index);
    nb::object cols = union_labels(p.columns, s.columns);
    const IndexMap price_rows = bridge::label_map(p.index, rows),
                   price_cols = bridge::label_map(p.columns, cols);
    const AlignedView price_view(p.view, price_rows, price_cols);
    // The limit reindexed to the price's labels, read at the price's place in the union.
    const AlignedView limit_view(l.view, compose(bridge::label_map(l.index, p.index), price_rows),
                                 compose(bridge::label_map(l.columns, p.columns), price_cols));
    const AlignedView susp_view(s.view, bridge::label_map(s.index, rows), bridge::label_map(s.columns, cols));
    std::vector<std::uint8_t> flags;
    {
        nb::gil_scoped_release release;  // reads the three Frames' buffers, kept alive above
        flags = limit_flags(price_view, limit_view, susp_view, buy);
    }
    return bool_frame(std::move(flags), rows, cols);
}

nb::object source_entry(nb::dict source, const char* key) {
    if (!source.contains(key)) {
        PyErr_SetObject(PyExc_KeyError, nb::str(key).ptr());
        throw nb::python_error();
    }
    nb::object entry = source[key];
    // Dates are compared as text below (the close's first and last date).
    require_text_dates(entry, key);
    return entry;
}

}  // namespace

nb::dict build_from_matrices(nb::handle source_arg) {
    nb::dict source = nb::borrow<nb::dict>(dict_arg(source_arg, "source", false));
    nb::object industry = source_entry(source, "rq_industry_exposure_new");
    nb::object limit_down = source_entry(source, "limit_down");
    nb::object limit_up = source_entry(source, "limit_up");
    nb::object close = source_entry(source, "Close");
    nb::object open = source_entry(source, "Open");
    nb::object buy = source_entry(source, "tick_vwap_price_935_1005");
    nb::object sell = source_entry(source, "tick_vwap_price_925_1000");
    nb::object split = source_entry(source, "split_coefficient_to");
    nb::object dividend = source_entry(source, "rq_get_dividend");
    nb::object suspended = source_entry(source, "rq_is_suspended");

    const bridge::Frame cp = bridge::frame_arg(close, "Close");
    const AlignedView cp_view(cp.view);
    const bridge::Frame op = bridge::frame_arg(open, "Open");
    const AlignedView open_view(op.view);
    std::vector<double> valid, prev, rank;
    {
        nb::gil_scoped_release release;  // reads the close and open buffers, kept alive by `cp` and `op`
        valid = valid_mask(cp_view);
        prev = shift_down_one(cp_view);
        rank = forward_return_rank(open_view);
    }
    nb::object valid_frame = float_frame(std::move(valid), cp.index, cp.columns);

    nb::dict out;
    out["industry_matrix"] = industry;
    out["close_price"] = close;
    out["open_price"] = open;
    out["close_price_valid"] = valid_frame;
    out["prev_close"] = float_frame(std::move(prev), cp.index, cp.columns);
    out["buy_price"] = buy;
    out["sell_price"] = sell;
    // Without any close the first and last close dates are undefined: no split or dividend rows.
    out["rq_get_split"] = adjusted(split, "split_coefficient_to", valid_frame, cp.index, true, split_ratio);
    out["rq_get_dividend"] =
        adjusted(dividend, "rq_get_dividend", valid_frame, cp.index, false, dividend_after_tax);
    out["can_buy_stock"] =
        trade_flags(buy, "tick_vwap_price_935_1005", limit_up, "limit_up", suspended, true);
    out["cant_sell_stock"] =
        trade_flags(sell, "tick_vwap_price_925_1000", limit_down, "limit_down", suspended, false);
    out["forward_return_rank_cache"] = float_frame(std::move(rank), op.index, op.columns);
    return out;
}

namespace {

// forward_return_rank_cache of one open-price Frame, on its labels.
nb::object forward_return_rank_frame(nb::handle open_price) {
    const bridge::Frame op = bridge::frame_arg(open_price, "open_price");
    const AlignedView open_view(op.view);
    std::vector<double> rank;
    {
        nb::gil_scoped_release release;  // reads the open buffer, kept alive by `op`
        rank = forward_return_rank(open_view);
    }
    return float_frame(std::move(rank), op.index, op.columns);
}

}  // namespace

void register_derivation(nb::module_& m) {
    m.def("_forward_return_rank", &forward_return_rank_frame, "open_price"_a.none(),
          nb::sig("def _forward_return_rank(open_price: pandas.DataFrame) -> pandas.DataFrame"),
          "forward_return_rank_cache of an open-price Frame, as the builder derives it: per date, the\n"
          "average rank of the open-to-open return from the next date to the one after (the last two\n"
          "rows NaN), on the open's labels.");
}

void register_derivation(nb::class_<Builder>& cls) {
    cls.def(
        "_build_from_matrices", [](nb::handle, nb::handle source) { return build_from_matrices(source); },
        "source"_a.none(),
        nb::sig("def _build_from_matrices(self, source: dict[str, pandas.DataFrame]) -> dict[str, "
                "pandas.DataFrame]"),
        "The twelve stored matrices from the ten source factors (KeyError naming a missing one):\n"
        "prices as given; close_price_valid 1.0 where the close is a number; prev_close the close one\n"
        "date earlier; rq_get_split split_coefficient_to / 10 and rq_get_dividend the dividend per\n"
        "share after 10 % tax, both only where the close is valid and within its dates; can_buy_stock\n"
        "and cant_sell_stock from the VWAP at its limit and rq_is_suspended (tradable only where it\n"
        "is 1); forward_return_rank_cache the average rank of the next open-to-open return.");
}

}  // namespace vantorel::prepare
