#include "bridge.hpp"

namespace vantorel::bridge {

using namespace nb::literals;

namespace {

std::string label_repr(nb::handle obj) {
    return nb::cast<std::string>(nb::repr(obj));
}

constexpr const char* kNumberKinds = "float64, int or bool";

[[noreturn]] void raise_dtype_error(const char* name, const std::string& got,
                                    const std::string& detail = {}) {
    std::string msg = std::string("Argument '") + name + "' has incorrect dtype (expected " + kNumberKinds +
                      ", got " + got + ")";
    if (!detail.empty())
        msg += ": " + detail;
    throw nb::type_error(msg.c_str());
}

// Real numbers and booleans (NumPy's or pandas' nullable ones) convert to float64 as they are;
// object and categorical columns are tried cell by cell; text, dates, durations and complex
// numbers are refused rather than read as some other number.
bool refused_dtype(nb::handle dtype) {
    const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    if (kind == "f" || kind == "i" || kind == "u" || kind == "b")
        return false;
    return kind != "O" || PyObject_IsInstance(dtype.ptr(), libs().pd.attr("StringDtype").ptr()) == 1;
}

// TypeError naming the argument and the refused dtypes of a Series or Frame (one check per
// distinct dtype, not per column). Returns the names of the dtypes read cell by cell.
std::string check_dtypes(nb::handle pandas_object, const char* name) {
    nb::object dtypes = is_frame(pandas_object) ? pandas_object.attr("dtypes").attr("unique")()
                                                : nb::object(nb::make_tuple(pandas_object.attr("dtype")));
    std::string refused, cell_wise;
    for (nb::handle dtype : dtypes) {
        const std::string text = nb::cast<std::string>(nb::str(dtype));
        if (refused_dtype(dtype))
            refused += (refused.empty() ? "" : ", ") + text;
        else if (nb::cast<std::string>(dtype.attr("kind")) == "O")
            cell_wise += (cell_wise.empty() ? "" : ", ") + text;
    }
    if (!refused.empty())
        raise_dtype_error(name, refused);
    return cell_wise;
}

// Numbers with NaN for missing values, as float64; a Frame or Series of any other dtype, or with
// object cells that are not numbers, raises TypeError naming the argument.
nb::object as_float64(nb::handle pandas_object, const char* name) {
    const bool pandas = is_frame(pandas_object) || is_series(pandas_object);
    const std::string cell_wise = pandas ? check_dtypes(pandas_object, name) : std::string();
    try {
        if (pandas)
            return pandas_object.attr("to_numpy")("dtype"_a = "float64",
                                                  "na_value"_a = libs().np.attr("nan"));
        return libs().np.attr("asarray")(pandas_object, "dtype"_a = "float64");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        if (pandas)
            raise_dtype_error(name, cell_wise.empty() ? "object" : cell_wise, error_text(e));
        const std::string msg =
            std::string("Argument '") + name + "' holds values that are not numbers: " + error_text(e);
        throw nb::value_error(msg.c_str());
    }
}

// A 2-D array the engine can view: element strides (a record field's view may step by a
// non-multiple of the item size; such an array is copied).
nb::object viewable(nb::handle array) {
    nb::object strides = array.attr("strides");
    const auto itemsize = nb::cast<Index>(array.attr("itemsize"));
    for (nb::handle st : strides)
        if (nb::cast<Index>(st) % itemsize != 0)
            return libs().np.attr("ascontiguousarray")(array);
    return nb::borrow(array);
}

MatrixView view_of(nb::handle array, ElementKind kind) {
    const ArrayLayout a = layout_of(array);
    if (a.shape.size() != 2)
        throw nb::value_error("a Frame's data must be two-dimensional");
    MatrixView v;
    v.data = a.data;
    v.kind = kind;
    v.rows = a.shape[0];
    v.cols = a.shape[1];
    v.row_stride = a.strides[0];
    v.col_stride = a.strides[1];
    return v;
}

}  // namespace

ArrayLayout layout_of(nb::handle array) {
    nb::dict iface = nb::borrow<nb::dict>(array.attr("__array_interface__"));
    ArrayLayout out;
    out.data =
        reinterpret_cast<const void*>(nb::cast<std::uintptr_t>(nb::borrow<nb::tuple>(iface["data"])[0]));
    const auto itemsize = nb::cast<Index>(array.attr("itemsize"));
    for (nb::handle d : nb::borrow<nb::tuple>(iface["shape"]))
        out.shape.push_back(nb::cast<Index>(d));
    nb::object strides = iface.contains("strides") ? nb::object(iface["strides"]) : nb::none();
    if (strides.is_none()) {  // C-contiguous
        Index step = 1;
        out.strides.assign(out.shape.size(), 1);
        for (std::size_t d = out.shape.size(); d-- > 0;) {
            out.strides[d] = step;
            step *= out.shape[d] > 0 ? out.shape[d] : 1;
        }
    } else {
        for (nb::handle st : nb::borrow<nb::tuple>(strides))
            out.strides.push_back(nb::cast<Index>(st) / itemsize);
    }
    return out;
}

const Libraries& libs() {
    // Leaked on purpose: module objects must outlive every static destructor.
    static const Libraries* l = [] {
        auto* out = new Libraries;
        out->np = nb::module_::import_("numpy");
        out->pd = nb::module_::import_("pandas");
        out->DataFrame = out->pd.attr("DataFrame");
        out->Series = out->pd.attr("Series");
        out->Index = out->pd.attr("Index");
        return out;
    }();
    return *l;
}

bool is_frame(nb::handle obj) {
    return PyObject_IsInstance(obj.ptr(), libs().DataFrame.ptr()) == 1;
}
bool is_series(nb::handle obj) {
    return PyObject_IsInstance(obj.ptr(), libs().Series.ptr()) == 1;
}

void require_unique(nb::handle index, const char* name, const char* axis) {
    if (truthy(index.attr("is_unique")))
        return;
    nb::object dup = index[index.attr("duplicated")()][0];
    const std::string msg =
        std::string("Argument '") + name + "' has a duplicate " + axis + " label " + label_repr(dup);
    throw nb::value_error(msg.c_str());
}

Frame frame_arg(nb::handle obj, const char* name) {
    if (!is_frame(obj))
        raise_type_error(name, "DataFrame", obj);
    Frame f;
    f.frame = nb::borrow(obj);
    f.index = obj.attr("index");
    f.columns = obj.attr("columns");
    require_unique(f.index, name, "row");
    require_unique(f.columns, name, "column");

    nb::object array = obj.attr("to_numpy")();
    const std::string kind = nb::cast<std::string>(array.attr("dtype").attr("kind"));
    const auto itemsize = nb::cast<int>(array.attr("dtype").attr("itemsize"));
    if (kind == "f" && itemsize == 8) {
        f.array = viewable(array);
        f.view = view_of(f.array, ElementKind::Float64);
    } else if (kind == "b") {
        f.array = viewable(array);
        f.view = view_of(f.array, ElementKind::Bool);
    } else {
        f.array = viewable(as_float64(obj, name));
        f.view = view_of(f.array, ElementKind::Float64);
    }
    // The label maps index the viewed buffer: its shape must be the labels' (a Frame subclass
    // could say otherwise).
    if (f.view.rows != static_cast<Index>(nb::len(f.index)) ||
        f.view.cols != static_cast<Index>(nb::len(f.columns))) {
        const std::string msg =
            std::string("Argument '") + name + "' has data of another shape than its labels";
        throw nb::value_error(msg.c_str());
    }
    return f;
}

void require_numbers(nb::handle pandas_object, const char* name) {
    (void)check_dtypes(pandas_object, name);
}

IndexMap label_map(nb::handle source_labels, nb::handle target_labels) {
    // Identical labels (the usual case for Frames of one data bundle) need no hashing.
    if (source_labels.is(target_labels) || (nb::len(source_labels) == nb::len(target_labels) &&
                                            truthy(source_labels.attr("equals")(target_labels))))
        return identity_map(static_cast<Index>(nb::len(source_labels)));
    IndexMap out;
    nb::object indexer = source_labels.attr("get_indexer")(target_labels);
    nb::object as_int64 = libs().np.attr("ascontiguousarray")(indexer, "dtype"_a = "int64");
    const ArrayLayout a = layout_of(as_int64);
    const auto* p = static_cast<const std::int64_t*>(a.data);
    out.assign(p, p + a.shape[0]);
    return out;
}

std::vector<std::uint8_t> bool_values(nb::handle obj, const char* name, Index expected) {
    nb::object arr = libs().np.attr("ascontiguousarray")(obj, "dtype"_a = "bool");
    const ArrayLayout a = layout_of(arr.attr("ravel")());
    const auto* p = static_cast<const std::uint8_t*>(a.data);
    if (a.shape[0] != expected) {
        const std::string msg = std::string("Argument '") + name + "' gives " + std::to_string(a.shape[0]) +
                                " truth values where " + std::to_string(expected) + " were expected";
        throw nb::value_error(msg.c_str());
    }
    return std::vector<std::uint8_t>(p, p + a.shape[0]);
}

std::vector<double> float_values(nb::handle obj, const char* name) {
    nb::object arr = libs().np.attr("ascontiguousarray")(as_float64(obj, name));
    const ArrayLayout a = layout_of(arr.attr("ravel")());
    const auto* p = static_cast<const double*>(a.data);
    return std::vector<double>(p, p + a.shape[0]);
}

std::vector<double> float_values(nb::handle obj, const char* name, Index expected) {
    std::vector<double> out = float_values(obj, name);
    if (static_cast<Index>(out.size()) != expected) {
        const std::string msg = std::string("Argument '") + name + "' has " + std::to_string(out.size()) +
                                " values where " + std::to_string(expected) + " were expected";
        throw nb::value_error(msg.c_str());
    }
    return out;
}

nb::object take(nb::handle index, const IndexMap& pos) {
    std::vector<std::int64_t> p(pos.begin(), pos.end());
    const std::size_t n = p.size();
    auto* data = new std::int64_t[n];
    std::copy(p.begin(), p.end(), data);
    nb::capsule owner(data, [](void* d) noexcept { delete[] static_cast<std::int64_t*>(d); });
    nb::object arr = nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>>(data, {n}, owner).cast();
    return index.attr("take")(arr);
}

}  // namespace vantorel::bridge
