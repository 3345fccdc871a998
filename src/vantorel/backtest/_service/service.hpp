// Declarations shared by the source files of the _service module.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "bridge.hpp"

namespace vantorel::service {

namespace nb = nanobind;

// The public façade; it holds only the data-service client.
struct BacktestService {
    nb::object http;
};

// The module object: constants such as _DEFAULT_DATA_DIR are read from it at call time, so a
// caller may point the service elsewhere by setting the attribute.
nb::module_ module();
nb::object prepare_module();
nb::object store_module();

// An int, float or NumPy number (what a numeric argument accepts before truncation).
inline bool is_number(nb::handle v) {
    return PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()) ||
           PyObject_IsInstance(v.ptr(), bridge::libs().np.attr("number").ptr()) == 1;
}

// ---- argument checks (checks.cpp) ----
// The `data` dictionary of a BacktestData argument; TypeError naming `data` otherwise.
nb::dict bundle_arg(nb::handle data);
// The table a backtest entry reads (weights or factor values): a DataFrame with rows. None or a
// table without rows is ValueError `empty_message`; another type a TypeError naming `name`.
void require_table(nb::handle table, const char* name, const char* empty_message);
// A date argument as YYYYMMDD text; a type normalize_yyyymmdd cannot read is a TypeError naming it.
std::string date_arg(nb::handle value, const char* name);
// KeyError naming the absent datasets of a bundle and where a complete one comes from.
[[noreturn]] void raise_missing_datasets(const std::vector<std::string>& keys);

// The public result `type_name` of vantorel.backtest.result built from an engine result: each of
// `fields` taken from `given` when it holds it, else the engine result's attribute of that name.
nb::object public_result(const char* type_name, nb::handle core_result,
                         std::initializer_list<const char*> fields, nb::dict given);

// Adds the keyword arguments of an engine entry taken from a loaded bundle to `kwargs`: the
// entries under `before`, the eight market inputs under their argument names, then the entries
// under `after`, each under its key; every absent dataset is reported at once by
// raise_missing_datasets.
void add_engine_inputs(nb::dict kwargs, nb::dict matrices, std::initializer_list<const char*> before,
                       std::initializer_list<const char*> after);

nb::dict slice_data(nb::handle data, nb::handle start_date, nb::handle end_date);
// Rows of a Frame or Series whose date label lies in [lo, hi]: a view when they are contiguous.
// Text labels compare as text; other labels (integers, date-times) as their YYYYMMDD text, and a
// label that is no date then raises ValueError naming `what`.
nb::object slice_rows(nb::handle obj, const std::string& lo, const std::string& hi, const std::string& what);
nb::list parse_universe(nb::handle universe);
void apply_universe_filter(nb::handle data, nb::handle universe, nb::handle start_date, nb::handle end_date);
nb::object load_backtest_data();

void register_data(nb::class_<BacktestService>& cls);
void register_strategy(nb::class_<BacktestService>& cls);
void register_factor(nb::class_<BacktestService>& cls);
void register_batch(nb::class_<BacktestService>& cls);
void register_readiness(nb::class_<BacktestService>& cls);

}  // namespace vantorel::service
