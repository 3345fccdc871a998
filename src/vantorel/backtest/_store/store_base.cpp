// BinaryPreparedDataStoreBase: construction, metadata, ranged loads, whole-store writes.
#include <chrono>
#include <thread>

#include "internal.hpp"
#include "vantorel/dates.hpp"

namespace vantorel::store {

using namespace nb::literals;

namespace {

std::optional<std::string> optional_date(nb::handle value, const char* name) {
    if (value.is_none())
        return std::nullopt;
    // Its type error is about the value given, which the caller knows by this name.
    try {
        return normalize_date(value);
    } catch (const nb::builtin_exception& e) {
        if (e.type() != nb::exception_type::type_error)
            throw;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError))
            throw;
    }
    bridge::raise_type_error(name, "str, int or None", value);
}

std::vector<std::string> requested_keys(nb::handle keys, nb::dict datasets, nb::dict benchmarks,
                                        nb::handle catalogue) {
    std::vector<std::string> out;
    if (keys.is_none() && catalogue.is_valid()) {
        for (nb::handle k : catalogue)
            if (datasets.contains(k))
                out.push_back(nb::cast<std::string>(k));
        return out;
    }
    if (keys.is_none()) {
        nb::object benchmark_keys = nb::module_::import_("builtins").attr("set")(benchmarks.attr("values")());
        for (auto [k, v] : datasets)
            if (!nb::cast<bool>(benchmark_keys.attr("__contains__")(k)))
                out.push_back(nb::cast<std::string>(k));
        return out;
    }
    if (nb::isinstance<nb::str>(keys) || !nb::hasattr(keys, "__iter__"))
        bridge::raise_type_error("keys", "list of str", keys);
    for (nb::handle k : keys) {
        if (!nb::isinstance<nb::str>(k))
            bridge::raise_type_error("keys", "list of str", keys);
        out.push_back(nb::cast<std::string>(k));
    }
    return out;
}

// Rows of a dataset within the bounds: one contiguous range, as the labels ascend.
std::pair<Index, Index> row_range(const Dataset& d, const std::optional<std::string>& lo,
                                  const std::optional<std::string>& hi) {
    std::vector<std::string> labels = from_list(d.index);
    for (std::size_t i = 1; i < labels.size(); ++i)
        if (!(labels[i - 1] < labels[i]))
            raise_vantorel("回测数据集 " + d.key + " 的描述信息无效: index 未按升序排列");
    std::vector<std::string_view> views(labels.begin(), labels.end());
    const IndexMap pos = positions_in_range(views, lo, hi);
    if (pos.empty())
        return {0, 0};
    return {pos.front(), pos.back() + 1};
}

// One read of the requested datasets as `metadata` describes them.
nb::dict load_from(const StoreBase& self, nb::dict metadata, const std::optional<std::string>& lo,
                   const std::optional<std::string>& hi, nb::handle keys, nb::handle catalogue,
                   bool use_mmap) {
    nb::dict datasets = metadata.contains("datasets") && nb::isinstance<nb::dict>(metadata["datasets"])
                            ? nb::borrow<nb::dict>(metadata["datasets"])
                            : nb::dict();
    nb::dict benchmarks = metadata.contains("benchmarks") && nb::isinstance<nb::dict>(metadata["benchmarks"])
                              ? nb::borrow<nb::dict>(metadata["benchmarks"])
                              : nb::dict();
    const std::string dir = path_text(self.store_dir);

    auto read = [&](const std::string& key) {
        if (!datasets.contains(key.c_str()))
            raise_vantorel("回测数据不包含数据集: " + key);
        const Dataset d = parse_descriptor(key, datasets[key.c_str()]);
        check_files(dir, d);
        const auto [begin, end] = row_range(d, lo, hi);
        return dataset_object(dir, d, begin, end, use_mmap);
    };
    nb::dict data;
    for (const std::string& key : requested_keys(keys, datasets, benchmarks, catalogue))
        data[key.c_str()] = read(key);
    nb::dict benchmark_dict;
    for (auto [name, key] : benchmarks)
        benchmark_dict[name] = read(nb::cast<std::string>(key));
    data["benchmark_dict"] = benchmark_dict;

    nb::dict out;
    out["version"] = metadata.contains("version") ? nb::object(metadata["version"]) : nb::cast(self.version);
    out["meta"] = metadata.contains("meta") ? nb::object(metadata["meta"]) : nb::dict();
    out["data"] = data;
    return out;
}

bool metadata_changed(const StoreBase& self, const std::string& bytes) {
    try {
        return read_metadata_bytes(self.metadata_path) != bytes;
    } catch (nb::python_error&) {
        return true;  // gone or replaced by something unreadable
    }
}

constexpr int kReadAttempts = 30;

// Readers take no lock: a writer may hold it for minutes (a download), and a reader of a read-only
// directory could not create the lock file. Writers never change a file that a committed record
// lists except the rows a tail copy moves into place, and every change ends by renaming a new
// record into place. So a read that fails while the record changed is retried on the new record;
// a fault that stays with an unchanged record is real and raised. Checked rows (mmap=False) are
// those of the record read; mapped rows are not checked, so a mapped read is also repeated when
// the record changed under it.
nb::dict load_consistent(const StoreBase& self, nb::handle start_date, nb::handle end_date, nb::handle keys,
                         nb::handle mmap, nb::handle catalogue) {
    // Python's and NumPy's booleans; nothing else has an obvious meaning here.
    if (!PyBool_Check(mmap.ptr()) && !nb::isinstance(mmap, bridge::libs().np.attr("bool_")))
        bridge::raise_type_error("mmap", "bool", mmap);
    const bool use_mmap = bridge::truthy(mmap);
    const auto lo = optional_date(start_date, "start_date");
    const auto hi = optional_date(end_date, "end_date");
    for (int attempt = 1;; ++attempt) {
        const std::string bytes = read_metadata_bytes(self.metadata_path);
        nb::object result;
        try {
            result =
                load_from(self, parse_metadata(bytes, self.metadata_path), lo, hi, keys, catalogue, use_mmap);
        } catch (nb::python_error&) {
            if (attempt >= kReadAttempts || !metadata_changed(self, bytes))
                throw;
        }
        if (result.is_valid() && (!use_mmap || attempt >= kReadAttempts || !metadata_changed(self, bytes)))
            return nb::borrow<nb::dict>(result);
        nb::gil_scoped_release release;  // let the writer finish its commit
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(2 * attempt, 50)));
    }
}

}  // namespace

nb::dict load_store(const StoreBase& self, nb::handle start_date, nb::handle end_date, nb::handle keys,
                    nb::handle mmap) {
    return load_consistent(self, start_date, end_date, keys, mmap, nb::handle());
}

void register_store(nb::module_& m) {
    nb::class_<StoreBase>(
        m, "BinaryPreparedDataStoreBase",
        "A directory of prepared backtest matrices: one raw file per dataset and a pickled\n"
        "metadata record describing them. Holds no open files; every call reads the\n"
        "metadata again.")
        .def(
            "__init__",
            [](StoreBase* self, nb::handle store_dir, nb::handle matrix_dtype, nb::handle version,
               nb::handle fallback_dtype) {
                new (self) StoreBase();
                init_store(*self, store_dir, matrix_dtype, version, fallback_dtype);
            },
            "store_dir"_a.none(), "matrix_dtype"_a.none(), "version"_a.none(), "fallback_dtype"_a.none(),
            nb::sig("def __init__(self, store_dir: str | os.PathLike, matrix_dtype: dict[str, str], version: "
                    "int, "
                    "fallback_dtype: str) -> None"))
        .def_prop_ro("store_dir", [](const StoreBase& s) { return s.store_dir; })
        .def_prop_ro("matrix_dtype", [](const StoreBase& s) { return s.matrix_dtype; })
        .def_prop_ro("metadata_path", [](const StoreBase& s) { return s.metadata_path; })
        .def_prop_ro("version", [](const StoreBase& s) { return s.version; })
        .def_prop_ro("fallback_dtype", [](const StoreBase& s) { return s.fallback_dtype; })
        .def(
            "load_metadata", [](const StoreBase& s) { return read_metadata(s.metadata_path); },
            "The metadata record. FileNotFoundError when the store has none; VantorelError when the\n"
            "file cannot be read or names anything but containers, scalars and date/time values.")
        .def("load", &load_store, "start_date"_a.none() = nb::none(), "end_date"_a.none() = nb::none(),
             "keys"_a.none() = nb::none(), "mmap"_a.none() = true,
             nb::sig("def load(self, start_date: str | int | None = None, end_date: str | int | None = None, "
                     "keys: list[str] | None = None, mmap: bool = True) -> dict"),
             "{\"version\", \"meta\", \"data\"}: a Frame per requested key (every non-benchmark dataset\n"
             "when keys is None) cut to the inclusive date bounds, plus \"benchmark_dict\".\n\n"
             "Only the requested rows are read. With mmap=True the arrays are read-only mappings of\n"
             "the files (sizes checked, checksums not); with mmap=False they are owned copies whose\n"
             "row checksums are verified. Faulty files raise VantorelError naming the dataset.\n\n"
             "Takes no lock: a read disturbed by a concurrent writer is repeated on the metadata the\n"
             "writer committed.")
        .def(
            "_load_catalogue",
            [](const StoreBase& s, nb::handle start_date, nb::handle end_date, nb::handle mmap) {
                return load_consistent(s, start_date, end_date, nb::none(), mmap, s.matrix_dtype);
            },
            "start_date"_a.none(), "end_date"_a.none(), "mmap"_a.none(),
            nb::sig("def _load_catalogue(self, start_date: str | int | None, end_date: str | int | None, "
                    "mmap: bool) -> dict"),
            "As load(keys=None), but only the datasets of matrix_dtype that the store holds, in that\n"
            "order; chosen from the same metadata record that the rows are read with.")
        .def(
            "update_tail", [](const StoreBase& s, nb::handle payload) { return update_tail(s, payload); },
            "payload"_a.none(), nb::sig("def update_tail(self, payload: dict) -> bool"),
            "Merges a payload into the store: its rows replace stored rows of the same dates and add\n"
            "later dates (appended; a file is rewritten only when new codes add columns). Missing\n"
            "cells are NaN, or the blocking value in the two tradability masks. False, with nothing\n"
            "written, when the store has no metadata, datasets or benchmarks, or the payload lacks a\n"
            "stored benchmark. A crash at any point leaves the old or the new rows, never a mix.")
        .def(
            "write", [](const StoreBase& s, nb::handle payload) { write_payload(s, payload); },
            "payload"_a.none(), nb::sig("def write(self, payload: dict) -> None"),
            "Writes a whole store from a payload ({\"version\", \"meta\", \"data\"}), replacing any store\n"
            "in the directory in one step.")
        .def("__repr__", [](const StoreBase& s) {
            return "<" + nb::cast<std::string>(nb::type_name(nb::handle(nb::find(s).type()))) + " " +
                   path_text(s.store_dir) + ">";
        });
}

}  // namespace vantorel::store
