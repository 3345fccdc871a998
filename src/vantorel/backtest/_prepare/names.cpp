// Name lists, the dataset-key -> dtype map and date-series formatting.
#include <nanobind/stl/vector.h>

#include "builder.hpp"

namespace vantorel::prepare {

using namespace nb::literals;

namespace {

nb::object strip(nb::handle item) {
    nb::object text = nb::isinstance<nb::str>(item) ? nb::borrow(item) : nb::object(nb::str(item));
    return text.attr("strip")();
}

}  // namespace

nb::list parse_name_list(nb::handle raw_values) {
    nb::list out;
    if (raw_values.is_none())
        return out;
    nb::object items;
    if (nb::isinstance<nb::str>(raw_values)) {
        nb::object text = nb::borrow(raw_values);
        for (const char* sep : {"，", "；", ";", "\n"})
            text = text.attr("replace")(sep, ",");
        items = text.attr("split")(",");
    } else {
        // Bytes would iterate as small integers, never as names.
        if (PyBytes_Check(raw_values.ptr()) || PyByteArray_Check(raw_values.ptr()))
            vantorel::bridge::raise_type_error("raw_values", "str, iterable of str or None", raw_values);
        items = nb::steal(PyObject_GetIter(raw_values.ptr()));
        if (!items.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError))
                throw nb::python_error();
            PyErr_Clear();
            vantorel::bridge::raise_type_error("raw_values", "str, iterable of str or None", raw_values);
        }
    }
    for (nb::handle item : items) {
        nb::object name = strip(item);
        if (nb::len(name) > 0)
            out.append(name);
    }
    return out;
}

nb::list get_component_factor_names() {
    return parse_name_list(module().attr("COMPONENT_FACTOR_NAMES"));
}

std::string component_key(nb::handle name) {
    return nb::cast<std::string>(store_module().attr("component_dataset_key")(name));
}

nb::dict build_matrix_dtype(nb::handle component_names) {
    if (!component_names.is_none() && !nb::isinstance<nb::list>(component_names))
        vantorel::bridge::raise_type_error("component_names", "list", component_names);
    nb::dict out = nb::borrow<nb::dict>(module().attr("BASE_MATRIX_DTYPE").attr("copy")());
    nb::list names =
        component_names.is_none() ? get_component_factor_names() : parse_name_list(component_names);
    for (nb::handle name : names)
        out[nb::str(component_key(name).c_str())] = kFloatStorageDtype;
    return out;
}

nb::object series_to_yyyymmdd(nb::handle values) {
    const auto& l = vantorel::bridge::libs();
    if (vantorel::bridge::is_frame(values))
        vantorel::bridge::raise_type_error("values", "a sequence of dates", values);
    nb::object series = vantorel::bridge::is_series(values) ? nb::borrow(values) : l.Series(values);
    // Each distinct value is parsed on its own, so one column may mix spellings.
    const LabelColumn dates = read_label_column(series, LabelKind::Date);
    nb::list texts;
    for (const std::string& t : dates.texts)
        texts.append(nb::str(t.data(), t.size()));
    texts.append(l.np.attr("nan"));  // code -1 takes the last entry: a missing date
    nb::object table = l.np.attr("array")(texts, "dtype"_a = "object");
    nb::object cells = table.attr("take")(l.np.attr("asarray")(nb::cast(dates.codes), "dtype"_a = "int64"));
    return l.Series(cells, "index"_a = series.attr("index"), "name"_a = series.attr("name"));
}

void register_names(nb::module_& m) {
    m.def("parse_name_list", &parse_name_list, "raw_values"_a.none(),
          nb::sig("def parse_name_list(raw_values: str | typing.Iterable[object] | None) -> list[str]"),
          "Names from a text (split at commas, semicolons, full-width commas and semicolons and\n"
          "newlines) or from an iterable; each stripped, empty ones dropped, order and repeats kept.");
    m.def("get_component_factor_names", &get_component_factor_names,
          "A fresh list of the built-in index-membership factor names.");
    m.def("build_matrix_dtype", &build_matrix_dtype, "component_names"_a.none() = nb::none(),
          nb::sig("def build_matrix_dtype(component_names: list[str] | None = None) -> dict[str, str]"),
          "Dataset key -> storage dtype: the twelve base matrices, then one float64 key per component\n"
          "name (the built-in names when None).");
    m.def("series_to_yyyymmdd", &series_to_yyyymmdd, "values"_a.none(),
          nb::sig("def series_to_yyyymmdd(values: object) -> pandas.Series"),
          "Dates as YYYYMMDD texts; unparseable entries become missing. Integers and integral floats\n"
          "such as 20200102 are read as that date.");
}

}  // namespace vantorel::prepare
