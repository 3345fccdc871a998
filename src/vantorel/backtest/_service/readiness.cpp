// Data readiness: download a complete package, replace an incomplete one, or append the missing
// trading days; then log the latest date of every dataset.
#include <algorithm>
#include <vector>

#include "_store/store.hpp"
#include "service.hpp"

namespace vantorel::service {

using namespace nb::literals;

namespace {

constexpr const char* kKeyDatasets[] = {"close_price", "open_price", "can_buy_stock", "cant_sell_stock"};
constexpr const char* kIncompletePackage = "回测基准数据包不完整,请删除回测数据目录后重新准备";

using bridge::raise_vantorel;

// mapping.get(key, {}) of a metadata entry (anything without .get counts as empty).
nb::object entry(nb::handle mapping, const char* key) {
    if (!nb::hasattr(mapping, "get"))
        return nb::dict();
    return mapping.attr("get")(key, nb::dict());
}

// The date labels a dataset descriptor lists (empty when it has none).
nb::object dataset_index(nb::handle datasets, nb::handle key) {
    nb::object descriptor = datasets.attr("get")(key, nb::dict());
    if (!nb::hasattr(descriptor, "get"))
        return nb::list();
    return descriptor.attr("get")("index", nb::list());
}

bool empty_or_missing(nb::handle value) {
    return value.is_none() || !bridge::truthy(value);
}

// The static helpers read a store through its metadata; anything else is named as the wrong type.
void require_store(nb::handle store) {
    nb::object base = store_module().attr("BinaryPreparedDataStoreBase");
    if (PyObject_IsInstance(store.ptr(), base.ptr()) != 1)
        bridge::raise_type_error("store", "BinaryPreparedDataStore", store);
}

nb::list find_missing_datasets(nb::handle store) {
    require_store(store);
    nb::object metadata = store.attr("load_metadata")();
    nb::object datasets = entry(metadata, "datasets");
    nb::list missing;
    if (empty_or_missing(dataset_index(datasets, nb::str("close_price"))))
        missing.append("close_price 索引为空");
    for (const char* key : kKeyDatasets)
        if (!bridge::truthy(datasets.attr("__contains__")(key)))
            missing.append(key);
    if (empty_or_missing(metadata.attr("get")("benchmarks")))
        missing.append("benchmarks");
    nb::object key_of = module().attr("component_dataset_key");
    for (nb::handle name : module().attr("COMPONENT_FACTOR_NAMES")) {
        nb::object key = key_of(name);
        if (!bridge::truthy(datasets.attr("__contains__")(key)))
            missing.append(key);
    }
    return missing;
}

void validate_metadata(nb::handle store) {
    require_store(store);
    if (!bridge::truthy(store.attr("metadata_path").attr("exists")()))
        raise_vantorel("回测基准数据包解压后缺少元信息文件");
    nb::object metadata = store.attr("load_metadata")();
    nb::object datasets = entry(metadata, "datasets");
    if (empty_or_missing(dataset_index(datasets, nb::str("close_price"))))
        raise_vantorel(kIncompletePackage);
    for (const char* key : kKeyDatasets)
        if (!bridge::truthy(datasets.attr("__contains__")(key)))
            raise_vantorel(kIncompletePackage);
    if (empty_or_missing(metadata.attr("get")("benchmarks")))
        raise_vantorel(kIncompletePackage);
    // Membership matrices are not required here: a package without them is replaced by the next
    // preparation, which finds them missing.
}

nb::object latest_date(nb::handle datasets, nb::handle key) {
    nb::object index = dataset_index(datasets, key);
    if (empty_or_missing(index))
        return nb::str("(空)");
    return index[-1];
}

void log_dataset_summary(nb::handle store, nb::handle action) {
    require_store(store);
    bridge::str_arg(action, "action");
    nb::object metadata = store.attr("load_metadata")();
    nb::object datasets = entry(metadata, "datasets");
    nb::object benchmarks = entry(metadata, "benchmarks");
    nb::object benchmark_keys = nb::module_::import_("builtins").attr("set")(benchmarks.attr("values")());

    std::vector<std::pair<nb::object, nb::object>> rows;
    for (nb::handle key : datasets) {
        nb::object text = nb::str(key);
        if (bridge::truthy(text.attr("startswith")("component__")))
            rows.emplace_back(nb::str("成分股 ") + text.attr("replace")("component__", ""),
                              latest_date(datasets, key));
        else if (!bridge::truthy(benchmark_keys.attr("__contains__")(key)))
            rows.emplace_back(text, latest_date(datasets, key));
    }
    for (nb::handle item : benchmarks.attr("items")())
        rows.emplace_back(nb::str("基准 ") + nb::str(item[0]), latest_date(datasets, item[1]));

    nb::object info = module().attr("logger").attr("info");
    info("回测基准数据%s,各数据集最新日期:", action);
    std::size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, nb::len(row.first));
    for (const auto& row : rows)
        info("  %-*s  %s", width, row.first, row.second);
}

nb::object new_store() {
    return module().attr("BinaryPreparedDataStore")(module().attr("_DEFAULT_DATA_DIR"));
}

void prepare_backtest_data(BacktestService& self) {
    nb::object m = module();
    nb::object store_dir = m.attr("_DEFAULT_DATA_DIR");
    // One preparation at a time per directory, across processes and threads: the course is decided
    // from what the previous one left, and nothing is fetched twice or written over a half-done store.
    const store::HeldWriterLock lock(store_dir);
    nb::object store = new_store();
    nb::object service_type = m.attr("BacktestService");

    // An incomplete store is replaced as a whole (a missing membership matrix is never patched).
    // The package install swaps the new store in for the old one in one step, so the old one is not
    // deleted first: readers keep finding a store, and a failed download leaves it as it was.
    const bool present = bridge::truthy(store.attr("metadata_path").attr("exists")());
    if (!present || nb::len(service_type.attr("_find_missing_datasets")(store)) > 0) {
        m.attr("download_benchmark_package")(self.http, store_dir);
        m.attr("flatten_single_subdir")(store_dir);
        store = new_store();
        service_type.attr("_validate_metadata")(store);
        service_type.attr("_log_dataset_summary")(store, "action"_a = "已就绪");
        return;
    }

    nb::object index = store.attr("load_metadata")()["datasets"]
                           .attr("get")("close_price", nb::dict())
                           .attr("get")("index", nb::list());
    const auto n = static_cast<std::int64_t>(nb::len(index));
    const auto reload = nb::cast<std::int64_t>(m.attr("TAIL_RELOAD_ROWS"));
    nb::object fetch_start = index[std::max<std::int64_t>(n - reload, 0)];
    nb::object fetch_end =
        nb::module_::import_("datetime").attr("datetime").attr("now")().attr("strftime")("%Y%m%d");
    if (bridge::truthy(fetch_start.attr("__ge__")(fetch_end))) {
        service_type.attr("_log_dataset_summary")(store, "action"_a = "已是最新");
        return;
    }
    nb::object payload =
        m.attr("GroupPreparedDataBuilder")("start_date"_a = fetch_start, "end_date"_a = fetch_end)
            .attr("build_incremental")();
    if (!bridge::truthy(store.attr("update_tail")(payload)))
        raise_vantorel("回测数据增量更新失败:基准缺失或元信息不完整");
    service_type.attr("_log_dataset_summary")(store, "action"_a = "已更新");
}

}  // namespace

void register_readiness(nb::class_<BacktestService>& cls) {
    cls.def("prepare_backtest_data", &prepare_backtest_data,
            nb::sig("def prepare_backtest_data(self) -> None"),
            "Makes the local prepared-data directory complete and current.\n\n"
            "Without local data the complete package is downloaded and unpacked; an incomplete store\n"
            "(a key dataset, the benchmarks or a membership matrix missing) is replaced by a fresh\n"
            "download; a complete one gets the trading days from its second-to-last date up to today\n"
            "appended. Every course ends by logging each dataset's latest date.\n\n"
            "Preparations of one directory take turns, across processes and threads: each holds the\n"
            "directory's writer lock from its decision to its last write, waiting up to\n"
            "vantorel.backtest._store.LOCK_TIMEOUT seconds for another one (VantorelError after).")
        .def_static(
            "_find_missing_datasets", &find_missing_datasets, "store"_a.none(),
            nb::sig("def _find_missing_datasets(store: vantorel.backtest._prepare.BinaryPreparedDataStore) "
                    "-> list[str]"),
            "What a store lacks to be usable, in a fixed order; empty when complete.")
        .def_static(
            "_validate_metadata", &validate_metadata, "store"_a.none(),
            nb::sig(
                "def _validate_metadata(store: vantorel.backtest._prepare.BinaryPreparedDataStore) -> None"),
            "VantorelError when a freshly unpacked package has no metadata, no close-price dates,\n"
            "a key dataset or benchmarks missing.")
        .def_static(
            "_log_dataset_summary", &log_dataset_summary, "store"_a.none(), nb::kw_only(), "action"_a.none(),
            nb::sig("def _log_dataset_summary(store: vantorel.backtest._prepare.BinaryPreparedDataStore, *, "
                    "action: str) -> None"),
            "Logs the latest date of every dataset, membership matrices and benchmarks by name.");
}

}  // namespace vantorel::service
