// Loading the prepared data, cutting a date range out of it, and the selection universe.
#include <string_view>
#include <vector>

#include <nanobind/stl/vector.h>

#include "service.hpp"
#include "vantorel/assemble.hpp"
#include "vantorel/dates.hpp"

namespace vantorel::service {

using namespace nb::literals;
using bridge::libs;

namespace {

nb::object iloc_range(nb::handle obj, Index begin, Index end) {
    return obj.attr("iloc")[nb::steal(PySlice_New(nb::int_(begin).ptr(), nb::int_(end).ptr(), nullptr))];
}

}  // namespace

nb::object slice_rows(nb::handle obj, const std::string& lo, const std::string& hi) {
    nb::object index = obj.attr("index");
    const std::size_t n = nb::len(index);
    // An empty Frame may carry an index that text cannot be compared with; it is empty either way.
    if (n == 0)
        return iloc_range(obj, 0, 0);
    nb::object labels = index.attr("tolist")();
    std::vector<std::string_view> views;
    views.reserve(n);
    for (nb::handle label : labels) {
        if (!PyUnicode_Check(label.ptr())) {
            // Not text labels: the frame library's own comparison decides (and reports misuse).
            nb::object mask = index.attr("__ge__")(nb::str(lo.c_str())) & index.attr("__le__")(nb::str(hi.c_str()));
            return obj.attr("loc")[mask];
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(label.ptr(), &size);
        if (text == nullptr)
            throw nb::python_error();
        views.emplace_back(text, static_cast<std::size_t>(size));
    }
    const IndexMap pos = positions_in_range(views, std::string_view(lo), std::string_view(hi));
    if (pos.empty())
        return iloc_range(obj, 0, 0);
    if (is_consecutive(pos))
        return iloc_range(obj, pos.front(), pos.back() + 1);
    return obj.attr("iloc")[libs().np.attr("asarray")(nb::cast(pos), "dtype"_a = "int64")];
}

nb::dict slice_data(nb::handle data, nb::handle start_date, nb::handle end_date) {
    if (!nb::isinstance<nb::dict>(data))
        bridge::raise_type_error("data", "dict", data);
    const std::string lo = bridge::str_arg(start_date, "start_date");
    const std::string hi = bridge::str_arg(end_date, "end_date");
    nb::dict sliced;
    for (auto [key, value] : nb::borrow<nb::dict>(data)) {
        if (nb::isinstance<nb::str>(key) && nb::cast<std::string>(key) == "benchmark_dict") {
            nb::dict series_by_name;
            for (nb::handle item : value.attr("items")()) {
                nb::handle name = item[0];
                series_by_name[name] = slice_rows(item[1], lo, hi);
            }
            sliced[key] = series_by_name;
        } else if (bridge::is_frame(value)) {
            sliced[key] = slice_rows(value, lo, hi);
        } else {
            sliced[key] = value;
        }
    }
    return sliced;
}

nb::list parse_universe(nb::handle universe) {
    nb::list codes;
    if (universe.is_none())
        return codes;
    if (nb::isinstance<nb::str>(universe)) {
        nb::object code = universe.attr("strip")();
        if (nb::len(code) > 0)
            codes.append(code);
        return codes;
    }
    for (nb::handle item : universe) {
        nb::object text = nb::isinstance<nb::str>(item) ? nb::borrow(item) : nb::object(nb::str(item));
        nb::object code = text.attr("strip")();
        if (nb::len(code) > 0)
            codes.append(code);
    }
    return codes;
}

void apply_universe_filter(nb::handle data, nb::handle universe, nb::handle start_date, nb::handle end_date) {
    if (!nb::isinstance<nb::dict>(data))
        bridge::raise_type_error("data", "dict", data);
    bridge::str_arg(start_date, "start_date");
    bridge::str_arg(end_date, "end_date");
    nb::list codes = parse_universe(universe);
    if (nb::len(codes) == 0)
        return;
    nb::dict bundle = nb::borrow<nb::dict>(data);
    nb::object mask_frame = bundle["close_price_valid"];
    nb::object table = module().attr("_UNIVERSE_TO_COMPONENT");
    nb::object key_of = prepare_module().attr("component_dataset_key");

    std::vector<bridge::Frame> members;
    for (nb::handle code : codes) {
        nb::object name = table.attr("get")(code);
        const std::string code_text = nb::cast<std::string>(code);
        if (name.is_none()) {
            const std::string msg = "不支持的选股范围: " + code_text;
            throw nb::value_error(msg.c_str());
        }
        nb::object key = key_of(name);
        nb::object matrix = bundle.attr("get")(key);
        if (matrix.is_none() || nb::len(nb::object(matrix.attr("index"))) == 0) {
            const std::string msg = "选股范围 " + code_text + " 无成分股数据,请重新准备数据";
            throw nb::value_error(msg.c_str());
        }
        members.push_back(bridge::frame_arg(matrix, nb::cast<std::string>(key).c_str()));
    }

    const bridge::Frame mask = bridge::frame_arg(mask_frame, "close_price_valid");
    const AlignedView mask_view(mask.view);
    std::vector<AlignedView> member_views;
    for (const bridge::Frame& f : members)
        member_views.emplace_back(f.view, bridge::label_map(f.index, mask.index),
                                  bridge::label_map(f.columns, mask.columns));
    std::vector<double> out(static_cast<std::size_t>(mask_view.rows() * mask_view.cols()));
    {
        nb::gil_scoped_release release;  // reads only the viewed buffers, kept alive by the Frames
        narrow_to_members(mask_view, member_views, out.data());
    }
    // Only this entry is replaced; the Frame it held is left as it was.
    bundle["close_price_valid"] =
        bridge::make_frame(std::move(out), mask_view.rows(), mask_view.cols(), mask.index, mask.columns);
}

nb::object load_backtest_data() {
    nb::object store = prepare_module().attr("BinaryPreparedDataStore")(module().attr("_DEFAULT_DATA_DIR"));
    if (!bridge::truthy(store.attr("metadata_path").attr("exists")())) {
        PyErr_SetString(PyExc_FileNotFoundError, "未找到回测基准数据,请先调用 vantorel.prepare_backtest_data()");
        throw nb::python_error();
    }
    nb::object payload = store.attr("load")("start_date"_a = nb::none(), "end_date"_a = nb::none(), "mmap"_a = false);
    nb::object result = nb::module_::import_("vantorel.backtest.result");
    return result.attr("BacktestData")("data"_a = payload["data"]);
}

void register_data(nb::class_<BacktestService>& cls) {
    cls.def(
           "load_backtest_data", [](BacktestService&) { return load_backtest_data(); },
           nb::sig("def load_backtest_data(self) -> vantorel.backtest.result.BacktestData"),
           "Reads the whole prepared-data directory into memory once: every matrix and benchmark\n"
           "series, all dates, owned (not memory-mapped), so the bundle can be shared by many backtests\n"
           "and sent to other processes. FileNotFoundError when no data were prepared.")
        .def_static("_slice_data", &slice_data, "data"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
                    nb::sig("def _slice_data(data: dict, start_date: str, end_date: str) -> dict"),
                    "A shallow copy of the loaded data with every Frame and benchmark series cut to the\n"
                    "inclusive text range of its row labels (a view where the rows are contiguous).")
        .def_static("_parse_universe", &parse_universe, "universe"_a.none(),
                    nb::sig("def _parse_universe(universe: str | list[str] | None) -> list[str]"),
                    "Universe codes: stripped texts, empty ones dropped; None means the whole market.")
        .def(
            "_apply_universe_filter",
            [](BacktestService&, nb::handle data, nb::handle universe, nb::handle start_date, nb::handle end_date) {
                apply_universe_filter(data, universe, start_date, end_date);
            },
            "data"_a.none(), "universe"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
            nb::sig("def _apply_universe_filter(self, data: dict, universe: str | list[str] | None, "
                    "start_date: str, end_date: str) -> None"),
            "Replaces data[\"close_price_valid\"] by a new Frame that keeps it only where the summed\n"
            "membership of the selected indices is positive (NaN elsewhere). Nothing else changes.");
}

}  // namespace vantorel::service
