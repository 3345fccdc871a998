// Loading the prepared data, cutting a date range out of it, and the selection universe.
#include <nanobind/stl/vector.h>

#include <string_view>
#include <vector>

#include "service.hpp"
#include "vantorel/assemble.hpp"
#include "vantorel/dates.hpp"

namespace vantorel::service {

using namespace nb::literals;
using bridge::libs;

namespace {

bool is_mapping(nb::handle value) {
    if (nb::isinstance<nb::dict>(value))
        return true;
    static nb::object* mapping = new nb::object(nb::module_::import_("collections.abc").attr("Mapping"));
    const int r = PyObject_IsInstance(value.ptr(), mapping->ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object iloc_range(nb::handle obj, Index begin, Index end) {
    return obj.attr("iloc")[nb::steal(PySlice_New(nb::int_(begin).ptr(), nb::int_(end).ptr(), nullptr))];
}

}  // namespace

nb::object slice_rows(nb::handle obj, const std::string& lo, const std::string& hi, const std::string& what) {
    nb::object index = obj.attr("index");
    const std::size_t n = nb::len(index);
    // An empty Frame may carry an index that text cannot be compared with; it is empty either way.
    if (n == 0)
        return iloc_range(obj, 0, 0);
    nb::object labels = index.attr("tolist")();
    bool all_text = true;
    for (nb::handle label : labels)
        if (!PyUnicode_Check(label.ptr())) {
            all_text = false;
            break;
        }
    std::vector<std::string> dates;  // labels that are not all text, as YYYYMMDD texts
    std::vector<std::string_view> views;
    views.reserve(n);
    if (all_text) {
        for (nb::handle label : labels) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(label.ptr(), &size);
            if (text == nullptr)
                throw nb::python_error();
            views.emplace_back(text, static_cast<std::size_t>(size));
        }
    } else {
        // Integer dates, date-times or a mix with texts: compared as the dates they name, while the
        // rows keep their own labels.
        dates.reserve(n);
        for (nb::handle label : labels) {
            std::optional<std::string> date = bridge::date_text(label);
            if (!date) {
                const std::string msg =
                    "数据集 " + what + " 的日期标签无法识别: " + nb::cast<std::string>(nb::repr(label));
                throw nb::value_error(msg.c_str());
            }
            dates.push_back(std::move(*date));
        }
        for (const std::string& d : dates)
            views.emplace_back(d);
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
        const bool is_text_key = nb::isinstance<nb::str>(key);
        if (is_text_key && nb::cast<std::string>(key) == "benchmark_dict") {
            if (!is_mapping(value)) {
                // Still the attribute error a non-mapping always gave, now saying what was expected.
                const std::string msg =
                    "Argument 'benchmark_dict' has incorrect type (expected a mapping of "
                    "benchmark name to pandas.Series, got " +
                    nb::cast<std::string>(nb::handle(Py_TYPE(value.ptr())).attr("__name__")) + ")";
                PyErr_SetString(PyExc_AttributeError, msg.c_str());
                throw nb::python_error();
            }
            nb::dict series_by_name;
            for (nb::handle item : value.attr("items")()) {
                nb::handle name = item[0];
                nb::object series = item[1];
                const std::string what = "benchmark_dict[\"" + nb::cast<std::string>(nb::str(name)) + "\"]";
                // A daily-return series each (the engines also read a one-column table as its
                // column, and refuse any other table themselves).
                if (!bridge::is_series(series) && !bridge::is_frame(series))
                    bridge::raise_type_error(what.c_str(), "pandas.Series or one-column DataFrame", series);
                series_by_name[name] = slice_rows(series, lo, hi, what);
            }
            sliced[key] = series_by_name;
        } else if (bridge::is_frame(value)) {
            sliced[key] = slice_rows(value, lo, hi, nb::cast<std::string>(nb::str(key)));
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
    // Bytes would iterate as small integers, never as codes.
    if (PyBytes_Check(universe.ptr()) || PyByteArray_Check(universe.ptr()))
        bridge::raise_type_error("universe", "str, list of str or None", universe);
    nb::object items = nb::steal(PyObject_GetIter(universe.ptr()));
    if (!items.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        bridge::raise_type_error("universe", "str, list of str or None", universe);
    }
    for (nb::handle item : items) {
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
    if (!bundle.contains("close_price_valid"))
        raise_missing_datasets({"close_price_valid"});
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
        const std::string key_text = nb::cast<std::string>(key);
        if (!matrix.is_none() && !bridge::is_frame(matrix))
            bridge::raise_type_error(key_text.c_str(), "pandas.DataFrame", matrix);
        if (matrix.is_none() || nb::len(nb::object(matrix.attr("index"))) == 0) {
            const std::string msg = "选股范围 " + code_text + " 无成分股数据,请重新准备数据";
            throw nb::value_error(msg.c_str());
        }
        members.push_back(bridge::frame_arg(matrix, key_text.c_str()));
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
        PyErr_SetString(PyExc_FileNotFoundError,
                        "未找到回测基准数据,请先调用 vantorel.prepare_backtest_data()");
        throw nb::python_error();
    }
    nb::object payload =
        store.attr("load")("start_date"_a = nb::none(), "end_date"_a = nb::none(), "mmap"_a = false);
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
                    "inclusive text range of its row labels (a view where the rows are contiguous). Labels\n"
                    "that are not texts (integer dates, date-times) compare as their YYYYMMDD text, and one\n"
                    "naming no date raises ValueError naming the dataset. benchmark_dict must map names to\n"
                    "Series (AttributeError when it is no mapping).")
        .def_static("_parse_universe", &parse_universe, "universe"_a.none(),
                    nb::sig("def _parse_universe(universe: str | list[str] | None) -> list[str]"),
                    "Universe codes: stripped texts, empty ones dropped; None means the whole market.")
        .def(
            "_apply_universe_filter",
            [](BacktestService&, nb::handle data, nb::handle universe, nb::handle start_date,
               nb::handle end_date) { apply_universe_filter(data, universe, start_date, end_date); },
            "data"_a.none(), "universe"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
            nb::sig("def _apply_universe_filter(self, data: dict, universe: str | list[str] | None, "
                    "start_date: str, end_date: str) -> None"),
            "Replaces data[\"close_price_valid\"] by a new Frame that keeps it only where the summed\n"
            "membership of the selected indices is positive (NaN elsewhere). Nothing else changes.");
}

}  // namespace vantorel::service
