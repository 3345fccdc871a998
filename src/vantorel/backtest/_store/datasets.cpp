// Dataset descriptors, their files, and Frames read from or written to them.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <unordered_set>

#include "internal.hpp"
#include "vantorel/assemble.hpp"
#include "vantorel/matrix_file.hpp"
#include "vantorel/row_hash.hpp"

namespace vantorel::store {

using namespace nb::literals;

namespace {

constexpr const char* kChecksumAlgorithm = "xxh64-rows";

[[noreturn]] void bad_descriptor(const std::string& key, const std::string& why) {
    raise_vantorel("回测数据集 " + key + " 的描述信息无效: " + why);
}

// A file name inside the store directory: no separators, no parent references, no hidden names.
bool plain_file_name(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string text_field(const std::string& key, nb::dict d, const char* field) {
    if (!d.contains(field) || !nb::isinstance<nb::str>(d[field]))
        bad_descriptor(key, std::string("缺少 ") + field);
    return nb::cast<std::string>(d[field]);
}

Index count_field(const std::string& key, nb::handle value, const char* field) {
    if (!nb::isinstance<nb::int_>(value))
        bad_descriptor(key, std::string("缺少 ") + field);
    const auto v = nb::cast<std::int64_t>(value);
    if (v < 0)
        bad_descriptor(key, std::string("负数 ") + field);
    return v;
}

struct ChecksumMismatch {
    std::string file;
};

[[noreturn]] void file_fault(const Dataset& d, const FileError& e) {
    const std::string name = std::filesystem::path(e.path()).filename().string();
    switch (e.kind()) {
        case FileError::Kind::Missing:
            raise_vantorel("回测数据集 " + d.key + " 的文件缺失: " + name);
        case FileError::Kind::TooShort:
            raise_vantorel("回测数据集 " + d.key + " 的文件大小与描述不符: " + name);
        case FileError::Kind::NotRegular:
            raise_vantorel("回测数据集 " + d.key + " 的文件不是普通文件: " + name);
        default:
            raise_vantorel("回测数据集 " + d.key + " 的文件无法读取: " + e.what());
    }
}

std::string_view label_view(nb::handle label) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(label.ptr(), &size);
    if (text == nullptr)
        throw nb::python_error();
    return {text, static_cast<std::size_t>(size)};
}

// The checksum of a dataset's labels (date and code texts, series name), 8 bytes little-endian.
// The views point into the label objects, which the descriptor keeps alive.
std::string labels_checksum(const Dataset& d) {
    std::vector<std::string_view> dates, codes;
    dates.reserve(static_cast<std::size_t>(d.rows));
    for (nb::handle label : d.index)
        dates.push_back(label_view(label));
    if (!d.is_series) {
        codes.reserve(static_cast<std::size_t>(d.cols));
        for (nb::handle label : d.columns) {
            if (!nb::isinstance<nb::str>(label))
                bad_descriptor(d.key, "columns 标签不是文本");
            codes.push_back(label_view(label));
        }
    }
    // a name of another type than text is told apart by its repr and a marker
    nb::object name_text;
    std::optional<std::string_view> name;
    if (d.is_series && !d.name.is_none()) {
        name_text = nb::isinstance<nb::str>(d.name) ? d.name : nb::str("\x01") + nb::repr(d.name);
        name = label_view(name_text);
    }
    const std::uint64_t h = hash_labels(dates, d.is_series ? nullptr : &codes, name);
    return std::string(reinterpret_cast<const char*>(&h), 8);
}

void* array_data(nb::handle array) {
    nb::dict iface = nb::borrow<nb::dict>(array.attr("__array_interface__"));
    return reinterpret_cast<void*>(nb::cast<std::uintptr_t>(nb::borrow<nb::tuple>(iface["data"])[0]));
}

nb::object empty_array(const Dataset& d, Index rows) {
    const auto& l = bridge::libs();
    nb::object shape =
        d.is_series ? nb::object(nb::make_tuple(rows)) : nb::object(nb::make_tuple(rows, d.cols));
    return l.np.attr("empty")(shape, "dtype"_a = d.dtype == "bool" ? "bool" : "float64");
}

}  // namespace

std::size_t element_size(const std::string& dtype, const std::string& key) {
    if (dtype == "float64")
        return 8;
    if (dtype == "bool")
        return 1;
    raise_vantorel("回测数据集 " + key + " 的存储类型不受支持: " + dtype);
}

bool blocking_flag(const std::string& key) {
    return key == "cant_sell_stock";
}

Dataset parse_descriptor(const std::string& key, nb::handle descriptor) {
    if (!nb::isinstance<nb::dict>(descriptor))
        bad_descriptor(key, "不是字典");
    nb::dict desc = nb::borrow<nb::dict>(descriptor);
    Dataset d;
    d.key = key;
    d.file = text_field(key, desc, "file");
    d.dtype = text_field(key, desc, "dtype");
    element_size(d.dtype, key);
    if (!plain_file_name(d.file))
        bad_descriptor(key, "文件名 " + d.file);
    if (!desc.contains("shape") || !nb::isinstance<nb::tuple>(desc["shape"]))
        bad_descriptor(key, "缺少 shape");
    nb::tuple shape = nb::borrow<nb::tuple>(desc["shape"]);
    if (shape.size() == 1) {
        d.is_series = true;
        d.rows = count_field(key, shape[0], "shape");
        d.cols = 1;
    } else if (shape.size() == 2) {
        d.rows = count_field(key, shape[0], "shape");
        d.cols = count_field(key, shape[1], "shape");
    } else {
        bad_descriptor(key, "shape");
    }
    if (!desc.contains("index") || !nb::isinstance<nb::list>(desc["index"]) ||
        static_cast<Index>(nb::len(nb::object(desc["index"]))) != d.rows)
        bad_descriptor(key, "index 与 shape 不符");
    d.index = desc["index"];
    for (nb::handle label : d.index)
        if (!nb::isinstance<nb::str>(label))
            bad_descriptor(key, "index 标签不是文本");
    if (d.is_series) {
        d.columns = nb::none();
        d.name = desc.contains("name") ? nb::object(desc["name"]) : nb::none();
    } else {
        if (!desc.contains("columns") || !nb::isinstance<nb::list>(desc["columns"]) ||
            static_cast<Index>(nb::len(nb::object(desc["columns"]))) != d.cols)
            bad_descriptor(key, "columns 与 shape 不符");
        d.columns = desc["columns"];
        d.name = nb::none();
    }
    if (!desc.contains("checksum") || !nb::isinstance<nb::dict>(desc["checksum"]))
        bad_descriptor(key, "缺少 checksum");
    nb::dict checksum = nb::borrow<nb::dict>(desc["checksum"]);
    if (!checksum.contains("rows") || !nb::isinstance<nb::bytes>(checksum["rows"]))
        bad_descriptor(key, "缺少 checksum");
    nb::bytes hashes = nb::borrow<nb::bytes>(checksum["rows"]);
    if (static_cast<Index>(hashes.size()) != d.rows * 8)
        bad_descriptor(key, "checksum 与 shape 不符");
    d.row_hashes.assign(hashes.c_str(), hashes.size());
    // Written since labels were checksummed; older stores have rows checksums only.
    if (checksum.contains("labels")) {
        nb::object stored = checksum["labels"];
        if (!nb::isinstance<nb::bytes>(stored) ||
            std::string_view(nb::borrow<nb::bytes>(stored).c_str(), nb::borrow<nb::bytes>(stored).size()) !=
                labels_checksum(d))
            raise_vantorel("回测数据集 " + key + " 的标签校验和不符: 日期、股票代码或名称已损坏");
    }
    if (desc.contains("tail") && !desc["tail"].is_none()) {
        if (!nb::isinstance<nb::dict>(desc["tail"]))
            bad_descriptor(key, "tail");
        nb::dict tail = nb::borrow<nb::dict>(desc["tail"]);
        TailSegment t;
        t.file = text_field(key, tail, "file");
        if (!plain_file_name(t.file) || t.file == d.file)
            bad_descriptor(key, "文件名 " + t.file);
        t.start_row = tail.contains("start_row") ? count_field(key, tail["start_row"], "start_row") : -1;
        t.rows = tail.contains("rows") ? count_field(key, tail["rows"], "rows") : -1;
        if (t.start_row < 0 || t.rows < 0 || t.start_row + t.rows != d.rows)
            bad_descriptor(key, "tail 与 shape 不符");
        d.tail = t;
    }
    return d;
}

nb::dict make_descriptor(const Dataset& d) {
    nb::dict desc;
    desc["file"] = d.file;
    desc["dtype"] = d.dtype;
    desc["byte_order"] = "little";
    desc["order"] = "C";
    desc["shape"] = d.is_series ? nb::make_tuple(d.rows) : nb::make_tuple(d.rows, d.cols);
    desc["index"] = d.index;
    if (d.is_series)
        desc["name"] = d.name;
    else
        desc["columns"] = d.columns;
    nb::dict checksum;
    checksum["algorithm"] = kChecksumAlgorithm;
    checksum["rows"] = nb::bytes(d.row_hashes.data(), d.row_hashes.size());
    const std::string labels = labels_checksum(d);
    checksum["labels"] = nb::bytes(labels.data(), labels.size());
    desc["checksum"] = checksum;
    if (d.tail) {
        nb::dict tail;
        tail["file"] = d.tail->file;
        tail["start_row"] = d.tail->start_row;
        tail["rows"] = d.tail->rows;
        desc["tail"] = tail;
    }
    return desc;
}

static void check_file_sizes(const std::string& dir, const Dataset& d);

void check_files(const std::string& dir, const Dataset& d) {
    try {
        check_file_sizes(dir, d);
    } catch (const FileError& e) {
        file_fault(d, e);
    }
}

static void check_file_sizes(const std::string& dir, const Dataset& d) {
    const std::uint64_t rb = d.row_bytes();
    const Index main_rows = d.tail ? d.tail->start_row : d.rows;
    const std::int64_t size = file_size(dir + "/" + d.file);
    if (size < 0)
        raise_vantorel("回测数据集 " + d.key + " 的文件缺失: " + d.file);
    const auto expected = static_cast<std::int64_t>(rb * static_cast<std::uint64_t>(main_rows));
    // An interrupted tail copy may leave bytes past the committed rows of the main file.
    if (d.tail ? size < expected : size != expected)
        raise_vantorel("回测数据集 " + d.key + " 的文件大小与描述不符: " + d.file);
    if (d.tail) {
        const std::int64_t tail_size = file_size(dir + "/" + d.tail->file);
        if (tail_size < 0)
            raise_vantorel("回测数据集 " + d.key + " 的文件缺失: " + d.tail->file);
        if (tail_size != static_cast<std::int64_t>(rb * static_cast<std::uint64_t>(d.tail->rows)))
            raise_vantorel("回测数据集 " + d.key + " 的文件大小与描述不符: " + d.tail->file);
    }
}

void read_rows(const std::string& dir, const Dataset& d, Index begin, Index end, void* dest) {
    if (end <= begin)
        return;
    const std::size_t rb = d.row_bytes();
    const Index main_rows = d.tail ? d.tail->start_row : d.rows;
    auto* out = static_cast<char*>(dest);
    try {
        nb::gil_scoped_release release;  // file reads into `dest`, which the caller keeps alive
        if (begin < main_rows) {
            const Index n = std::min(end, main_rows) - begin;
            read_at(dir + "/" + d.file, static_cast<std::uint64_t>(begin) * rb, out,
                    static_cast<std::size_t>(n) * rb);
        }
        if (end > main_rows) {
            const Index first = std::max(begin, main_rows);
            read_at(dir + "/" + d.tail->file, static_cast<std::uint64_t>(first - main_rows) * rb,
                    out + static_cast<std::size_t>(first - begin) * rb,
                    static_cast<std::size_t>(end - first) * rb);
        }
        std::vector<std::uint64_t> hashes(static_cast<std::size_t>(end - begin));
        hash_rows(out, end - begin, rb, hashes.data());
        if (std::memcmp(hashes.data(), d.row_hashes.data() + begin * 8, hashes.size() * 8) != 0) {
            Index bad = begin;
            while (std::memcmp(&hashes[static_cast<std::size_t>(bad - begin)], d.row_hashes.data() + bad * 8,
                               8) == 0)
                ++bad;
            throw ChecksumMismatch{bad < main_rows ? d.file : d.tail->file};
        }
    } catch (const FileError& e) {
        file_fault(d, e);
    } catch (const ChecksumMismatch& e) {
        raise_vantorel("回测数据集 " + d.key + " 的校验和不符: " + e.file);
    }
}

nb::object rows_array(const std::string& dir, const Dataset& d, Index begin, Index end, bool mmap) {
    const Index rows = std::max<Index>(end - begin, 0);
    const Index main_rows = d.tail ? d.tail->start_row : d.rows;
    if (mmap && rows > 0 && d.cols > 0 && end <= main_rows) {
        // A read-only view of the file: the pages are shared with the page cache, never copied.
        FileMapping* mapping = nullptr;
        try {
            mapping = new FileMapping(dir + "/" + d.file, static_cast<std::uint64_t>(begin) * d.row_bytes(),
                                      static_cast<std::size_t>(rows) * d.row_bytes());
        } catch (const FileError& e) {
            file_fault(d, e);
        }
        nb::capsule owner(mapping, [](void* p) noexcept { delete static_cast<FileMapping*>(p); });
        const std::size_t ndim = d.is_series ? 1 : 2;
        const std::size_t shape[2] = {static_cast<std::size_t>(rows), static_cast<std::size_t>(d.cols)};
        if (d.dtype == "bool")
            return nb::ndarray<nb::numpy, const bool>(mapping->data(), ndim, shape, owner).cast();
        return nb::ndarray<nb::numpy, const double>(mapping->data(), ndim, shape, owner).cast();
    }
    nb::object array = empty_array(d, rows);
    read_rows(dir, d, begin, end, array_data(array));
    if (mmap)  // rows of an interrupted tail update: read, but as read-only as a mapping would be
        array.attr("setflags")("write"_a = false);
    return array;
}

nb::object dataset_object(const std::string& dir, const Dataset& d, Index begin, Index end, bool mmap) {
    const auto& l = bridge::libs();
    nb::object array = rows_array(dir, d, begin, end, mmap);
    nb::object labels = d.index[nb::steal(PySlice_New(nb::int_(begin).ptr(), nb::int_(end).ptr(), nullptr))];
    nb::object index = l.Index(labels, "dtype"_a = "str");
    if (d.is_series)
        return l.Series(array, "index"_a = index, "name"_a = d.name, "copy"_a = false);
    nb::object columns = l.Index(d.columns, "dtype"_a = "str");
    return l.DataFrame(array, "index"_a = index, "columns"_a = columns, "copy"_a = false);
}

std::string fresh_file_name(const std::string& key, const char* suffix) {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t seed = std::random_device{}();
    std::string base;
    for (char c : key)
        base.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_');
    if (base.empty())
        base = "dataset";
    const std::uint64_t token =
        hash_bytes(&seed, sizeof seed) ^
        (static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
         0x9E3779B97F4A7C15ULL) ^
        (++counter * 0xC2B2AE3D27D4EB4FULL);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(token));
    return base + "." + hex + suffix;
}

Incoming read_incoming(nb::handle obj, const std::string& key) {
    Incoming in;
    nb::object frame;
    if (bridge::is_series(obj)) {
        in.is_series = true;
        in.name = obj.attr("name");
        frame = obj.attr("to_frame")();
        in.codes = {""};
    } else if (bridge::is_frame(obj)) {
        frame = nb::borrow(obj);
        in.name = nb::none();
        in.codes = code_labels(frame.attr("columns"));
    } else {
        bridge::raise_type_error(key.c_str(), "pandas.DataFrame", obj);
    }
    in.dates = date_labels(frame.attr("index"));
    std::unordered_set<std::string> seen(in.codes.begin(), in.codes.end());
    if (seen.size() != in.codes.size()) {
        const std::string msg = "数据集 " + key + " 的股票代码重复";
        throw nb::value_error(msg.c_str());
    }
    std::vector<Index> order(in.dates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](Index a, Index b) { return in.dates[a] < in.dates[b]; });
    std::vector<std::string> sorted;
    sorted.reserve(order.size());
    for (Index i : order) {
        if (!sorted.empty() && sorted.back() == in.dates[i]) {
            const std::string msg = "数据集 " + key + " 的日期标签重复: '" + in.dates[i] + "'";
            throw nb::value_error(msg.c_str());
        }
        sorted.push_back(in.dates[i]);
    }
    in.dates = std::move(sorted);
    in.frame = bridge::frame_arg(frame, key.c_str());
    in.view = AlignedView(in.frame.view, order, identity_map(static_cast<Index>(in.codes.size())));
    in.order = std::move(order);
    return in;
}

Dataset write_block(const std::string& dir, const std::string& key, const std::string& dtype,
                    const std::vector<std::string>& dates, const std::vector<std::string>& codes,
                    bool is_series, nb::handle name, const void* data) {
    Dataset d;
    d.key = key;
    d.dtype = dtype;
    d.rows = static_cast<Index>(dates.size());
    d.cols = is_series ? 1 : static_cast<Index>(codes.size());
    d.is_series = is_series;
    d.index = to_list(dates);
    d.columns = is_series ? nb::none() : nb::object(to_list(codes));
    d.name = nb::borrow(name);
    d.file = fresh_file_name(key, ".bin");
    const std::size_t rb = d.row_bytes();
    d.row_hashes.resize(static_cast<std::size_t>(d.rows) * 8);
    try {
        nb::gil_scoped_release release;  // hashes and writes a buffer the caller owns
        hash_rows(data, d.rows, rb, reinterpret_cast<std::uint64_t*>(d.row_hashes.data()));
        write_file(dir + "/" + d.file, data, static_cast<std::size_t>(d.rows) * rb);
    } catch (const FileError& e) {
        raise_vantorel("回测数据集 " + key + " 无法写入: " + e.what());
    }
    return d;
}

nb::dict write_matrix(nb::handle store_dir, const std::string& key, nb::handle matrix,
                      const std::string& dtype) {
    const std::string dir = path_text(store_dir);
    const std::size_t size = element_size(dtype, key);
    const Incoming in = read_incoming(matrix, key);
    const Index rows = static_cast<Index>(in.dates.size());
    const Index cols = in.is_series ? 1 : static_cast<Index>(in.codes.size());
    std::vector<RowSource> sources(static_cast<std::size_t>(rows));
    for (Index i = 0; i < rows; ++i)
        sources[static_cast<std::size_t>(i)] = RowSource{&in.view, i};
    std::vector<std::uint8_t> block(static_cast<std::size_t>(rows * cols) * size);
    {
        nb::gil_scoped_release release;  // reads the viewed values kept alive by `in`
        if (dtype == "bool")
            assemble_flags(sources, cols, blocking_flag(key), block.data());
        else
            assemble_numbers(sources, cols, reinterpret_cast<double*>(block.data()));
    }
    const Dataset d = write_block(dir, key, dtype, in.dates, in.codes, in.is_series, in.name, block.data());
    return make_descriptor(d);
}

}  // namespace vantorel::store
