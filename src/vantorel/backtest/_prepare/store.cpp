// BinaryPreparedDataStore: the store base with the dataset catalogue and component supplements.
#include "prepare.hpp"

namespace vantorel::prepare {

using namespace nb::literals;

namespace {

struct PreparedStore : vantorel::store::StoreBase {};

nb::dict load(nb::handle self, nb::handle start_date, nb::handle end_date, nb::handle keys, nb::handle mmap) {
    nb::object base = store_module().attr("BinaryPreparedDataStoreBase");
    // keys=None: only catalogue datasets that this store actually holds, in catalogue order, chosen
    // from the same metadata record the rows are read with.
    nb::object result = keys.is_none()
                            ? base.attr("_load_catalogue")(self, start_date, end_date, mmap)
                            : base.attr("load")(self, "start_date"_a = start_date, "end_date"_a = end_date,
                                                "keys"_a = keys, "mmap"_a = mmap);
    if (!nb::isinstance<nb::dict>(result))
        vantorel::bridge::raise_type_error("load", "dict", result);
    return nb::borrow<nb::dict>(result);
}

nb::list add_component_matrices(nb::handle self, nb::handle component_matrices, nb::handle component_names) {
    if (!nb::isinstance<nb::dict>(component_matrices))
        vantorel::bridge::raise_type_error("component_matrices", "dict", component_matrices);
    if (!nb::isinstance<nb::list>(component_names))
        vantorel::bridge::raise_type_error("component_names", "list", component_names);
    nb::object store = store_module();
    nb::dict matrices = nb::borrow<nb::dict>(component_matrices);
    // The record read here is rewritten below: no other writer may commit in between.
    const vantorel::store::HeldWriterLock lock(self.attr("store_dir"));
    nb::dict metadata = nb::borrow<nb::dict>(self.attr("load_metadata")());
    nb::object datasets = metadata.attr("setdefault")("datasets", nb::dict());
    nb::object store_dir = self.attr("store_dir");
    nb::list written;
    for (nb::handle name : parse_name_list(component_names)) {
        nb::str key(component_key(name).c_str());
        if (nb::cast<bool>(datasets.attr("__contains__")(key)))
            continue;
        nb::object matrix = matrices.attr("get")(name);
        if (!matrix.is_none() && !vantorel::bridge::is_frame(matrix)) {
            const std::string what = "component_matrices[" + nb::cast<std::string>(nb::repr(name)) + "]";
            vantorel::bridge::raise_type_error(what.c_str(), "DataFrame", matrix);
        }
        if (matrix.is_none() || nb::len(nb::object(matrix.attr("index"))) == 0) {
            const std::string msg = "缺失成分股矩阵为空，无法补充: " + nb::cast<std::string>(nb::str(name));
            throw nb::value_error(msg.c_str());
        }
        // Each matrix lands in a new file; the store lists it only once the metadata is replaced.
        datasets[key] = store.attr("_write_matrix")(store_dir, key, matrix, kFloatStorageDtype);
        written.append(name);
    }
    if (nb::len(written) == 0)
        return written;

    nb::object meta = metadata.attr("setdefault")("meta", nb::dict());
    nb::list existing = parse_name_list(meta.attr("get")("component_names", nb::list()));
    nb::list merged;
    nb::object seen = nb::module_::import_("builtins").attr("set")();
    for (nb::handle list : {nb::handle(existing), nb::handle(written)})
        for (nb::handle name : parse_name_list(list))
            if (!nb::cast<bool>(seen.attr("__contains__")(name))) {
                seen.attr("add")(name);
                merged.append(name);
            }
    meta["component_names"] = merged;
    nb::object old_keys = meta.attr("get")("component_dataset_keys");
    nb::dict keys = old_keys.is_none() ? nb::dict() : nb::borrow<nb::dict>(old_keys.attr("copy")());
    for (nb::handle name : merged)
        keys[name] = nb::str(component_key(name).c_str());
    meta["component_dataset_keys"] = keys;
    nb::object now = nb::module_::import_("datetime")
                         .attr("datetime")
                         .attr("now")()
                         .attr("isoformat")("timespec"_a = "microseconds");
    metadata["updated_at"] = now;
    meta["updated_at"] = now;
    meta["component_supplemented_at"] = now;
    store.attr("_replace_metadata")(self.attr("metadata_path"), metadata);
    store.attr("_write_manifest")(store_dir, metadata);
    return written;
}

}  // namespace

void register_store(nb::module_& m) {
    nb::class_<PreparedStore, vantorel::store::StoreBase>(
        m, "BinaryPreparedDataStore",
        "The prepared-data store of the backtests: the base matrices and the index-membership\n"
        "matrices of the catalogue.")
        .def(
            "__init__",
            [](PreparedStore* self, nb::handle store_dir, nb::handle component_names) {
                nb::dict dtypes = build_matrix_dtype(component_names);
                new (self) PreparedStore();
                vantorel::store::init_store(*self, store_dir, dtypes, nb::int_(kPreparedDataVersion),
                                            nb::str(kFloatStorageDtype));
            },
            "store_dir"_a.none(), "component_names"_a.none() = nb::none(),
            nb::sig(
                "def __init__(self, store_dir: str | os.PathLike, component_names: list[str] | None = None) "
                "-> None"))
        .def("load", &load, "start_date"_a.none() = nb::none(), "end_date"_a.none() = nb::none(),
             "keys"_a.none() = nb::none(), "mmap"_a.none() = true,
             nb::sig("def load(self, start_date: str | int | None = None, end_date: str | int | None = None, "
                     "keys: list[str] | None = None, mmap: bool = True) -> dict"),
             "As the base's load; keys=None asks for the catalogue datasets the store holds, in\n"
             "catalogue order.")
        .def("add_component_matrices", &add_component_matrices, "component_matrices"_a.none(),
             "component_names"_a.none(),
             nb::sig("def add_component_matrices(self, component_matrices: dict[str, pandas.DataFrame], "
                     "component_names: list[str]) -> list[str]"),
             "Writes the membership matrices the store lacks and returns their names. Nothing changes\n"
             "when every name is present; a crash leaves the store as it was or with all of them.");
}

}  // namespace vantorel::prepare
