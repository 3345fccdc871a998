// Shared binding helpers: argument checks, Frame <-> (labels, arrays), results back to pandas.
// Everything here runs with the GIL held.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "vantorel/matrix.hpp"
#include "vantorel/simulate.hpp"

namespace vantorel::bridge {

namespace nb = nanobind;

// ---- argument checks -------------------------------------------------------

// Raises TypeError "Argument '<name>' has incorrect type (expected <expected>, got <given type>)".
[[noreturn]] void raise_type_error(const char* name, const char* expected, nb::handle given);
// vantorel.exceptions.VantorelError, the error of store and package faults, and raising it with
// one message.
nb::handle vantorel_error_type();
[[noreturn]] void raise_vantorel(const std::string& message);
// "ValueError: could not convert ..." of a caught Python error, without its traceback.
std::string error_text(const nb::python_error& e);

// An integer argument; a float is truncated toward zero; anything else is a type error.
std::int64_t int_arg(nb::handle value, const char* name);
// A float argument; integers accepted.
double float_arg(nb::handle value, const char* name);
std::string str_arg(nb::handle value, const char* name);
std::optional<std::string> optional_str_arg(nb::handle value, const char* name);
// The truth value of a flag argument; objects without one (arrays, pandas' NA) are named.
bool bool_arg(nb::handle value, const char* name);
// A file-system path: text, or an os.PathLike whose path is text (bytes paths are refused); with
// `allow_empty` false, an empty path (which names no file) is a bad value too.
void path_arg(nb::handle value, const char* name, bool allow_empty = true);

// total_money, fee and rule_fee as numbers in their ranges: total_money in (0, +inf), fee and
// rule_fee in [0, 1). ValueError naming the argument, the range and the value otherwise.
TradingCosts trading_costs_arg(nb::handle total_money, nb::handle fee, nb::handle rule_fee);
// Shares per lot: an integer >= 1 (below 2**63, so one lot's money is finite at any finite price).
double lot_size_arg(nb::handle lot_size);

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
// Checks type and unique labels; float64 and bool data are viewed without a copy, other real or
// boolean data (nullable pandas dtypes and object columns of numbers included) converted to
// float64. Other dtypes (dates, durations, complex, text) raise TypeError naming the argument and
// the dtypes; object cells that are not numbers too.
Frame frame_arg(nb::handle obj, const char* name);
// The dtype check of frame_arg alone, for a Series or Frame read later.
void require_numbers(nb::handle pandas_object, const char* name);

// ---- labels of another kind ---------------------------------------------------

// One date as YYYYMMDD text: text in a date shape, integers and integral floats such as 20200102,
// NumPy scalars, date, datetime and Timestamp values. Nothing when the value names no date.
std::optional<std::string> date_text(nb::handle value);
// Whether a value is of a type a date can be given as (so an unreadable one is a bad value, not a
// wrong type).
bool has_date_type(nb::handle value);

enum class LabelAxis { Dates, Codes };
// `labels` expressed in the kind of `reference` (text, integers, floats or date-times) when the two
// kinds differ: dates go through their YYYYMMDD text (DatetimeIndex, Timestamps, 20200102 and
// 20200102.0 are "20200102"), integer codes become six-digit text (1 -> "000001"). `labels` itself
// when the kinds agree, either is empty or the reference is of no single kind. ValueError naming
// `name` and showing a few labels when they cannot be read in the reference's kind.
nb::object conform_labels(nb::handle labels, nb::handle reference, LabelAxis axis, const char* name);
// A Frame's labels conformed to (dates, codes), checked unique again afterwards.
void conform_frame(Frame& f, nb::handle dates, nb::handle codes, const char* name);

// The benchmark dictionary of an engine entry: None, or a dict of name -> Series, a one-column
// Frame taken as its column; the series' dates conformed to `dates` and checked unique. A new
// dict (None stays None); the caller's objects are not modified. TypeError / ValueError naming
// benchmark_dict otherwise.
nb::object benchmark_dict_arg(nb::handle benchmark_dict, nb::handle dates);

// Pointer, shape and strides of a NumPy array, read from its array interface (no copy).
struct ArrayLayout {
    const void* data;
    std::vector<Index> shape;
    std::vector<Index> strides;  // in elements
};
ArrayLayout layout_of(nb::handle array);

// source_labels.get_indexer(target_labels): target position -> source position or -1.
IndexMap label_map(nb::handle source_labels, nb::handle target_labels);
// A boolean sequence (a NumPy array, an Index comparison) as bytes, required to hold exactly
// `expected` values (ValueError naming `name` otherwise: an odd comparison may give a scalar).
std::vector<std::uint8_t> bool_values(nb::handle obj, const char* name, Index expected);

// A float64 1-D array as a vector (converted when needed).
std::vector<double> float_values(nb::handle obj, const char* name);
// The same, required to hold exactly `expected` values (ValueError naming `name` otherwise).
std::vector<double> float_values(nb::handle obj, const char* name, Index expected);

// ---- the trading engines' inputs and defaults -----------------------------------

// The eight market inputs in simulation order (MarketViews' order): each one's argument name in
// the engine entries and its dataset key in a loaded bundle.
struct MarketInput {
    const char* argument;
    const char* dataset;
};
inline constexpr std::size_t kMarketInputCount = 8;
inline constexpr std::size_t kCloseInput = 4;  // close_price: the grid every other input is read on
inline constexpr std::array<MarketInput, kMarketInputCount> kMarketInputs = {
    {{"can_buy_stock", "can_buy_stock"},
     {"cant_sell_stock", "cant_sell_stock"},
     {"split_factor", "rq_get_split"},
     {"dividend_factor", "rq_get_dividend"},
     {"close_price", "close_price"},
     {"prev_close", "prev_close"},
     {"buy_price", "buy_price"},
     {"sell_price", "sell_price"}}};

// The eight market Frames, in kMarketInputs order.
struct MarketFrames {
    std::array<Frame, kMarketInputCount> frames;
    const Frame& close() const { return frames[kCloseInput]; }
};
// Every input read by frame_arg under its argument name, then every other one conformed to
// close_price's labels.
MarketFrames market_frames(const std::array<nb::handle, kMarketInputCount>& inputs);
// The engine's views of the eight Frames, each aligned by `align(const Frame&)`.
template <typename Align>
MarketViews market_views(const MarketFrames& m, Align&& align) {
    const auto& f = m.frames;
    return MarketViews{align(f[0]), align(f[1]), align(f[2]), align(f[3]),
                       align(f[4]), align(f[5]), align(f[6]), align(f[7])};
}

// The engine's trading defaults as module attributes, for Python code that needs them:
// DEFAULT_BENCHMARK, DEFAULT_TOTAL_MONEY, DEFAULT_FEE, DEFAULT_RULE_FEE and DEFAULT_LOT_SIZE.
void export_trading_defaults(nb::module_& m);

// The benchmark summary table: for each of `names` that `benchmarks` (a dict, or None) holds, its
// series aligned to `dates` and summarised against every column of `daily` (rows x cols,
// row-major) by the engine; a benchmark present on none of the dates gives no row. Columns:
// benchmark_name, then per group (`per_group`) group and annual_return, else
// benchmark_annual_return; then excess_annual_return, excess_sharpe and excess_max_dd. An empty
// DataFrame when there is no row.
nb::object benchmark_summary_frame(const std::vector<nb::object>& names, nb::handle benchmarks,
                                   nb::handle dates, const std::vector<double>& daily, Index rows, Index cols,
                                   bool per_group);

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

// The record type of an engine entry's result: a dataclass `name` with `fields`, reported as defined
// in `module` and documented by `doc`.
nb::object result_dataclass(const char* name, const char* module, const char* doc,
                            std::initializer_list<const char*> fields);

}  // namespace vantorel::bridge
