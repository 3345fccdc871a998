// Shared binding helpers: argument checks, Frame <-> (labels, arrays), results back to pandas.
// Everything here runs with the GIL held.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel::bridge {

namespace nb = nanobind;

// ---- argument checks -------------------------------------------------------

// Raises TypeError "Argument '<name>' has incorrect type (expected <expected>, got <given type>)".
[[noreturn]] void raise_type_error(const char* name, const char* expected, nb::handle given);

// An integer argument; a float is truncated toward zero; anything else is a type error.
std::int64_t int_arg(nb::handle value, const char* name);
// A float argument; integers accepted.
double float_arg(nb::handle value, const char* name);
std::string str_arg(nb::handle value, const char* name);
std::optional<std::string> optional_str_arg(nb::handle value, const char* name);

// ---- pandas access ----------------------------------------------------------

struct Libraries {
    nb::object np;
    nb::object pd;
    nb::object DataFrame;
    nb::object Series;
    nb::object Index;
};
// The numerical and frame libraries, imported once per process.
const Libraries& libs();

bool is_frame(nb::handle obj);
// Python truth of any object (NumPy booleans included), errors propagated.
inline bool truthy(nb::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}
bool is_series(nb::handle obj);

// Raises ValueError naming the argument and the first duplicated label when `index` is not unique.
void require_unique(nb::handle index, const char* name, const char* axis);

// A Frame argument read as (row labels, column labels, strided float64 or bool array).
struct Frame {
    nb::object frame;
    nb::object index;
    nb::object columns;
    nb::object array;  // keeps the viewed buffer alive
    MatrixView view;
};
// Checks type and unique labels; float64 and bool data are viewed without a copy, other numeric
// data converted to float64; non-numeric cells raise ValueError naming the argument.
Frame frame_arg(nb::handle obj, const char* name);

// Pointer, shape and strides of a NumPy array, read from its array interface (no copy).
struct ArrayLayout {
    const void* data;
    std::vector<Index> shape;
    std::vector<Index> strides;  // in elements
};
ArrayLayout layout_of(nb::handle array);

// source_labels.get_indexer(target_labels): target position -> source position or -1.
IndexMap label_map(nb::handle source_labels, nb::handle target_labels);
// A boolean sequence (a NumPy array, an Index comparison) as bytes.
std::vector<std::uint8_t> bool_values(nb::handle obj);

// A float64 1-D array as a vector (converted when needed).
std::vector<double> float_values(nb::handle obj, const char* name);

// ---- results ----------------------------------------------------------------

nb::object numpy_vector(std::vector<double>&& values);
nb::object numpy_matrix(std::vector<double>&& values, Index rows, Index cols);
nb::object numpy_bool_matrix(std::vector<std::uint8_t>&& values, Index rows, Index cols);

// pd.Series / pd.DataFrame over freshly made arrays, without another copy.
nb::object make_series(std::vector<double>&& values, nb::handle index, nb::handle name = nb::none());
nb::object make_frame(std::vector<double>&& values, Index rows, Index cols, nb::handle index,
                      nb::handle columns);
nb::object empty_float_series();

// index[positions] as a new Index.
nb::object take(nb::handle index, const IndexMap& pos);

}  // namespace vantorel::bridge
