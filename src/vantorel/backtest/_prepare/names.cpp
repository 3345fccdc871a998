// Name lists, the dataset-key -> dtype map and date-series formatting.
#include "prepare.hpp"

namespace vantorel::prepare {

using namespace nb::literals;

namespace {

nb::object strip(nb::handle item) {
    nb::object text = nb::isinstance<nb::str>(item) ? nb::borrow(item) : nb::object(nb::str(item));
    return text.attr("strip")();
}

// Parsed date-times of a series. Integers and integral floats such as 20200102 (and texts of
// them) are dates written as numbers, never counts of nanoseconds since 1970.
nb::object parse_dates(nb::object series) {
    const auto& l = vantorel::bridge::libs();
    nb::object to_datetime = l.pd.attr("to_datetime");
    if (vantorel::bridge::truthy(l.pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(series)))
        return to_datetime(series, "errors"_a = "coerce");
    nb::object numbers = l.pd.attr("to_numeric")(series, "errors"_a = "coerce");
    nb::object integral = numbers.attr("notna")() & numbers.attr("__mod__")(1).attr("__eq__")(0);
    nb::object in_range = numbers.attr("__ge__")(10000101) & numbers.attr("__le__")(99991231);
    nb::object as_date = integral & in_range;
    nb::object is_number = numbers.attr("notna")();
    if (!vantorel::bridge::truthy(is_number.attr("any")()))
        return to_datetime(series, "errors"_a = "coerce");
    // Other numbers name no date; only texts and date objects are parsed as such.
    nb::object rest = to_datetime(series.attr("where")(~is_number), "errors"_a = "coerce");
    nb::object texts = numbers.attr("where")(as_date).attr("astype")("Int64").attr("astype")("string");
    nb::object dated = to_datetime(texts, "format"_a = "%Y%m%d", "errors"_a = "coerce");
    return rest.attr("where")(~as_date, dated);
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
        items = nb::borrow(raw_values);
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
    nb::list names = component_names.is_none() ? get_component_factor_names() : parse_name_list(component_names);
    for (nb::handle name : names)
        out[nb::str(component_key(name).c_str())] = kFloatStorageDtype;
    return out;
}

nb::object series_to_yyyymmdd(nb::handle values) {
    const auto& l = vantorel::bridge::libs();
    nb::object series = vantorel::bridge::is_series(values) ? nb::borrow(values) : l.Series(values);
    return parse_dates(series).attr("dt").attr("strftime")("%Y%m%d");
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
