// vantorel.backtest._store: the prepared-data store base, shared by the extension modules.
//
// A store is a directory of raw little-endian C-order files, one per dataset (dates x stocks,
// one contiguous row per date), described by a metadata record pickled at `metadata.pkl`:
//
//   {"version", "format", "datasets": {key: descriptor}, "benchmarks": {name: key},
//    "meta": {...}, "updated_at"}
//
// A descriptor names its file, dtype ("float64" or "bool"), shape, date labels (`index`), stock
// codes (`columns`) and one XXH64 checksum per row (`checksum["rows"]`, packed little-endian).
// Benchmark daily returns are one-column datasets listed under `benchmarks`.
//
// Crash safety: data files are written under fresh names and synced before the metadata file is
// replaced in one rename, so the record on disk always describes complete files. A tail update
// first commits the new rows in a side file (`tail` in the descriptor), then copies them into the
// main file and commits again; a crash in between leaves a record that reads the side file.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge.hpp"

namespace vantorel::store {

namespace nb = nanobind;

// The state of a store object; Python subclasses add behaviour, not fields.
struct StoreBase {
    nb::object store_dir;      // pathlib.Path
    nb::object matrix_dtype;   // dict: dataset key -> dtype text, order kept
    nb::object metadata_path;  // pathlib.Path
    std::int64_t version = 1;
    std::string fallback_dtype = "float64";
};

inline constexpr const char* kMetadataFile = "metadata.pkl";
inline constexpr const char* kManifestFile = "manifest.json";
inline constexpr const char* kBenchmarkKeyPrefix = "benchmark__";

// A store directory argument as a pathlib.Path (text or os.PathLike accepted).
inline nb::object as_path(nb::handle value, const char* name) {
    nb::object os = nb::module_::import_("os");
    if (!nb::isinstance<nb::str>(value) && PyObject_IsInstance(value.ptr(), os.attr("PathLike").ptr()) != 1)
        bridge::raise_type_error(name, "str or os.PathLike", value);
    return nb::module_::import_("pathlib").attr("Path")(value);
}

// The base's constructor, shared with the modules that derive from it.
inline void init_store(StoreBase& self, nb::handle store_dir, nb::handle matrix_dtype, nb::handle version,
                       nb::handle fallback_dtype) {
    self.store_dir = as_path(store_dir, "store_dir");
    if (!nb::isinstance<nb::dict>(matrix_dtype))
        bridge::raise_type_error("matrix_dtype", "dict", matrix_dtype);
    self.matrix_dtype = nb::borrow<nb::dict>(matrix_dtype).attr("copy")();
    self.version = bridge::int_arg(version, "version");
    self.fallback_dtype = bridge::str_arg(fallback_dtype, "fallback_dtype");
    self.metadata_path = self.store_dir / nb::str(kMetadataFile);
}

// Holds the writer lock of a store directory (`_store._writer_lock`) for the lifetime of the
// object, for the modules that reach the store through Python.
class HeldWriterLock {
public:
    explicit HeldWriterLock(nb::handle store_dir)
        : lock_(nb::module_::import_("vantorel.backtest._store").attr("_writer_lock")(store_dir)) {
        lock_.attr("__enter__")();
    }
    ~HeldWriterLock() {
        try {
            lock_.attr("__exit__")(nb::none(), nb::none(), nb::none());
        } catch (...) {  // releasing cannot fail in a way worth hiding the error in flight for
        }
    }
    HeldWriterLock(const HeldWriterLock&) = delete;
    HeldWriterLock& operator=(const HeldWriterLock&) = delete;

private:
    nb::object lock_;
};

}  // namespace vantorel::store
