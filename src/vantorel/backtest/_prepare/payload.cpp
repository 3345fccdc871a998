// The payload a build hands to the store, and the two build entry points.
#include "builder.hpp"

namespace vantorel::prepare {

using namespace nb::literals;

namespace {

nb::object now_text() {
    return nb::module_::import_("datetime")
        .attr("datetime")
        .attr("now")()
        .attr("isoformat")("timespec"_a = "microseconds");
}

nb::dict assemble_payload(nb::handle self, nb::handle data, nb::handle component_matrices,
                          nb::handle benchmark_dict, nb::handle component_names_arg,
                          nb::handle meta_time_key) {
    nb::list component_names = list_arg(component_names_arg, "component_names");
    bridge::str_arg(meta_time_key, "meta_time_key");
    nb::object masks = dict_arg(component_matrices, "component_matrices", false);
    dict_arg(data, "data", false);
    dict_arg(benchmark_dict, "benchmark_dict", false);
    nb::dict keys;
    for (nb::handle name : component_names)
        keys[name] = nb::str(component_key(name).c_str());

    // A new dictionary: the caller's is left as it was.
    nb::dict out_data = nb::borrow<nb::dict>(nb::module_::import_("builtins").attr("dict")(data));
    for (nb::handle name : component_names)
        if (bridge::truthy(masks.attr("__contains__")(name)))
            out_data[nb::str(component_key(name).c_str())] = masks[name];
    for (auto [name, mask] : nb::borrow<nb::dict>(masks))
        if (!bridge::truthy(keys.attr("__contains__")(name)))
            out_data[nb::str(component_key(name).c_str())] = mask;
    out_data["benchmark_dict"] = benchmark_dict;

    nb::dict meta;
    meta["start_date"] = self.attr("default_start");
    meta["end_date"] = self.attr("end_date");
    meta["ddb_start"] = self.attr("_ddb_start");
    meta["ddb_end"] = self.attr("_ddb_end");
    meta["component_names"] = nb::list(component_names);
    meta["component_dataset_keys"] = keys;
    meta[meta_time_key] = now_text();

    nb::dict payload;
    payload["version"] = module().attr("PREPARED_DATA_VERSION");
    payload["meta"] = meta;
    payload["data"] = out_data;
    return payload;
}

nb::object build_payload(nb::handle self, nb::handle incremental, nb::handle meta_time_key) {
    if (!PyBool_Check(incremental.ptr()))
        bridge::raise_type_error("incremental", "bool", incremental);
    bridge::str_arg(meta_time_key, "meta_time_key");
    nb::object read = self.attr("_read_source_data")(incremental);
    nb::object source = read[0], components = read[1], benchmarks = read[2], names = read[3];
    read = nb::object();
    nb::list missing;
    for (nb::handle name : names)
        if (!bridge::truthy(components.attr("__contains__")(name)))
            missing.append(name);
    if (nb::len(missing) > 0) {
        const std::string msg =
            "成分股矩阵缺失，无法精确生成二进制缓存: " + nb::cast<std::string>(nb::repr(missing));
        throw nb::value_error(msg.c_str());
    }
    nb::object derived = self.attr("_build_from_matrices")(source);
    source = nb::object();  // inputs that are not stored go as soon as the derivation is done
    return self.attr("_assemble_payload")(derived, components, benchmarks, names, meta_time_key);
}

}  // namespace

void register_payload(nb::class_<Builder>& cls) {
    cls.def("_assemble_payload", &assemble_payload, "data"_a.none(), "component_matrices"_a.none(),
            "benchmark_dict"_a.none(), "component_names"_a.none(), "meta_time_key"_a.none(),
            nb::sig(
                "def _assemble_payload(self, data: dict[str, pandas.DataFrame], "
                "component_matrices: dict[str, pandas.DataFrame], benchmark_dict: dict[str, pandas.Series], "
                "component_names: list[str], meta_time_key: str) -> dict"),
            "{\"version\", \"meta\", \"data\"}: a copy of data with the membership masks (under their\n"
            "dataset keys, in the order of component_names) and benchmark_dict added; meta holds the\n"
            "dates, the component names and keys, and the current time under meta_time_key.")
        .def("_build_payload", &build_payload, "incremental"_a.none(), "meta_time_key"_a.none(),
             nb::sig("def _build_payload(self, incremental: bool, meta_time_key: str) -> dict"),
             "Reads the sources, derives the matrices and assembles the payload. ValueError when an\n"
             "index-membership mask is missing; nothing partial is returned.")
        .def(
            "build", [](nb::handle self) { return self.attr("_build_payload")(false, "created_at"); },
            nb::sig("def build(self) -> dict"), "Full build: one query per factor; meta carries created_at.")
        .def(
            "build_incremental",
            [](nb::handle self) { return self.attr("_build_payload")(true, "updated_at"); },
            nb::sig("def build_incremental(self) -> dict"),
            "Incremental build: one batch query for every factor; meta carries updated_at.");
}

}  // namespace vantorel::prepare
