// vantorel.backtest._prepare: the dataset catalogue, name helpers and the binary store.
#include "builder.hpp"

namespace nb = nanobind;
using namespace vantorel::prepare;

namespace vantorel::prepare {

namespace {
nb::module_* g_module = nullptr;
nb::object* g_store = nullptr;
}  // namespace

nb::module_ module() {
    return *g_module;
}
nb::object store_module() {
    return *g_store;
}

}  // namespace vantorel::prepare

NB_MODULE(_prepare, m) {
    m.doc() =
        "Prepared backtest data: the dataset catalogue, the binary prepared-data store and the builder\n"
        "that derives it from the data service.";
    // Leaked on purpose: module objects must outlive every static destructor.
    g_module = new nb::module_(nb::borrow<nb::module_>(m));
    g_store = new nb::object(nb::module_::import_("vantorel.backtest._store"));
    register_catalogue(m);
    m.attr("component_dataset_key") = store_module().attr("component_dataset_key");
    register_names(m);
    register_store(m);
    register_builder(m);
}
