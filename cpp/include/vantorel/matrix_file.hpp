// Raw files of stored matrices: durable writes, ranged reads and read-only mappings.
//
// Durability rule: a write returns only after the bytes (and, for a new name, the directory entry)
// have reached the disk, so a commit that follows it never points at data a crash could lose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantorel {

class FileError : public std::runtime_error {
public:
    enum class Kind { Missing, TooShort, NotRegular, TooLarge, Io };
    FileError(Kind kind, const std::string& path, const std::string& what)
        : std::runtime_error(what), kind_(kind), path_(path) {}
    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }

private:
    Kind kind_;
    std::string path_;
};

// Only regular files are read or written: a pipe, device or directory put in place of a store file
// must fail at once, never block. Symbolic links are followed; their target must be a regular file.

// Size in bytes, or -1 when the file does not exist; FileError::NotRegular for anything but a file.
std::int64_t file_size(const std::string& path);

// The whole file, refused (FileError::TooLarge) when it is longer than `max_bytes`.
std::string read_whole(const std::string& path, std::size_t max_bytes);

// Creates (or truncates) `path` with exactly these bytes and syncs it.
void write_file(const std::string& path, const void* data, std::size_t bytes);
// Replaces `path` in one step: writes a temporary sibling, syncs it, renames it over `path` and
// syncs the directory. Readers see the old file or the new one, never a mix.
void replace_file(const std::string& path, const void* data, std::size_t bytes);
// Writes bytes into an existing file at `offset` (growing it when needed) and syncs it.
void write_at(const std::string& path, std::uint64_t offset, const void* data, std::size_t bytes);

// Reads exactly `bytes` bytes at `offset`; a shorter file raises FileError::TooShort.
void read_at(const std::string& path, std::uint64_t offset, void* dest, std::size_t bytes);

// A read-only shared mapping of `bytes` bytes at `offset` of a file.
class FileMapping {
public:
    FileMapping(const std::string& path, std::uint64_t offset, std::size_t bytes);
    ~FileMapping();
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    const void* data() const { return data_; }

private:
    void* base_ = nullptr;
    std::size_t length_ = 0;
    const void* data_ = nullptr;
};

// An exclusive advisory lock (flock) held through a lock file. The kernel drops it when the holder's
// process dies, so a killed writer never blocks the next one. The holder removes the file as it
// lets go; a waiter that then wins the lock of the removed file tries again on the new one.
class FileLock {
public:
    // Waits up to `timeout_seconds` (polling); nullptr when the wait ran out, FileError when the
    // lock file cannot be created.
    static std::unique_ptr<FileLock> acquire(const std::string& path, double timeout_seconds);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    FileLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

void sync_directory(const std::string& dir);
// Names of the regular files directly in `dir` (empty when it does not exist).
std::vector<std::string> list_files(const std::string& dir);
// Removes a file; a missing file is not an error, other failures are ignored.
void remove_file(const std::string& path) noexcept;

}  // namespace vantorel
