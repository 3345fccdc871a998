// vantorel.backtest._store: the binary prepared-data store base and its label helpers.
#include "internal.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace vantorel::store;

NB_MODULE(_store, m) {
    m.doc() = "Binary prepared-data store: raw matrix files, a pickled metadata record, a manifest.";
    register_labels(m);
    register_store(m);
    register_lock(m);
    m.attr("MAX_METADATA_BYTES") = kMaxMetadataBytes;
    m.def(
        "_write_matrix",
        [](nb::handle store_dir, const std::string& key, nb::handle matrix, const std::string& dtype) {
            return write_matrix(store_dir, key, matrix, dtype);
        },
        "store_dir"_a, "key"_a, "matrix"_a, "dtype"_a,
        "Writes a Frame (or Series) as a new dataset file of the store and returns its descriptor.\n"
        "The file gets a fresh name, so nothing the metadata lists is touched until the caller\n"
        "commits the descriptor.");
    m.def(
        "_write_manifest",
        [](nb::handle store_dir, nb::handle metadata) { write_manifest(store_dir, metadata); }, "store_dir"_a,
        "metadata"_a,
        "Rewrites the manifest (files, sizes, checksums) after the metadata file was replaced, and\n"
        "removes data files the metadata no longer lists.");
    m.def(
        "_replace_metadata", [](nb::handle path, nb::handle metadata) { commit_metadata(path, metadata); },
        "metadata_path"_a, "metadata"_a,
        "Replaces the metadata file in one step with the record pickled at the highest protocol.");
}
