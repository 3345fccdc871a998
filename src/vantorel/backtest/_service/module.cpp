// vantorel.backtest._service: the public façade BacktestService.
#include "service.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace vantorel::service;

namespace vantorel::service {

namespace {
nb::module_* g_module = nullptr;
nb::object* g_prepare = nullptr;
nb::object* g_store = nullptr;
}  // namespace

nb::module_ module() {
    return *g_module;
}
nb::object prepare_module() {
    return *g_prepare;
}
nb::object store_module() {
    return *g_store;
}

}  // namespace vantorel::service

namespace {

// Universe code -> membership factor name: the code is the part after the last "_", up to the
// first ".".
nb::dict universe_table(nb::handle component_names) {
    nb::dict table;
    for (nb::handle name : component_names) {
        nb::object tail = name.attr("rsplit")("_", 1)[-1];
        table[tail.attr("split")(".")[0]] = name;
    }
    return table;
}

}  // namespace

NB_MODULE(_service, m) {
    m.doc() =
        "The backtest service: data readiness, loading, slicing, the selection universe and the\n"
        "backtests.";
    // Leaked on purpose: module objects must outlive every static destructor.
    g_module = new nb::module_(nb::borrow<nb::module_>(m));
    g_prepare = new nb::object(nb::module_::import_("vantorel.backtest._prepare"));
    g_store = new nb::object(nb::module_::import_("vantorel.backtest._store"));
    m.attr("core") = nb::module_::import_("vantorel.backtest._core");
    // The sibling modules it uses, bound once; steps read them from here at call time.
    nb::object pkg = nb::module_::import_("vantorel.backtest._pkg");
    m.attr("_pkg") = pkg;
    m.attr("_store") = store_module();
    m.attr("result") = nb::module_::import_("vantorel.backtest.result");
    m.attr("exceptions") = nb::module_::import_("vantorel.exceptions");
    m.attr("logger") = nb::module_::import_("vantorel.logger").attr("logger");
    m.attr("download_benchmark_package") = pkg.attr("download_benchmark_package");
    m.attr("flatten_single_subdir") = pkg.attr("flatten_single_subdir");

    nb::object home = nb::module_::import_("pathlib").attr("Path").attr("home")();
    m.attr("_DEFAULT_DATA_DIR") =
        home / nb::str(".vantorel") / nb::str("backtest_data") / nb::str("enviroment_data");
    m.attr("_UNIVERSE_TO_COMPONENT") = universe_table(prepare_module().attr("COMPONENT_FACTOR_NAMES"));
    for (const char* name : {"COMPONENT_FACTOR_NAMES", "TAIL_RELOAD_ROWS", "component_dataset_key",
                             "BinaryPreparedDataStore", "GroupPreparedDataBuilder"})
        m.attr(name) = prepare_module().attr(name);

    nb::class_<BacktestService> cls(
        m, "BacktestService",
        "The backtesting service: prepares and loads the backtest data and runs factor\n"
        "and strategy backtests on it.");
    cls.def(
           "__init__",
           [](BacktestService* self, nb::handle http) { new (self) BacktestService{nb::borrow(http)}; },
           "http"_a.none(), nb::sig("def __init__(self, http: vantorel._http.HttpClient | None) -> None"))
        .def_prop_rw(
            "_http", [](const BacktestService& s) { return s.http; },
            [](BacktestService& s, nb::handle v) { s.http = nb::borrow(v); }, nb::arg("value").none());
    register_data(cls);
    register_strategy(cls);
    register_factor(cls);
    register_batch(cls);
    register_readiness(cls);
}
