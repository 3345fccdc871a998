#include <cmath>

#include "bridge.hpp"

namespace vantorel::bridge {

namespace {

std::string type_name_of(nb::handle obj) {
    return nb::cast<std::string>(
        nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

}  // namespace

void raise_type_error(const char* name, const char* expected, nb::handle given) {
    const std::string msg = std::string("Argument '") + name + "' has incorrect type (expected " + expected +
                            ", got " + type_name_of(given) + ")";
    throw nb::type_error(msg.c_str());
}

std::int64_t int_arg(nb::handle value, const char* name) {
    if (PyLong_Check(value.ptr())) {
        const long long v = PyLong_AsLongLong(value.ptr());
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        return v;
    }
    // Floats, numpy scalars and other numbers: truncate toward zero.
    if (PyFloat_Check(value.ptr()) || PyNumber_Check(value.ptr())) {
        PyObject* as_float = PyNumber_Float(value.ptr());
        if (as_float != nullptr) {
            const double d = PyFloat_AsDouble(as_float);
            Py_DECREF(as_float);
            if (!(std::fabs(d) < 9.2e18)) {  // NaN, infinities and values no integer can hold
                const std::string msg = std::string("Argument '") + name + "' must be a finite number";
                throw nb::value_error(msg.c_str());
            }
            return static_cast<std::int64_t>(std::trunc(d));
        }
        PyErr_Clear();
    }
    raise_type_error(name, "int", value);
}

double float_arg(nb::handle value, const char* name) {
    if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) || PyNumber_Check(value.ptr())) {
        if (!PyUnicode_Check(value.ptr())) {
            const double d = PyFloat_AsDouble(value.ptr());
            if (!(d == -1.0 && PyErr_Occurred()))
                return d;
            PyErr_Clear();
        }
    }
    raise_type_error(name, "float", value);
}

std::string str_arg(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr()))
        raise_type_error(name, "str", value);
    return nb::cast<std::string>(value);
}

std::optional<std::string> optional_str_arg(nb::handle value, const char* name) {
    if (value.is_none())
        return std::nullopt;
    return str_arg(value, name);
}

}  // namespace vantorel::bridge
