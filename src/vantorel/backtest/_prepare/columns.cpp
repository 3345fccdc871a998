// Label and number columns of query tables, read once into codes and contiguous values.
//
// A query table may hold millions of records but only thousands of distinct stock codes, dates
// and factor names. Each label column is first split into codes by the identity of its cells
// (object pointers or raw 64-bit values) in the engine; only the distinct cells are then turned
// into text here, and texts that come out equal share one code.
#include <nanobind/stl/vector.h>

#include <cmath>
#include <limits>
#include <unordered_map>

#include "builder.hpp"
#include "vantorel/dates.hpp"
#include "vantorel/factorize.hpp"

namespace vantorel::prepare {

using namespace nb::literals;
using bridge::libs;

namespace {

bool instance_of(nb::handle obj, nb::handle type) {
    const int r = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool is_missing(nb::handle v) {
    PyObject* o = v.ptr();
    if (PyUnicode_Check(o))
        return false;
    if (o == Py_None)
        return true;
    if (PyFloat_Check(o))
        return std::isnan(PyFloat_AS_DOUBLE(o));
    if (PyLong_Check(o))
        return false;
    const auto& l = libs();
    if (!bridge::truthy(l.pd.attr("api").attr("types").attr("is_scalar")(v)))
        return false;
    return bridge::truthy(l.pd.attr("isna")(v));
}

nb::object text_form(nb::handle v) {
    return PyUnicode_Check(v.ptr()) ? nb::borrow(v) : nb::object(nb::str(v));
}

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (p == nullptr)
        throw nb::python_error();
    return std::string(p, static_cast<std::size_t>(size));
}

// The general reader of the frame library, for the text shapes and types the bridge does not read.
std::optional<std::string> date_by_library(nb::handle v) {
    try {
        nb::object ts = libs().pd.attr("to_datetime")(v, "errors"_a = "coerce");
        if (is_missing(ts))
            return std::nullopt;
        return bridge::date_text(ts);
    } catch (nb::python_error& e) {
        // Values the library cannot even coerce (lists, odd objects) name no date.
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError))
            return std::nullopt;
        throw;
    }
}

std::optional<std::string> label_of(nb::handle v, LabelKind kind) {
    if (kind == LabelKind::Date)
        return date_text(v);
    if (is_missing(v))
        return std::nullopt;
    nb::object text = text_form(v);
    if (kind == LabelKind::StockCode)
        text = nb::steal(PyUnicode_Substring(text.ptr(), 0, 6));
    if (!text.is_valid())
        throw nb::python_error();
    return utf8(text);
}

// Units of a datetime64 dtype per day; 0 when it has no fixed length (months, years).
std::int64_t units_per_day(nb::handle dtype) {
    nb::tuple data = nb::borrow<nb::tuple>(libs().np.attr("datetime_data")(dtype));
    const std::string unit = nb::cast<std::string>(data[0]);
    const auto count = nb::cast<std::int64_t>(data[1]);
    std::int64_t per_day = 0;
    if (unit == "D")
        per_day = 1;
    else if (unit == "h")
        per_day = 24;
    else if (unit == "m")
        per_day = 24 * 60;
    else if (unit == "s")
        per_day = 86400;
    else if (unit == "ms")
        per_day = 86400LL * 1000;
    else if (unit == "us")
        per_day = 86400LL * 1000 * 1000;
    else if (unit == "ns")
        per_day = 86400LL * 1000 * 1000 * 1000;
    return count > 0 && per_day % count == 0 ? per_day / count : 0;
}

// Codes by text: equal texts (after conversion) share one code.
class TextCodes {
public:
    std::int32_t code_of(std::optional<std::string>&& text) {
        if (!text)
            return -1;
        auto [it, inserted] = index_.try_emplace(*text, static_cast<std::int32_t>(texts_.size()));
        if (inserted)
            texts_.push_back(std::move(*text));
        return it->second;
    }
    std::vector<std::string> take() { return std::move(texts_); }

private:
    std::unordered_map<std::string, std::int32_t> index_;
    std::vector<std::string> texts_;
};

// The library's own factorisation (by value), for dtypes without a plain 64-bit layout.
LabelColumn by_library(nb::handle series, LabelKind kind) {
    nb::tuple pair = nb::borrow<nb::tuple>(libs().pd.attr("factorize")(series));
    nb::object codes64 = libs().np.attr("ascontiguousarray")(pair[0], "dtype"_a = "int64");
    const bridge::ArrayLayout a = bridge::layout_of(codes64);
    const auto* p = static_cast<const std::int64_t*>(a.data);
    LabelColumn out;
    out.codes.assign(p, p + a.shape[0]);
    TextCodes texts;
    std::vector<std::int32_t> table;
    for (nb::handle v : nb::object(pair[1]))
        table.push_back(texts.code_of(label_of(v, kind)));
    remap_codes(out.codes, table);
    out.texts = texts.take();
    return out;
}

}  // namespace

std::optional<std::string> date_text(nb::handle v) {
    // The bridge's one reading of a date first (numbers such as 20200102 are dates written as
    // numbers, never counts since 1970). Query tables may also spell dates in any way the frame
    // library reads: text of other shapes, and values of types no date is given as, go to it.
    if (auto out = bridge::date_text(v))
        return out;
    PyObject* o = v.ptr();
    if (PyUnicode_Check(o))
        return has_date_shape(utf8(v)) ? std::nullopt : date_by_library(v);
    if (o == Py_None || PyBool_Check(o) || instance_of(v, libs().np.attr("bool_")) ||
        bridge::has_date_type(v) || is_missing(v))
        return std::nullopt;
    return date_by_library(v);
}

LabelColumn read_label_column(nb::handle series, LabelKind kind) {
    const auto& l = libs();
    nb::object dtype = series.attr("dtype");
    const bool numpy_dtype = instance_of(dtype, l.np.attr("dtype"));
    const bool python_text = !numpy_dtype && instance_of(dtype, l.pd.attr("StringDtype")) &&
                             nb::cast<std::string>(nb::str(dtype.attr("storage"))) == "python";
    if (!numpy_dtype && !python_text)
        return by_library(series, kind);
    nb::object arr = series.attr("to_numpy")();
    const std::string dkind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    if (nb::cast<int>(arr.attr("dtype").attr("itemsize")) != 8 ||
        dkind.find_first_of("OiufMm") == std::string::npos)
        return by_library(series, kind);

    const bridge::ArrayLayout a = bridge::layout_of(arr);
    const Index n = a.shape[0];
    Codes codes;
    {
        nb::gil_scoped_release release;  // reads the array's words only; `arr` keeps it alive
        codes = factorize_words(static_cast<const std::uint64_t*>(a.data), n, a.strides[0]);
    }
    const auto distinct = static_cast<Index>(codes.first.size());
    // Cells that are separate objects of equal value would each be converted: hash by value.
    if (dkind == "O" && distinct > 4096 && distinct * 4 > n)
        return by_library(series, kind);

    TextCodes texts;
    std::vector<std::int32_t> table;
    table.reserve(codes.first.size());
    if (dkind == "M" && kind == LabelKind::Date && units_per_day(arr.attr("dtype")) > 0) {
        const std::int64_t per_day = units_per_day(arr.attr("dtype"));
        const auto* words = static_cast<const std::int64_t*>(a.data);
        for (Index row : codes.first) {
            const std::int64_t w = words[row * a.strides[0]];
            table.push_back(w == std::numeric_limits<std::int64_t>::min()
                                ? -1  // NaT
                                : texts.code_of(date_from_epoch(w, per_day)));
        }
    } else {
        nb::object positions = l.np.attr("asarray")(nb::cast(codes.first), "dtype"_a = "int64");
        nb::object firsts = arr.attr("take")(positions);
        // Plain Python values: Timestamps for datetime64 cells, the objects themselves otherwise.
        nb::object values = dkind == "O" ? firsts : l.Series(firsts, "copy"_a = false).attr("tolist")();
        for (nb::handle v : values)
            table.push_back(texts.code_of(label_of(v, kind)));
    }
    {
        nb::gil_scoped_release release;  // integer work on vectors owned here
        remap_codes(codes.codes, table);
    }
    LabelColumn out;
    out.codes = std::move(codes.codes);
    out.texts = texts.take();
    return out;
}

NumberColumn read_number_column(nb::handle series) {
    const auto& l = libs();
    nb::object dtype = series.attr("dtype");
    const bool float64 = instance_of(dtype, l.np.attr("dtype")) &&
                         nb::cast<std::string>(dtype.attr("kind")) == "f" &&
                         nb::cast<int>(dtype.attr("itemsize")) == 8;
    nb::object arr;
    if (float64) {
        arr = series.attr("to_numpy")();
    } else {
        nb::object numbers = l.pd.attr("to_numeric")(series, "errors"_a = "coerce");
        arr = numbers.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = l.np.attr("nan"));
    }
    const bridge::ArrayLayout a = bridge::layout_of(arr);
    NumberColumn out;
    out.owner = arr;
    out.data = static_cast<const double*>(a.data);
    out.size = a.shape[0];
    out.stride = a.strides[0];
    return out;
}

std::optional<std::string> first_column(nb::handle df, std::initializer_list<const char*> spellings) {
    nb::object columns = df.attr("columns");
    for (const char* s : spellings)
        if (bridge::truthy(columns.attr("__contains__")(s)))
            return std::string(s);
    return std::nullopt;
}

nb::object table_column(nb::handle df, nb::handle label) {
    nb::object col = df[label];
    if (bridge::is_frame(col))
        col = col.attr("iloc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
    return col;
}

nb::object table_column(nb::handle df, const std::string& label) {
    return table_column(df, nb::str(label.data(), label.size()));
}

void raise_key_error(const std::string& message) {
    PyErr_SetObject(PyExc_KeyError, nb::str(message.data(), message.size()).ptr());
    throw nb::python_error();
}

nb::object text_index(const std::vector<std::string>& texts, const std::vector<std::int32_t>& codes) {
    nb::list items;
    for (std::int32_t c : codes) {
        const std::string& t = texts[static_cast<std::size_t>(c)];
        items.append(nb::str(t.data(), t.size()));
    }
    return libs().Index(items, "dtype"_a = "str");
}

}  // namespace vantorel::prepare
