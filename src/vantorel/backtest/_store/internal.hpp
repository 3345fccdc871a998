// Declarations shared by the source files of the _store module only.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge.hpp"
#include "store.hpp"
#include "vantorel/matrix.hpp"

namespace vantorel::store {

// ---- errors ------------------------------------------------------------------
using bridge::raise_vantorel;

// ---- labels (labels.cpp) -------------------------------------------------------
// A date given as text, integer, integral float or date object -> YYYYMMDD text.
std::string normalize_date(nb::handle value);
// Row labels of an Index as YYYYMMDD texts.
std::vector<std::string> date_labels(nb::handle index);
// Column labels as stock-code texts (integers zero-padded to six digits).
std::vector<std::string> code_labels(nb::handle columns);
nb::list to_list(const std::vector<std::string>& texts);
std::vector<std::string> from_list(nb::handle list);
std::string component_key(const std::string& name);
nb::object clean_matrix(nb::handle frame);

// ---- metadata (metadata.cpp) ----------------------------------------------------
// Real records are a few MB (4,000 dates x 5,000 codes x 20 datasets: about 2 MB); anything far
// larger is damage, and is refused before it is read into memory.
inline constexpr std::size_t kMaxMetadataBytes = std::size_t{64} << 20;
// The bytes of the metadata file: FileNotFoundError when absent, VantorelError when it is not a
// regular file, too large or unreadable.
std::string read_metadata_bytes(nb::handle metadata_path);
nb::dict parse_metadata(const std::string& bytes, nb::handle metadata_path);
nb::dict read_metadata(nb::handle metadata_path);
// Replaces the metadata file in one step (pickle, highest protocol).
void commit_metadata(nb::handle metadata_path, nb::handle metadata);
std::string now_text();
// Rewrites the manifest and removes data files that the metadata no longer lists.
void write_manifest(nb::handle store_dir, nb::handle metadata);
std::string path_text(nb::handle path);

// ---- datasets (datasets.cpp) ------------------------------------------------------
std::size_t element_size(const std::string& dtype, const std::string& key);
// The flag given to a cell that a boolean dataset lacks: the value that blocks the trade.
bool blocking_flag(const std::string& key);

struct TailSegment {
    std::string file;
    Index start_row = 0;
    Index rows = 0;
};

// A descriptor, checked against itself (labels, shape and checksums agree).
struct Dataset {
    std::string key;
    std::string file;
    std::string dtype;
    Index rows = 0;
    Index cols = 0;
    bool is_series = false;
    nb::object index;    // list of YYYYMMDD texts
    nb::object columns;  // list of codes, None for a series
    nb::object name;     // series name
    std::string row_hashes;
    std::optional<TailSegment> tail;

    std::size_t row_bytes() const { return element_size(dtype, key) * static_cast<std::size_t>(cols); }
};
Dataset parse_descriptor(const std::string& key, nb::handle descriptor);
nb::dict make_descriptor(const Dataset& d);

// Checks that the files exist, are regular files and have the sizes the descriptor gives.
void check_files(const std::string& dir, const Dataset& d);
// Rows [begin, end) into `dest`, checksums verified.
void read_rows(const std::string& dir, const Dataset& d, Index begin, Index end, void* dest);
// Rows [begin, end) as a NumPy array: owned, or a read-only mapping when `mmap` and the rows lie
// in the main file.
nb::object rows_array(const std::string& dir, const Dataset& d, Index begin, Index end, bool mmap);
// A Frame (or Series) over rows [begin, end).
nb::object dataset_object(const std::string& dir, const Dataset& d, Index begin, Index end, bool mmap);

// A file name for a new file of `key` that no other file of the store uses.
std::string fresh_file_name(const std::string& key, const char* suffix);

// A Frame or Series to store: labels normalised, rows in ascending date order, values contiguous.
struct Incoming {
    std::vector<std::string> dates;
    std::vector<std::string> codes;
    bool is_series = false;
    nb::object name;
    bridge::Frame frame;  // keeps the values alive
    IndexMap order;       // sorted row -> row of the Frame
    AlignedView view;     // rows in ascending date order
};
Incoming read_incoming(nb::handle obj, const std::string& key);

// Writes a dense C-order block as a new dataset file and returns its descriptor.
Dataset write_block(const std::string& dir, const std::string& key, const std::string& dtype,
                    const std::vector<std::string>& dates, const std::vector<std::string>& codes,
                    bool is_series, nb::handle name, const void* data);

nb::dict write_matrix(nb::handle store_dir, const std::string& key, nb::handle matrix,
                      const std::string& dtype);

// ---- whole-store writes and tail updates (update.cpp) -----------------------------
void write_payload(const StoreBase& store, nb::handle payload);
bool update_tail(const StoreBase& store, nb::handle payload);
// Completes a tail update that a crash interrupted; returns the metadata now on disk.
nb::dict finish_pending(const StoreBase& store, nb::dict metadata);

// ---- the writer lock (lock.cpp) ---------------------------------------------------
// Held by every writer of a store directory for as long as it writes; waits up to the module's
// LOCK_TIMEOUT for another writer, then raises VantorelError naming the directory.
class WriterLock {
public:
    explicit WriterLock(nb::handle store_dir);
    ~WriterLock();
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    std::string lock_path_;
};
std::string lock_file_path(nb::handle store_dir);

// ---- registration ------------------------------------------------------------------
void register_labels(nb::module_& m);
void register_store(nb::module_& m);
void register_lock(nb::module_& m);

}  // namespace vantorel::store
