// The metadata record (a pickle read back through a restricted unpickler) and the manifest.
#include <filesystem>
#include <set>
#include <unordered_set>

#include "internal.hpp"
#include "vantorel/matrix_file.hpp"
#include "vantorel/row_hash.hpp"

namespace vantorel::store {

using namespace nb::literals;

namespace {

// The record may come from a downloaded package, and a plain unpickler runs whatever callable the
// stream names. Only containers, scalars and date/time values may be rebuilt, and nothing may grow
// far beyond the stream that describes it: `bytes`, `bytearray` and `_codecs.encode` (how protocol
// 2 spells bytes) are wrapped so that they only convert data the stream holds.
bool allowed_global(const std::string& module, const std::string& name) {
    static const std::set<std::pair<std::string, std::string>> kAllowed = {
        {"builtins", "set"},      {"builtins", "frozenset"},
        {"builtins", "complex"},  {"collections", "OrderedDict"},
        {"datetime", "date"},     {"datetime", "datetime"},
        {"datetime", "time"},     {"datetime", "timedelta"},
        {"datetime", "timezone"},
    };
    return kAllowed.count({module, name}) > 0;
}

[[noreturn]] void refused(const std::string& what) {
    raise_vantorel("回测数据元信息文件包含不允许的对象: " + what);
}

nb::object restricted_find_class(const std::string& stream_module, const std::string& name) {
    // protocols below 3 name the builtins module as Python 2 did
    const std::string module = stream_module == "__builtin__" ? "builtins" : stream_module;
    if (module == "_codecs" && name == "encode")
        return nb::cpp_function(
            [](nb::handle text, nb::handle encoding) {
                // bytes pickled at protocol 2: a str of code points below 256, encoded as latin-1
                if (!nb::isinstance<nb::str>(text) || !nb::isinstance<nb::str>(encoding))
                    refused("_codecs.encode");
                const std::string enc = nb::cast<std::string>(encoding);
                if (enc != "latin1" && enc != "latin-1")
                    refused("_codecs.encode(" + enc + ")");
                return nb::steal(PyUnicode_AsLatin1String(text.ptr()));
            },
            nb::arg("obj"), nb::arg("encoding"));
    if (module == "builtins" && (name == "bytearray" || name == "bytes"))
        return nb::cpp_function([name](nb::args args) {
            // a copy of bytes the stream holds (protocol 2 spells b"" as bytes()); a size, as in
            // bytearray(n), would allocate at the stream's will
            if (args.size() > 0 && !nb::isinstance<nb::bytes>(args[0]) && !nb::isinstance<nb::str>(args[0]))
                refused(name + "(" + nb::cast<std::string>(nb::str(nb::type_name(args[0].type()))) + ")");
            return nb::module_::import_("builtins").attr(name.c_str())(*args);
        });
    if (!allowed_global(module, name))
        refused(module + "." + name);
    return nb::module_::import_(module.c_str()).attr(name.c_str());
}

nb::object unpickler_type() {
    static nb::object* type = [] {
        nb::object pickle = nb::module_::import_("pickle");
        nb::object builtins = nb::module_::import_("builtins");
        nb::object t =
            builtins.attr("type")("_MetadataUnpickler", nb::make_tuple(pickle.attr("Unpickler")), nb::dict());
        return new nb::object(t);
    }();
    return *type;
}

std::string hex64(std::uint64_t v) {
    static const char* digits = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, v >>= 4)
        out[static_cast<std::size_t>(i)] = digits[v & 15];
    return out;
}

}  // namespace

std::string path_text(nb::handle path) {
    return nb::cast<std::string>(nb::module_::import_("os").attr("fspath")(path));
}

std::string read_metadata_bytes(nb::handle metadata_path) {
    const std::string path = path_text(metadata_path);
    std::string bytes;
    try {
        nb::gil_scoped_release release;  // plain file read into a buffer this call owns
        bytes = read_whole(path, kMaxMetadataBytes);
    } catch (const FileError& e) {
        if (e.kind() == FileError::Kind::Missing) {
            const std::string msg = "未找到回测数据元信息文件: " + path;
            PyErr_SetString(PyExc_FileNotFoundError, msg.c_str());
            throw nb::python_error();
        }
        if (e.kind() == FileError::Kind::NotRegular)
            raise_vantorel("回测数据元信息文件不是普通文件: " + path);
        if (e.kind() == FileError::Kind::TooLarge)
            raise_vantorel("回测数据元信息文件过大(上限 " + std::to_string(kMaxMetadataBytes >> 20) +
                           " MB): " + path);
        raise_vantorel(std::string("回测数据元信息文件无法读取: ") + e.what());
    }
    return bytes;
}

nb::dict parse_metadata(const std::string& bytes, nb::handle metadata_path) {
    nb::object stream = nb::module_::import_("io").attr("BytesIO")(nb::bytes(bytes.data(), bytes.size()));
    nb::object unpickler = unpickler_type()(stream);
    unpickler.attr("find_class") = nb::cpp_function(&restricted_find_class);
    nb::object record;
    try {
        record = unpickler.attr("load")();
    } catch (nb::python_error& e) {
        if (e.matches(bridge::vantorel_error_type()))
            throw;
        raise_vantorel("回测数据元信息文件无法读取: " + path_text(metadata_path) + " (" +
                       bridge::error_text(e) + ")");
    }
    if (!nb::isinstance<nb::dict>(record))
        raise_vantorel("回测数据元信息文件格式无效: " + path_text(metadata_path));
    // Every reader and writer walks these entries as mappings.
    nb::dict md = nb::borrow<nb::dict>(record);
    for (const char* entry : {"datasets", "benchmarks", "meta"}) {
        if (md.contains(entry) && !nb::isinstance<nb::dict>(md[entry]))
            raise_vantorel("回测数据元信息文件格式无效: " + std::string(entry) + " 不是映射 (" +
                           path_text(metadata_path) + ")");
    }
    // Dataset keys and benchmark names and keys are texts: file names and labels are built from them.
    for (const char* entry : {"datasets", "benchmarks"}) {
        if (!md.contains(entry))
            continue;
        for (auto [key, value] : nb::borrow<nb::dict>(md[entry]))
            if (!nb::isinstance<nb::str>(key) ||
                (std::string(entry) == "benchmarks" && !nb::isinstance<nb::str>(value)))
                raise_vantorel("回测数据元信息文件格式无效: " + std::string(entry) + " 含有非文本的名称 (" +
                               path_text(metadata_path) + ")");
    }
    return nb::borrow<nb::dict>(record);
}

nb::dict read_metadata(nb::handle metadata_path) {
    return parse_metadata(read_metadata_bytes(metadata_path), metadata_path);
}

void commit_metadata(nb::handle metadata_path, nb::handle metadata) {
    nb::object pickle = nb::module_::import_("pickle");
    nb::bytes data =
        nb::borrow<nb::bytes>(pickle.attr("dumps")(metadata, "protocol"_a = pickle.attr("HIGHEST_PROTOCOL")));
    const std::string path = path_text(metadata_path);
    nb::gil_scoped_release release;  // the bytes object is kept alive by `data`
    // Entries of the data files just written reach the disk before the record that lists them.
    const std::string parent = std::filesystem::path(path).parent_path().string();
    sync_directory(parent.empty() ? std::string(".") : parent);
    replace_file(path, data.c_str(), data.size());
}

std::string now_text() {
    nb::object datetime = nb::module_::import_("datetime").attr("datetime");
    return nb::cast<std::string>(datetime.attr("now")().attr("isoformat")("timespec"_a = "microseconds"));
}

void write_manifest(nb::handle store_dir, nb::handle metadata) {
    const std::string dir = path_text(store_dir);
    nb::dict files;
    std::unordered_set<std::string> listed;
    nb::dict md = nb::borrow<nb::dict>(metadata);
    if (md.contains("datasets")) {
        for (auto [key, desc] : nb::borrow<nb::dict>(md["datasets"])) {
            const Dataset d = parse_descriptor(nb::cast<std::string>(key), desc);
            // A file's checksum is the XXH64 of its row checksums: cheap to refresh after an append.
            const Index main_rows = d.tail ? d.tail->start_row : d.rows;
            nb::dict entry;
            entry["dataset"] = key;
            entry["size"] = static_cast<std::uint64_t>(main_rows) * d.row_bytes();
            entry["checksum"] =
                hex64(hash_bytes(d.row_hashes.data(), static_cast<std::size_t>(main_rows) * 8));
            files[nb::str(d.file.c_str())] = entry;
            listed.insert(d.file);
            if (d.tail) {
                nb::dict tail;
                tail["dataset"] = key;
                tail["size"] = static_cast<std::uint64_t>(d.tail->rows) * d.row_bytes();
                tail["checksum"] = hex64(hash_bytes(d.row_hashes.data() + main_rows * 8,
                                                    static_cast<std::size_t>(d.tail->rows) * 8));
                files[nb::str(d.tail->file.c_str())] = tail;
                listed.insert(d.tail->file);
            }
        }
    }
    std::string record_checksum;
    {
        const std::string meta_path = dir + "/" + kMetadataFile;
        const std::int64_t size = file_size(meta_path);
        if (size >= 0) {
            const std::string bytes = read_whole(meta_path, kMaxMetadataBytes);
            record_checksum = hex64(hash_bytes(bytes.data(), bytes.size()));
            nb::dict entry;
            entry["size"] = size;
            entry["checksum"] = record_checksum;
            files[kMetadataFile] = entry;
        }
    }
    nb::dict manifest;
    manifest["format"] = "vantorel-prepared-data";
    manifest["checksum_algorithm"] = "xxh64";
    manifest["version"] = md.contains("version") ? nb::object(md["version"]) : nb::none();
    manifest["updated_at"] = now_text();
    manifest["files"] = files;
    nb::object json = nb::module_::import_("json");
    const std::string text =
        nb::cast<std::string>(json.attr("dumps")(manifest, "indent"_a = 1, "sort_keys"_a = true));
    {
        nb::gil_scoped_release release;
        replace_file(dir + "/" + kManifestFile, text.data(), text.size());
        // Data files the record no longer lists, and temporaries of interrupted writes.
        for (const std::string& name : list_files(dir)) {
            const bool data_file = name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0;
            const bool temporary = name.find(".tmp-") != std::string::npos;
            if ((data_file && listed.count(name) == 0) || temporary)
                remove_file(dir + "/" + name);
        }
    }
}

}  // namespace vantorel::store
