#include "bridge.hpp"

namespace vantorel::bridge {

using namespace nb::literals;

namespace {

std::string label_repr(nb::handle obj) {
    return nb::cast<std::string>(nb::repr(obj));
}

// Numbers with NaN for missing values, as float64; strings and other objects cannot be read and
// raise ValueError naming the argument.
nb::object as_float64(nb::handle pandas_object, const char* name) {
    try {
        if (is_frame(pandas_object) || is_series(pandas_object))
            return pandas_object.attr("to_numpy")("dtype"_a = "float64",
                                                  "na_value"_a = libs().np.attr("nan"));
        return libs().np.attr("asarray")(pandas_object, "dtype"_a = "float64");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        const std::string msg =
            std::string("Argument '") + name + "' holds values that are not numbers: " + e.what();
        throw nb::value_error(msg.c_str());
    }
}

MatrixView view_of(nb::handle array, ElementKind kind) {
    const ArrayLayout a = layout_of(array);
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
    if (nb::cast<bool>(index.attr("is_unique")))
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
        f.array = array;
        f.view = view_of(array, ElementKind::Float64);
    } else if (kind == "b") {
        f.array = array;
        f.view = view_of(array, ElementKind::Bool);
    } else {
        f.array = as_float64(obj, name);
        f.view = view_of(f.array, ElementKind::Float64);
    }
    return f;
}

IndexMap label_map(nb::handle source_labels, nb::handle target_labels) {
    // Identical labels (the usual case for Frames of one data bundle) need no hashing.
    if (source_labels.is(target_labels) || (nb::len(source_labels) == nb::len(target_labels) &&
                                            nb::cast<bool>(source_labels.attr("equals")(target_labels))))
        return identity_map(static_cast<Index>(nb::len(source_labels)));
    IndexMap out;
    nb::object indexer = source_labels.attr("get_indexer")(target_labels);
    nb::object as_int64 = libs().np.attr("ascontiguousarray")(indexer, "dtype"_a = "int64");
    const ArrayLayout a = layout_of(as_int64);
    const auto* p = static_cast<const std::int64_t*>(a.data);
    out.assign(p, p + a.shape[0]);
    return out;
}

std::vector<std::uint8_t> bool_values(nb::handle obj) {
    nb::object arr = libs().np.attr("ascontiguousarray")(obj, "dtype"_a = "bool");
    const ArrayLayout a = layout_of(arr.attr("ravel")());
    const auto* p = static_cast<const std::uint8_t*>(a.data);
    return std::vector<std::uint8_t>(p, p + a.shape[0]);
}

std::vector<double> float_values(nb::handle obj, const char* name) {
    nb::object arr = libs().np.attr("ascontiguousarray")(as_float64(obj, name));
    const ArrayLayout a = layout_of(arr.attr("ravel")());
    const auto* p = static_cast<const double*>(a.data);
    return std::vector<double>(p, p + a.shape[0]);
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
