// Whole-store writes from a payload, and tail updates that append new dates.
#include <algorithm>
#include <filesystem>

#include "internal.hpp"
#include "vantorel/assemble.hpp"
#include "vantorel/matrix_file.hpp"
#include "vantorel/row_hash.hpp"
#include "vantorel/tail_merge.hpp"

namespace vantorel::store {

using namespace nb::literals;

namespace {

nb::dict payload_data(nb::handle payload) {
    if (!nb::isinstance<nb::dict>(payload))
        bridge::raise_type_error("payload", "dict", payload);
    nb::dict p = nb::borrow<nb::dict>(payload);
    if (!p.contains("data") || !nb::isinstance<nb::dict>(p["data"]))
        bridge::raise_type_error("payload", "dict with a 'data' dict", payload);
    return nb::borrow<nb::dict>(p["data"]);
}

nb::dict dict_or_empty(nb::handle d, const char* key) {
    nb::dict src = nb::borrow<nb::dict>(d);
    if (src.contains(key) && nb::isinstance<nb::dict>(src[key]))
        return nb::borrow<nb::dict>(src[key]);
    return nb::dict();
}

nb::dict copy_dict(nb::handle d) {
    return nb::borrow<nb::dict>(nb::borrow<nb::dict>(d).attr("copy")());
}

std::string dtype_for(const StoreBase& store, const std::string& key) {
    nb::dict dtypes = nb::borrow<nb::dict>(store.matrix_dtype);
    if (dtypes.contains(key.c_str()))
        return nb::cast<std::string>(dtypes[key.c_str()]);
    return store.fallback_dtype;
}

// The datasets of a payload: its Frames, and one dataset per benchmark series.
struct PayloadItem {
    std::string key;
    nb::object value;
    std::string benchmark;  // benchmark name, empty for a matrix
};

std::vector<PayloadItem> payload_items(nb::dict data, nb::dict known_benchmarks) {
    std::vector<PayloadItem> items;
    for (auto [k, v] : data) {
        const std::string key = nb::cast<std::string>(nb::str(k));
        if (key == "benchmark_dict") {
            if (!nb::isinstance<nb::dict>(v))
                bridge::raise_type_error("benchmark_dict", "dict", v);
            for (auto [name, series] : nb::borrow<nb::dict>(v)) {
                const std::string bench = nb::cast<std::string>(nb::str(name));
                const std::string bkey = known_benchmarks.contains(bench.c_str())
                                             ? nb::cast<std::string>(known_benchmarks[bench.c_str()])
                                             : kBenchmarkKeyPrefix + bench;
                if (!bridge::is_series(series))
                    bridge::raise_type_error(bkey.c_str(), "pandas.Series", series);
                items.push_back({bkey, nb::borrow(series), bench});
            }
        } else {
            if (!bridge::is_frame(v))
                bridge::raise_type_error(key.c_str(), "pandas.DataFrame", v);
            items.push_back({key, nb::borrow(v), ""});
        }
    }
    return items;
}

MatrixView block_view(const std::vector<std::uint8_t>& block, const std::string& dtype, Index rows,
                      Index cols) {
    return MatrixView{
        block.data(), dtype == "bool" ? ElementKind::Bool : ElementKind::Float64, rows, cols, cols, 1};
}

// Payload rows merged into a stored dataset, as plan_tail_merge places them.
Dataset merge_dataset(const std::string& dir, const Dataset& old, const PayloadItem& item, const Incoming& in,
                      const nb::dict& datasets) {
    const std::vector<std::string> stored_dates = from_list(old.index);
    const std::vector<std::string> stored_codes =
        old.is_series ? std::vector<std::string>{""} : from_list(old.columns);
    const TailMerge plan = plan_tail_merge(stored_dates, stored_codes, old.is_series, in.dates, in.codes);
    const std::vector<std::string>& codes = plan.codes;
    const Index cut = plan.cut, first_read = plan.first_read;
    const Index n_stored = old.rows;

    // Stored rows that survive, read back (and checked) from the files.
    const std::size_t size = element_size(old.dtype, old.key);
    const Index cols = static_cast<Index>(codes.size());
    std::vector<std::uint8_t> stored(static_cast<std::size_t>((n_stored - first_read) * old.cols) * size);
    read_rows(dir, old, first_read, n_stored, stored.data());
    const AlignedView stored_view(block_view(stored, old.dtype, n_stored - first_read, old.cols),
                                  identity_map(n_stored - first_read), plan.stored_columns);
    const AlignedView in_view(in.frame.view, in.order, plan.incoming_columns);

    std::vector<RowSource> sources;
    sources.reserve(plan.rows.size());
    for (const TailMerge::Row& row : plan.rows)
        sources.push_back({row.incoming ? &in_view : &stored_view, row.row});
    const std::vector<std::string>& out_dates = plan.out_dates;
    const auto out_rows = static_cast<Index>(sources.size());
    std::vector<std::uint8_t> block(static_cast<std::size_t>(out_rows * cols) * size);
    {
        nb::gil_scoped_release release;  // reads the payload values and `stored`, both kept alive here
        if (old.dtype == "bool")
            assemble_flags(sources, cols, blocking_flag(old.key), block.data());
        else
            assemble_numbers(sources, cols, reinterpret_cast<double*>(block.data()));
    }

    // The builder cannot know the previous close of its first date; the store does.
    if (old.key == "prev_close" && cut > 0 && datasets.contains("close_price")) {
        const Dataset close = parse_descriptor("close_price", datasets["close_price"]);
        const std::vector<std::string> close_dates = from_list(close.index);
        const std::string& previous = stored_dates[static_cast<std::size_t>(cut - 1)];
        auto it = std::lower_bound(close_dates.begin(), close_dates.end(), previous);
        if (it != close_dates.end() && *it == previous && !close.is_series) {
            const auto row = static_cast<Index>(it - close_dates.begin());
            std::vector<std::uint8_t> close_row(close.row_bytes());
            read_rows(dir, close, row, row + 1, close_row.data());
            const AlignedView close_view(block_view(close_row, close.dtype, 1, close.cols), identity_map(1),
                                         text_positions(from_list(close.columns), codes));
            std::vector<double> fallback(static_cast<std::size_t>(cols));
            close_view.read_row(0, fallback.data());
            const Index first = static_cast<Index>(
                std::find(out_dates.begin(), out_dates.end(), in.dates.front()) - out_dates.begin());
            fill_missing(reinterpret_cast<double*>(block.data()) + first * cols, fallback.data(), cols);
        }
    }

    if (plan.rewrite)
        return write_block(dir, old.key, old.dtype, out_dates, codes, old.is_series, old.name, block.data());

    Dataset next = old;
    const std::vector<std::string>& tail_dates = plan.tail_dates;
    const auto tail_rows = static_cast<Index>(tail_dates.size());
    next.tail = TailSegment{fresh_file_name(old.key, ".tail.bin"), cut, tail_rows};
    next.rows = cut + tail_rows;
    std::vector<std::string> dates(stored_dates.begin(), stored_dates.begin() + cut);
    dates.insert(dates.end(), tail_dates.begin(), tail_dates.end());
    next.index = to_list(dates);
    next.row_hashes.resize(static_cast<std::size_t>(next.rows) * 8);
    try {
        nb::gil_scoped_release release;  // hashes and writes `block`, owned here
        hash_rows(block.data(), tail_rows, old.row_bytes(),
                  reinterpret_cast<std::uint64_t*>(next.row_hashes.data()) + cut);
        write_file(dir + "/" + next.tail->file, block.data(), block.size());
    } catch (const FileError& e) {
        raise_vantorel("回测数据集 " + old.key + " 无法写入: " + e.what());
    }
    (void)item;
    return next;
}

// Names in first-seen order without repeats.
nb::list merged_names(nb::handle a, nb::handle b) {
    nb::list out;
    nb::object seen = nb::module_::import_("builtins").attr("set")();
    for (nb::handle list : {a, b}) {
        if (!nb::isinstance<nb::list>(list))
            continue;
        for (nb::handle name : list)
            if (!nb::cast<bool>(seen.attr("__contains__")(name))) {
                seen.attr("add")(name);
                out.append(name);
            }
    }
    return out;
}

nb::dict merged_meta(nb::handle old_meta, nb::handle payload, const std::string& now) {
    nb::dict meta = nb::isinstance<nb::dict>(old_meta) ? copy_dict(old_meta) : nb::dict();
    nb::dict incoming = dict_or_empty(payload, "meta");
    for (auto [k, v] : incoming) {
        const std::string key = nb::cast<std::string>(nb::str(k));
        if (key == "start_date" && meta.contains("start_date"))
            continue;  // the store still begins where it began
        if (key == "component_names" && meta.contains("component_names")) {
            meta[k] = merged_names(meta[k], v);
        } else if (key == "component_dataset_keys" && meta.contains(k) && nb::isinstance<nb::dict>(meta[k]) &&
                   nb::isinstance<nb::dict>(v)) {
            nb::dict keys = copy_dict(meta[k]);
            keys.attr("update")(v);
            meta[k] = keys;
        } else {
            meta[k] = v;
        }
    }
    meta["updated_at"] = now;
    return meta;
}

}  // namespace

void write_payload(const StoreBase& store, nb::handle payload) {
    nb::dict data = payload_data(payload);
    const WriterLock lock(store.store_dir);
    store.store_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    const std::string dir = path_text(store.store_dir);
    nb::dict datasets, benchmarks;
    for (const PayloadItem& item : payload_items(data, nb::dict())) {
        const std::string dtype = item.benchmark.empty() ? dtype_for(store, item.key) : "float64";
        datasets[item.key.c_str()] = write_matrix(store.store_dir, item.key, item.value, dtype);
        if (!item.benchmark.empty())
            benchmarks[item.benchmark.c_str()] = item.key;
    }
    nb::dict p = nb::borrow<nb::dict>(payload);
    const std::string now = now_text();
    nb::dict metadata;
    metadata["version"] = p.contains("version") ? nb::object(p["version"]) : nb::cast(store.version);
    metadata["format"] = "vantorel-prepared-data";
    metadata["datasets"] = datasets;
    metadata["benchmarks"] = benchmarks;
    metadata["meta"] =
        p.contains("meta") && nb::isinstance<nb::dict>(p["meta"]) ? copy_dict(p["meta"]) : nb::dict();
    metadata["updated_at"] = now;
    commit_metadata(store.metadata_path, metadata);
    write_manifest(store.store_dir, metadata);
}

nb::dict finish_pending(const StoreBase& store, nb::dict metadata) {
    nb::dict datasets = dict_or_empty(metadata, "datasets");
    std::vector<Dataset> pending;
    for (auto [k, v] : datasets) {
        Dataset d = parse_descriptor(nb::cast<std::string>(k), v);
        if (d.tail)
            pending.push_back(std::move(d));
    }
    if (pending.empty())
        return metadata;
    const std::string dir = path_text(store.store_dir);
    nb::dict next_datasets = copy_dict(datasets);
    for (Dataset& d : pending) {
        const std::size_t rb = d.row_bytes();
        std::vector<std::uint8_t> rows(static_cast<std::size_t>(d.tail->rows) * rb);
        check_files(dir, d);
        read_rows(dir, d, d.tail->start_row, d.rows, rows.data());  // checked against the committed checksums
        try {
            nb::gil_scoped_release release;  // copies the checked rows into place in the main file
            const std::string main = dir + "/" + d.file;
            write_at(main, static_cast<std::uint64_t>(d.tail->start_row) * rb, rows.data(), rows.size());
            const auto size = static_cast<std::uintmax_t>(d.rows) * rb;
            if (std::filesystem::file_size(main) > size)
                std::filesystem::resize_file(main, size);
        } catch (const FileError& e) {
            raise_vantorel("回测数据集 " + d.key + " 无法写入: " + e.what());
        }
        d.tail.reset();
        next_datasets[d.key.c_str()] = make_descriptor(d);
    }
    nb::dict next = copy_dict(metadata);
    next["datasets"] = next_datasets;
    commit_metadata(store.metadata_path, next);
    write_manifest(store.store_dir, next);
    return next;
}

bool update_tail(const StoreBase& store, nb::handle payload) {
    nb::dict data = payload_data(payload);
    if (!nb::cast<bool>(store.metadata_path.attr("exists")()))
        return false;
    const WriterLock lock(store.store_dir);
    // What another writer left while this one waited is what gets merged into.
    if (!nb::cast<bool>(store.metadata_path.attr("exists")()))
        return false;
    nb::dict metadata = finish_pending(store, read_metadata(store.metadata_path));
    nb::dict datasets = dict_or_empty(metadata, "datasets");
    nb::dict benchmarks = dict_or_empty(metadata, "benchmarks");
    if (datasets.size() == 0 || benchmarks.size() == 0)
        return false;
    if (!data.contains("benchmark_dict") || !nb::isinstance<nb::dict>(data["benchmark_dict"]) ||
        nb::len(nb::object(data["benchmark_dict"])) == 0)
        return false;
    nb::dict incoming_benchmarks = nb::borrow<nb::dict>(data["benchmark_dict"]);
    for (auto [name, key] : benchmarks)
        if (!incoming_benchmarks.contains(name))
            return false;

    const std::string dir = path_text(store.store_dir);
    const std::vector<PayloadItem> items = payload_items(data, benchmarks);
    // Read and check everything before writing anything.
    std::vector<Incoming> incoming;
    incoming.reserve(items.size());
    for (const PayloadItem& item : items) {
        incoming.push_back(read_incoming(item.value, item.key));
        if (datasets.contains(item.key.c_str()))
            check_files(dir, parse_descriptor(item.key, datasets[item.key.c_str()]));
    }

    nb::dict next_datasets = copy_dict(datasets);
    nb::dict next_benchmarks = copy_dict(benchmarks);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const PayloadItem& item = items[i];
        const Incoming& in = incoming[i];
        if (in.dates.empty())
            continue;
        if (datasets.contains(item.key.c_str())) {
            const Dataset old = parse_descriptor(item.key, datasets[item.key.c_str()]);
            next_datasets[item.key.c_str()] = make_descriptor(merge_dataset(dir, old, item, in, datasets));
        } else {
            const std::string dtype = item.benchmark.empty() ? dtype_for(store, item.key) : "float64";
            next_datasets[item.key.c_str()] = write_matrix(store.store_dir, item.key, item.value, dtype);
        }
        if (!item.benchmark.empty())
            next_benchmarks[item.benchmark.c_str()] = item.key;
    }

    const std::string now = now_text();
    nb::dict next = copy_dict(metadata);
    next["datasets"] = next_datasets;
    next["benchmarks"] = next_benchmarks;
    next["meta"] =
        merged_meta(metadata.contains("meta") ? nb::object(metadata["meta"]) : nb::none(), payload, now);
    next["updated_at"] = now;
    // Commit the new rows (still in side files), then copy them into the main files.
    commit_metadata(store.metadata_path, next);
    if (finish_pending(store, next).is(next))  // nothing was pending: refresh the manifest here
        write_manifest(store.store_dir, next);
    return true;
}

}  // namespace vantorel::store
