// Row and column labels of another kind than the market's, re-expressed in the market's kind.
// The reading of one label follows the service's cleaning of user Frames (YYYYMMDD dates,
// six-digit codes), so that calling an engine directly matches the way the service calls it.
#include <cmath>

#include "bridge.hpp"
#include "vantorel/dates.hpp"

namespace vantorel::bridge {

using namespace nb::literals;

namespace {

enum class Kind { Text, Integer, Float, DateTime, Other };

Kind kind_of(nb::handle labels) {
    nb::object dtype = labels.attr("dtype");
    const std::string k = nb::cast<std::string>(dtype.attr("kind"));
    if (k == "M")
        return Kind::DateTime;
    if (k == "i" || k == "u")
        return Kind::Integer;
    if (k == "f")
        return Kind::Float;
    if (PyObject_IsInstance(dtype.ptr(), libs().pd.attr("StringDtype").ptr()) == 1)
        return Kind::Text;
    if (k != "O")
        return Kind::Other;
    // Object labels: pandas' inference, cached on the Index.
    const std::string t = nb::cast<std::string>(labels.attr("inferred_type"));
    if (t == "string")
        return Kind::Text;
    if (t == "integer")
        return Kind::Integer;
    if (t == "floating" || t == "mixed-integer-float")
        return Kind::Float;
    if (t == "datetime" || t == "datetime64" || t == "date")
        return Kind::DateTime;
    return Kind::Other;
}

std::optional<std::string> date_from_double(double number) {
    // An integral float such as 20200102.0 is that date, never a count of nanoseconds.
    if (!std::isfinite(number) || number != std::floor(number) || std::fabs(number) > 1e15)
        return std::nullopt;
    return date_from_integer(static_cast<std::int64_t>(number));
}

// One stock code as text: an integer such as 1 is "000001", text stays, anything else its str().
std::string code_text(nb::handle value) {
    PyObject* obj = value.ptr();
    if (PyUnicode_Check(obj))
        return nb::cast<std::string>(value);
    if (PyLong_Check(obj) && !PyBool_Check(obj)) {
        int overflow = 0;
        const long long code = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            std::string text = std::to_string(code);
            if (code >= 0 && text.size() < 6)
                text.insert(0, 6 - text.size(), '0');
            return text;
        }
    }
    return nb::cast<std::string>(nb::str(value));
}

bool all_digits(const std::string& s) {
    if (s.empty() || s.size() > 18)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

[[noreturn]] void raise_unreadable(const char* name, LabelAxis axis, const std::vector<std::string>& shown,
                                   std::size_t count) {
    const bool dates = axis == LabelAxis::Dates;
    std::string msg = std::string("Argument '") + name + "' has " + (dates ? "row" : "column") +
                      " labels of another kind than the market's " + (dates ? "dates" : "stock codes") +
                      " that cannot be read as " + (dates ? "dates" : "such codes") + " (" +
                      std::to_string(count) + " of them): ";
    for (std::size_t i = 0; i < shown.size(); ++i)
        msg += (i ? ", " : "") + shown[i];
    if (count > shown.size())
        msg += ", ...";
    throw nb::value_error(msg.c_str());
}

}  // namespace

std::optional<std::string> date_text(nb::handle value) {
    PyObject* obj = value.ptr();
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (text == nullptr)
            throw nb::python_error();
        return parse_date_text(std::string_view(text, static_cast<std::size_t>(size)));
    }
    if (PyBool_Check(obj))
        return std::nullopt;
    if (PyLong_Check(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        return overflow != 0 ? std::nullopt : date_from_integer(v);
    }
    if (PyFloat_Check(obj))
        return date_from_double(PyFloat_AS_DOUBLE(obj));
    const auto& l = libs();
    // NumPy counts a duration as an integer; it names no date.
    if (PyObject_IsInstance(obj, l.np.attr("timedelta64").ptr()) == 1)
        return std::nullopt;
    if (PyObject_IsInstance(obj, l.np.attr("integer").ptr()) == 1)
        return date_text(nb::int_(value));
    if (PyObject_IsInstance(obj, l.np.attr("floating").ptr()) == 1)
        return date_from_double(nb::cast<double>(nb::float_(value)));
    if (PyObject_IsInstance(obj, l.np.attr("datetime64").ptr()) == 1) {
        nb::object stamp;
        try {
            stamp = l.pd.attr("Timestamp")(value);
        } catch (nb::python_error& e) {
            // An instant beyond the frame library's range names no date either.
            if (e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError))
                return std::nullopt;
            throw;
        }
        return date_text(stamp);
    }
    if (nb::hasattr(value, "year") && nb::hasattr(value, "month") && nb::hasattr(value, "day")) {
        try {  // NaT has no usable fields
            const int y = nb::cast<int>(value.attr("year"));
            const int m = nb::cast<int>(value.attr("month"));
            const int d = nb::cast<int>(value.attr("day"));
            if (is_valid_date(y, m, d))
                return date_from_integer(static_cast<std::int64_t>(y) * 10000 + m * 100 + d);
        } catch (const nb::cast_error&) {
        } catch (const nb::python_error&) {
        }
    }
    return std::nullopt;
}

bool has_date_type(nb::handle value) {
    PyObject* obj = value.ptr();
    if (PyUnicode_Check(obj) || PyLong_Check(obj) || PyFloat_Check(obj))
        return true;
    const auto& l = libs();
    if (PyObject_IsInstance(obj, l.np.attr("timedelta64").ptr()) == 1)
        return false;
    for (const char* kind : {"integer", "floating", "datetime64"})
        if (PyObject_IsInstance(obj, l.np.attr(kind).ptr()) == 1)
            return true;
    return nb::hasattr(value, "year") && nb::hasattr(value, "month") && nb::hasattr(value, "day");
}

nb::object conform_labels(nb::handle labels, nb::handle reference, LabelAxis axis, const char* name) {
    // The usual case, labels of one bundle, costs nothing.
    if (labels.is(reference) || nb::len(labels) == 0 || nb::len(reference) == 0)
        return nb::borrow(labels);
    const Kind want = kind_of(reference);
    const Kind have = kind_of(labels);
    if (want == have || want == Kind::Other)
        return nb::borrow(labels);
    if (axis == LabelAxis::Codes && want != Kind::Text && want != Kind::Integer)
        return nb::borrow(labels);

    // Each label through its text form, then into the reference's kind.
    nb::list texts;
    std::vector<std::string> shown;
    std::size_t unreadable = 0;
    for (nb::handle v : labels.attr("tolist")()) {
        std::optional<std::string> t;
        if (axis == LabelAxis::Dates) {
            t = date_text(v);
        } else {
            t = code_text(v);
            if (want == Kind::Integer && !all_digits(*t))
                t.reset();
        }
        if (!t) {
            if (unreadable++ < 3)
                shown.push_back(nb::cast<std::string>(nb::repr(v)));
            continue;
        }
        texts.append(nb::str(t->data(), t->size()));
    }
    if (unreadable > 0)
        raise_unreadable(name, axis, shown, unreadable);

    const auto& l = libs();
    nb::object as_text =
        l.Index(texts, "dtype"_a = want == Kind::Text ? reference.attr("dtype") : nb::str("str"),
                "name"_a = labels.attr("name"));
    switch (want) {
        case Kind::Text:
            return as_text;
        case Kind::Integer:
            return as_text.attr("astype")("int64");
        case Kind::Float:
            return as_text.attr("astype")("float64");
        case Kind::DateTime: {
            nb::object out = l.pd.attr("to_datetime")(as_text, "format"_a = "%Y%m%d");
            nb::object tz = nb::getattr(reference, "tz", nb::none());
            if (!tz.is_none())
                out = out.attr("tz_localize")(tz);
            return out;
        }
        default:
            return nb::borrow(labels);
    }
}

void conform_frame(Frame& f, nb::handle dates, nb::handle codes, const char* name) {
    nb::object rows = conform_labels(f.index, dates, LabelAxis::Dates, name);
    if (!rows.is(f.index)) {
        require_unique(rows, name, "row");  // 20200102 and "20200102" are one date
        f.index = rows;
    }
    nb::object cols = conform_labels(f.columns, codes, LabelAxis::Codes, name);
    if (!cols.is(f.columns)) {
        require_unique(cols, name, "column");
        f.columns = cols;
    }
}

nb::object benchmark_dict_arg(nb::handle benchmark_dict, nb::handle dates) {
    if (benchmark_dict.is_none())
        return nb::none();
    if (!PyDict_Check(benchmark_dict.ptr()))
        raise_type_error("benchmark_dict", "dict", benchmark_dict);
    nb::dict out;
    for (auto [key, value] : nb::borrow<nb::dict>(benchmark_dict)) {
        const std::string label = "benchmark_dict[" + nb::cast<std::string>(nb::repr(key)) + "]";
        nb::object series = nb::borrow(value);
        // A one-column Frame is its column, as a Series.
        if (is_frame(value) && nb::len(nb::object(value.attr("columns"))) == 1)
            series = value.attr("iloc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
        if (!is_series(series))
            raise_type_error(label.c_str(), "Series or one-column DataFrame", value);
        require_numbers(series, label.c_str());
        nb::object index = series.attr("index");
        require_unique(index, label.c_str(), "row");
        nb::object conformed = conform_labels(index, dates, LabelAxis::Dates, label.c_str());
        if (!conformed.is(index)) {
            require_unique(conformed, label.c_str(), "row");
            series = series.attr("set_axis")(conformed);
        }
        out[key] = series;
    }
    return out;
}

}  // namespace vantorel::bridge
