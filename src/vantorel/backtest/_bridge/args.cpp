#include <cmath>
#include <limits>

#include "bridge.hpp"

namespace vantorel::bridge {

namespace {

std::string type_name_of(nb::handle obj) {
    return nb::cast<std::string>(
        nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

// repr() of a value for a message, cut to 200 characters like the type names.
std::string short_repr(nb::handle value) {
    std::string text = nb::cast<std::string>(nb::repr(value));
    if (text.size() > 200)
        text = text.substr(0, 200) + "...";
    return text;
}

[[noreturn]] void raise_out_of_range(const char* name, nb::handle value) {
    const std::string msg = std::string("Argument '") + name + "' is out of range: " + short_repr(value);
    throw nb::value_error(msg.c_str());
}

[[noreturn]] void raise_not_in(const char* name, const char* range, double value) {
    const std::string msg = std::string("Argument '") + name + "' must lie in " + range + ", got " +
                            short_repr(nb::float_(value));
    throw nb::value_error(msg.c_str());
}

}  // namespace

void raise_type_error(const char* name, const char* expected, nb::handle given) {
    const std::string msg = std::string("Argument '") + name + "' has incorrect type (expected " + expected +
                            ", got " + type_name_of(given) + ")";
    throw nb::type_error(msg.c_str());
}

nb::handle vantorel_error_type() {
    // Leaked on purpose: the type must outlive every static destructor.
    static const nb::object* type =
        new nb::object(nb::module_::import_("vantorel.exceptions").attr("VantorelError"));
    return *type;
}

void raise_vantorel(const std::string& message) {
    PyErr_SetObject(vantorel_error_type().ptr(), nb::str(message.data(), message.size()).ptr());
    throw nb::python_error();
}

std::string error_text(const nb::python_error& e) {
    return type_name_of(e.value()) + ": " + nb::cast<std::string>(nb::str(e.value()));
}

std::int64_t int_arg(nb::handle value, const char* name) {
    // Python and NumPy integers exactly, through __index__ (bool counts as an integer).
    if (PyLong_Check(value.ptr()) || (!PyFloat_Check(value.ptr()) && PyIndex_Check(value.ptr()))) {
        nb::object as_int = nb::steal(PyNumber_Index(value.ptr()));
        if (as_int.is_valid()) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
            if (overflow != 0)
                raise_out_of_range(name, value);
            if (v == -1 && PyErr_Occurred())
                throw nb::python_error();
            return v;
        }
        PyErr_Clear();  // an __index__ that refuses (NumPy booleans): read it as a number below
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
            // An integer beyond the range of a double is a value fault, not a type fault.
            const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
            PyErr_Clear();
            if (overflow)
                raise_out_of_range(name, value);
        }
    }
    raise_type_error(name, "float", value);
}

std::string str_arg(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr()))
        raise_type_error(name, "str", value);
    // Text without a UTF-8 form (a lone surrogate) raises the codec's own UnicodeEncodeError.
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (text == nullptr)
        throw nb::python_error();
    return std::string(text, static_cast<std::size_t>(size));
}

std::optional<std::string> optional_str_arg(nb::handle value, const char* name) {
    if (value.is_none())
        return std::nullopt;
    return str_arg(value, name);
}

bool bool_arg(nb::handle value, const char* name) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) {
        PyErr_Clear();
        raise_type_error(name, "bool", value);
    }
    return r == 1;
}

void path_arg(nb::handle value, const char* name, bool allow_empty) {
    PyObject* path = PyOS_FSPath(value.ptr());
    const bool text = path != nullptr && PyUnicode_Check(path);
    // The file system ends a name at a NUL; a path holding one would name another file or fail late.
    const bool nul = text && PyUnicode_FindChar(path, 0, 0, PyUnicode_GET_LENGTH(path), 1) >= 0;
    const bool empty = text && PyUnicode_GET_LENGTH(path) == 0;
    Py_XDECREF(path);
    PyErr_Clear();
    if (!text)
        raise_type_error(name, "str or os.PathLike", value);
    if (nul) {
        const std::string msg = std::string("Argument '") + name + "' must not contain a NUL character";
        throw nb::value_error(msg.c_str());
    }
    if (empty && !allow_empty) {
        const std::string msg = std::string("Argument '") + name + "' must not be empty";
        throw nb::value_error(msg.c_str());
    }
}

TradingCosts trading_costs_arg(nb::handle total_money, nb::handle fee, nb::handle rule_fee) {
    TradingCosts costs;
    costs.total_money = float_arg(total_money, "total_money");
    costs.fee = float_arg(fee, "fee");
    costs.rule_fee = float_arg(rule_fee, "rule_fee");
    // Written so that NaN fails every test.
    if (!(costs.total_money > 0.0 && costs.total_money < std::numeric_limits<double>::infinity()))
        raise_not_in("total_money", "(0, +inf)", costs.total_money);
    if (!(costs.fee >= 0.0 && costs.fee < 1.0))
        raise_not_in("fee", "[0, 1)", costs.fee);
    if (!(costs.rule_fee >= 0.0 && costs.rule_fee < 1.0))
        raise_not_in("rule_fee", "[0, 1)", costs.rule_fee);
    return costs;
}

double lot_size_arg(nb::handle lot_size) {
    const std::int64_t lot = int_arg(lot_size, "lot_size");
    // int_arg keeps it below 2**63, so a lot of shares is a finite amount at any finite price.
    if (lot < 1) {
        const std::string msg = "Argument 'lot_size' must lie in [1, +inf), got " + std::to_string(lot);
        throw nb::value_error(msg.c_str());
    }
    return static_cast<double>(lot);
}

}  // namespace vantorel::bridge
