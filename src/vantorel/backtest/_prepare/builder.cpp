// GroupPreparedDataBuilder: construction, date helpers and the small helpers its steps share.
#include "builder.hpp"

#include <cmath>

namespace vantorel::prepare {

using namespace nb::literals;
using bridge::libs;

bool is_network_error(nb::python_error& e) {
    static nb::object* type =
        new nb::object(nb::module_::import_("vantorel.exceptions").attr("NetworkError"));
    return e.matches(*type);
}

nb::object empty_frame() {
    return libs().DataFrame();
}

bool has_rows(nb::handle frame) {
    if (!frame.is_valid() || frame.is_none())
        return false;
    return nb::len(nb::object(frame.attr("index"))) > 0;
}

nb::object data_service() {
    return nb::module_::import_("vantorel.singleton").attr("get_instance")();
}

nb::list list_arg(nb::handle value, const char* name) {
    if (!nb::isinstance<nb::list>(value))
        bridge::raise_type_error(name, "list", value);
    return nb::borrow<nb::list>(value);
}

nb::object dict_arg(nb::handle value, const char* name, bool optional) {
    if (optional && value.is_none())
        return nb::none();
    if (!nb::isinstance<nb::dict>(value))
        bridge::raise_type_error(name, optional ? "dict or None" : "dict", value);
    return nb::borrow(value);
}

void check_factor_answer(nb::handle df, nb::handle query) {
    if (df.is_none())
        return;
    const std::string what = nb::cast<std::string>(nb::repr(query));
    if (!bridge::is_frame(df)) {
        const std::string type = nb::cast<std::string>(nb::handle(Py_TYPE(df.ptr())).attr("__name__"));
        raise_key_error("因子查询返回结果应为含 ukey/date 列的 DataFrame (查询因子: " + what + "),实际为 " +
                        type);
    }
    if (has_rows(df) && !has_label_columns(df)) {
        const std::string columns = nb::cast<std::string>(nb::repr(df.attr("columns").attr("tolist")()));
        raise_key_error("因子查询返回结果缺少 ukey/date 列 (查询因子: " + what + ",返回的列: " + columns +
                        ")");
    }
}

void require_text_dates(nb::handle frame, const std::string& name) {
    if (!bridge::is_frame(frame))
        bridge::raise_type_error(name.c_str(), "pandas.DataFrame", frame);
    nb::object index = frame.attr("index");
    // Matrices are dates x stock codes; hierarchical labels on either axis cannot be aligned.
    for (nb::handle axis : {index, nb::object(frame.attr("columns"))})
        if (PyObject_IsInstance(axis.ptr(), libs().pd.attr("MultiIndex").ptr()) == 1) {
            const std::string msg =
                "Argument '" + name + "' must have one level of labels per axis, got a MultiIndex";
            throw nb::value_error(msg.c_str());
        }
    if (nb::len(index) == 0)
        return;
    const std::string kind = nb::cast<std::string>(index.attr("inferred_type"));
    if (kind != "string") {
        const std::string msg = "Argument '" + name +
                                "' must have YYYYMMDD text row labels (as clean_matrix gives), got " + kind +
                                " labels";
        throw nb::value_error(msg.c_str());
    }
}

nb::object batch_entry(nb::handle batch, nb::handle name) {
    nb::object entry = batch.attr("get")(name);
    if (!entry.is_none())
        require_text_dates(entry, "batch[\"" + nb::cast<std::string>(nb::str(name)) + "\"]");
    return entry;
}

nb::object sorted_by_rows(nb::handle frame) {
    if (bridge::truthy(frame.attr("index").attr("is_monotonic_increasing")))
        return nb::borrow(frame);
    return frame.attr("sort_index")();
}

nb::object empty_like(nb::handle reference, nb::handle fill_value) {
    if (!bridge::is_frame(reference))
        bridge::raise_type_error("reference", "pandas.DataFrame", reference);
    nb::object index = reference.attr("index"), columns = reference.attr("columns");
    if (PyFloat_Check(fill_value.ptr()) ||
        (PyLong_Check(fill_value.ptr()) && !PyBool_Check(fill_value.ptr()))) {
        const double fill = bridge::float_arg(fill_value, "fill_value");
        const auto rows = static_cast<Index>(nb::len(index)), cols = static_cast<Index>(nb::len(columns));
        return bridge::make_frame(std::vector<double>(static_cast<std::size_t>(rows * cols), fill), rows,
                                  cols, index, columns);
    }
    return libs().DataFrame(fill_value, "index"_a = index, "columns"_a = columns);
}

namespace {

nb::object date_arg(nb::handle value, const char* name) {
    if (!nb::isinstance<nb::str>(value) && !(PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())))
        bridge::raise_type_error(name, "str", value);
    return store_module().attr("normalize_yyyymmdd")(value);
}

nb::object normalize_ddb_date(nb::handle value) {
    if (value.is_none())
        return nb::none();
    nb::object text = nb::str(value);
    const std::string s = nb::cast<std::string>(text);
    bool digits = s.size() == 7;
    for (char c : s)
        digits = digits && c >= '0' && c <= '9';
    if (digits)
        return nb::str((s + "0").c_str());
    return text;
}

nb::object factor_date(nb::handle value) {
    if (value.is_none())
        return nb::none();
    std::string d;
    try {
        d = nb::cast<std::string>(store_module().attr("normalize_yyyymmdd")(value));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError))  // a type error there is about the value given here
            throw;
        bridge::raise_type_error("date_value", "str or int", value);
    }
    const std::string out = d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
    return nb::str(out.c_str());
}

}  // namespace

void register_builder(nb::module_& m) {
    nb::class_<Builder> cls(
        m, "GroupPreparedDataBuilder", nb::dynamic_attr(),
        "Builds the prepared backtest data for one inclusive date range from the data service:\n"
        "source factors, index memberships and benchmark returns, then the derived matrices and the\n"
        "payload the store takes. Holds only its dates; every build queries the service again.");
    cls.def(
           "__init__",
           [](Builder* self, nb::handle start_date, nb::handle end_date) {
               nb::object start = date_arg(start_date, "start_date");
               nb::object end = date_arg(end_date, "end_date");
               new (self) Builder{start, end, normalize_ddb_date(start), normalize_ddb_date(end)};
           },
           "start_date"_a.none(), "end_date"_a.none(),
           nb::sig("def __init__(self, start_date: str, end_date: str) -> None"))
        .def_prop_rw(
            "default_start", [](const Builder& b) { return b.default_start; },
            [](Builder& b, nb::handle v) { b.default_start = nb::borrow(v); }, nb::arg("value").none(),
            "First date of the range (YYYYMMDD).")
        .def_prop_rw(
            "end_date", [](const Builder& b) { return b.end_date; },
            [](Builder& b, nb::handle v) { b.end_date = nb::borrow(v); }, nb::arg("value").none(),
            "Last date of the range (YYYYMMDD).")
        .def_prop_rw(
            "_ddb_start", [](const Builder& b) { return b.ddb_start; },
            [](Builder& b, nb::handle v) { b.ddb_start = nb::borrow(v); }, nb::arg("value").none())
        .def_prop_rw(
            "_ddb_end", [](const Builder& b) { return b.ddb_end; },
            [](Builder& b, nb::handle v) { b.ddb_end = nb::borrow(v); }, nb::arg("value").none())
        .def_static("_normalize_ddb_backtest_date", &normalize_ddb_date, "date_value"_a.none(),
                    nb::sig("def _normalize_ddb_backtest_date(date_value: object) -> str | None"),
                    "The text form of a date; seven digits get a trailing \"0\". None stays None.")
        .def_static("_vr_factor_date", &factor_date, "date_value"_a.none(),
                    nb::sig("def _vr_factor_date(date_value: str | int | None) -> str | None"),
                    "A date as YYYY-MM-DD text, the form factor queries take. None stays None.")
        .def_static(
            "_empty_like", &empty_like, "reference"_a.none(), "fill_value"_a.none() = NAN,
            nb::sig("def _empty_like(reference: pandas.DataFrame, fill_value: object = float('nan')) -> "
                    "pandas.DataFrame"),
            "A Frame with the reference's labels and every cell fill_value.")
        .def(
            "_vr_factors_to_matrices",
            [](nb::handle, nb::handle df, nb::handle names) { return factors_to_matrices(df, names); },
            "df"_a.none(), "names"_a.none(),
            nb::sig("def _vr_factors_to_matrices(self, df: pandas.DataFrame | None, names: list[str]) -> "
                    "dict[str, pandas.DataFrame]"),
            "A factor query result as one date x stock Frame per requested name (an empty Frame for a\n"
            "name without data).\n\n"
            "Long tables (ukey, date, value and a factor-name column; a single requested name needs no\n"
            "name column) are grouped by name; wide tables hold one column per name. Stock codes are\n"
            "the first six characters of ukey, dates YYYYMMDD (each distinct value parsed on its own),\n"
            "values numbers (unparseable ones NaN). Records missing a code, date or value are dropped;\n"
            "of several records of one cell the last wins. KeyError when ukey or the date is missing.");
    register_reads(cls);
    register_benchmarks(cls);
    register_derivation(cls);
    register_payload(cls);
    register_derivation(m);
}

}  // namespace vantorel::prepare
