// Declarations shared by the source files of the _prepare module.
#pragma once

#include <nanobind/nanobind.h>

#include "_store/store.hpp"

namespace vantorel::prepare {

namespace nb = nanobind;

inline constexpr const char* kFloatStorageDtype = "float64";
inline constexpr const char* kBoolStorageDtype = "bool";
inline constexpr std::int64_t kPreparedDataVersion = 1;
inline constexpr std::int64_t kTailReloadRows = 2;

// The module object, for constants read at call time.
nb::module_ module();
nb::object store_module();

nb::list parse_name_list(nb::handle raw_values);
nb::list get_component_factor_names();
nb::dict build_matrix_dtype(nb::handle component_names);
std::string component_key(nb::handle name);

void register_catalogue(nb::module_& m);
void register_names(nb::module_& m);
void register_store(nb::module_& m);

}  // namespace vantorel::prepare
