// Date and stock-code labels, dataset keys of component matrices, and the cleaning of input Frames.
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_set>

#include "internal.hpp"
#include "vantorel/dates.hpp"

namespace vantorel::store {

using namespace nb::literals;

namespace {

std::string repr_text(nb::handle value) {
    return nb::cast<std::string>(nb::repr(value));
}

[[noreturn]] void unreadable_date(nb::handle value) {
    const std::string msg = "无法识别的日期: " + repr_text(value);
    throw nb::value_error(msg.c_str());
}

// `label` true: a value found among the labels of an Index, where any value that is no date is a
// bad value rather than a wrong argument type.
std::string date_of(nb::handle value, bool label) {
    if (auto out = bridge::date_text(value))
        return *out;
    if (label || PyBool_Check(value.ptr()) || bridge::has_date_type(value))
        unreadable_date(value);
    bridge::raise_type_error("value", "str or int", value);
}

}  // namespace

std::string normalize_date(nb::handle value) {
    return date_of(value, false);
}

std::vector<std::string> date_labels(nb::handle index) {
    // tolist() gives Python ints, strings and Timestamps, which normalize_date reads one by one.
    nb::object values = index.attr("tolist")();
    std::vector<std::string> out;
    out.reserve(nb::len(values));
    for (nb::handle v : values)
        out.push_back(date_of(v, true));
    return out;
}

std::vector<std::string> code_labels(nb::handle columns) {
    std::vector<std::string> out;
    nb::object values = columns.attr("tolist")();
    out.reserve(nb::len(values));
    for (nb::handle v : values) {
        PyObject* obj = v.ptr();
        if (PyUnicode_Check(obj)) {
            out.push_back(nb::cast<std::string>(v));
        } else if (PyLong_Check(obj) && !PyBool_Check(obj)) {
            // An integer code such as 1 is the six-character code "000001"; one too large for 64
            // bits is no code either, and keeps its decimal text like any other odd label.
            int overflow = 0;
            const long long code = PyLong_AsLongLongAndOverflow(obj, &overflow);
            std::string text = overflow != 0 ? nb::cast<std::string>(nb::str(v)) : std::to_string(code);
            if (overflow == 0 && code >= 0 && text.size() < 6)
                text.insert(0, 6 - text.size(), '0');
            out.push_back(std::move(text));
        } else {
            out.push_back(nb::cast<std::string>(nb::str(v)));
        }
    }
    return out;
}

nb::list to_list(const std::vector<std::string>& texts) {
    nb::list out;
    for (const std::string& t : texts)
        out.append(nb::str(t.data(), t.size()));
    return out;
}

std::vector<std::string> from_list(nb::handle list) {
    std::vector<std::string> out;
    out.reserve(nb::len(list));
    for (nb::handle v : list)
        out.push_back(nb::cast<std::string>(v));
    return out;
}

std::string component_key(const std::string& name) {
    std::string key = "component__";
    key.reserve(key.size() + name.size());
    // Only ASCII letters are lowered, whatever the process locale: keys already in stored files
    // were made this way, and a locale-dependent tolower could rewrite the bytes of UTF-8 text.
    for (char c : name) {
        if (c == '.')
            c = '_';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        key.push_back(c);
    }
    return key;
}

nb::object clean_matrix(nb::handle frame) {
    if (!bridge::is_frame(frame))
        bridge::raise_type_error("frame", "pandas.DataFrame", frame);
    const auto& l = bridge::libs();
    const std::vector<std::string> dates = date_labels(frame.attr("index"));
    const std::vector<std::string> codes = code_labels(frame.attr("columns"));

    std::unordered_set<std::string> seen;
    for (const std::string& c : codes)
        if (!seen.insert(c).second) {
            const std::string msg = "股票代码重复: '" + c + "'";
            throw nb::value_error(msg.c_str());
        }
    std::vector<Index> order(dates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](Index a, Index b) { return dates[a] < dates[b]; });
    bool sorted = true;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i > 0 && dates[order[i]] == dates[order[i - 1]]) {
            const std::string msg = "日期标签重复: '" + dates[order[i]] + "'";
            throw nb::value_error(msg.c_str());
        }
        sorted = sorted && order[i] == static_cast<Index>(i);
    }

    // Float64 or boolean data pass through without a copy; anything else becomes float64.
    nb::object dtypes = frame.attr("dtypes");
    const bool all_float =
        vantorel::bridge::truthy(dtypes.attr("__eq__")(l.np.attr("float64")).attr("all")());
    const bool all_bool = vantorel::bridge::truthy(dtypes.attr("__eq__")(l.np.attr("bool_")).attr("all")());
    nb::object index = l.Index(to_list(dates), "dtype"_a = "str");
    nb::object columns = l.Index(to_list(codes), "dtype"_a = "str");
    nb::object out;
    if (all_float || all_bool) {
        out = frame.attr("copy")("deep"_a = false);
    } else {
        const bridge::Frame f = bridge::frame_arg(frame, "frame");
        out = l.DataFrame(f.array, "copy"_a = false);
    }
    out.attr("index") = index;
    out.attr("columns") = columns;
    if (!sorted) {
        nb::object positions = l.np.attr("asarray")(nb::cast(order), "dtype"_a = "int64");
        out = out.attr("iloc")[positions];
    }
    return out;
}

void register_labels(nb::module_& m) {
    m.def(
        "normalize_yyyymmdd", [](nb::handle value) { return normalize_date(value); }, "value"_a.none(),
        nb::sig("def normalize_yyyymmdd(value: str | int) -> str"),
        "A date as YYYYMMDD text.\n\n"
        "Accepts \"YYYYMMDD\", \"YYYY-MM-DD\" or \"YYYY/MM/DD\" text (a time of day after it is\n"
        "ignored), an integer or integral float such as 20200102, and date, datetime, Timestamp or\n"
        "datetime64 values. A value that names no existing date raises ValueError quoting it.");
    m.def(
        "component_dataset_key", [](nb::handle name) { return component_key(bridge::str_arg(name, "name")); },
        "name"_a.none(), nb::sig("def component_dataset_key(name: str) -> str"),
        "Dataset key of an index-membership factor: \"component__\" + the name in lower case with\n"
        "\".\" replaced by \"_\".");
    m.def("clean_matrix", &clean_matrix, "frame"_a.none(),
          nb::sig("def clean_matrix(frame: pandas.DataFrame) -> pandas.DataFrame"),
          "A normalised copy of a date x stock Frame; the input is not modified.\n\n"
          "Row labels become YYYYMMDD texts (any form normalize_yyyymmdd reads) in ascending order;\n"
          "column labels become texts (integers as six-digit codes); float64 and boolean data are\n"
          "kept without a copy, other numbers become float64. Unreadable dates, repeated dates or\n"
          "codes and non-numeric cells raise ValueError.");
}

}  // namespace vantorel::store
