#include "bridge.hpp"

namespace vantorel::bridge {

using namespace nb::literals;

namespace {

template <class T>
nb::object numpy_owning(std::vector<T>&& values, std::initializer_list<std::size_t> shape) {
    auto* holder = new std::vector<T>(std::move(values));
    nb::capsule owner(holder, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(holder->data(), shape.size(), shape.begin(), owner).cast();
}

}  // namespace

nb::object numpy_vector(std::vector<double>&& values) {
    const std::size_t n = values.size();
    return numpy_owning(std::move(values), {n});
}

nb::object numpy_matrix(std::vector<double>&& values, Index rows, Index cols) {
    return numpy_owning(std::move(values), {static_cast<std::size_t>(rows), static_cast<std::size_t>(cols)});
}

nb::object numpy_bool_matrix(std::vector<std::uint8_t>&& values, Index rows, Index cols) {
    auto* holder = new std::vector<std::uint8_t>(std::move(values));
    nb::capsule owner(holder, [](void* p) noexcept { delete static_cast<std::vector<std::uint8_t>*>(p); });
    const std::size_t shape[2] = {static_cast<std::size_t>(rows), static_cast<std::size_t>(cols)};
    return nb::ndarray<nb::numpy, bool>(reinterpret_cast<bool*>(holder->data()), 2, shape, owner).cast();
}

nb::object make_series(std::vector<double>&& values, nb::handle index, nb::handle name) {
    return libs().Series(numpy_vector(std::move(values)), "index"_a = index, "name"_a = name,
                         "copy"_a = false);
}

nb::object make_frame(std::vector<double>&& values, Index rows, Index cols, nb::handle index,
                      nb::handle columns) {
    return libs().DataFrame(numpy_matrix(std::move(values), rows, cols), "index"_a = index,
                            "columns"_a = columns, "copy"_a = false);
}

nb::object empty_float_series() {
    return libs().Series("dtype"_a = "float64");
}

nb::object result_dataclass(const char* name, const char* module, const char* doc,
                            std::initializer_list<const char*> fields) {
    nb::list names;
    for (const char* f : fields)
        names.append(nb::str(f));
    nb::object type = nb::module_::import_("dataclasses").attr("make_dataclass")(name, names);
    type.attr("__module__") = module;
    type.attr("__doc__") = doc;
    return type;
}

}  // namespace vantorel::bridge
