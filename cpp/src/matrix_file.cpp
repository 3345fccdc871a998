#include "vantorel/matrix_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

namespace vantorel {

namespace {

[[noreturn]] void fail(const std::string& path, const char* action) {
    const int err = errno;
    const auto kind = err == ENOENT ? FileError::Kind::Missing : FileError::Kind::Io;
    throw FileError(kind, path, std::string(action) + " " + path + ": " + std::strerror(err));
}

// Closes a descriptor on every path out of a function.
class Descriptor {
public:
    Descriptor(const std::string& path, int flags, mode_t mode = 0644)
        : fd_(::open(path.c_str(), flags, mode)) {
        if (fd_ < 0)
            fail(path, "cannot open");
    }
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void not_regular(const std::string& path) {
    throw FileError(FileError::Kind::NotRegular, path, "not a regular file: " + path);
}

// Opens an existing regular file. O_NONBLOCK keeps a pipe from blocking the open; the check on the
// opened descriptor closes the race with a swap after any earlier stat.
class RegularFile : public Descriptor {
public:
    RegularFile(const std::string& path, int flags) : Descriptor(path, flags | O_NONBLOCK | O_CLOEXEC) {
        struct stat st{};
        if (::fstat(get(), &st) != 0)
            fail(path, "cannot stat");
        if (!S_ISREG(st.st_mode))
            not_regular(path);
        size_ = st.st_size;
    }
    std::int64_t size() const { return size_; }

private:
    std::int64_t size_ = 0;
};

void write_all(int fd, const std::string& path, std::uint64_t offset, const void* data, std::size_t bytes) {
    const auto* p = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t n = ::pwrite(fd, p, bytes, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(path, "cannot write");
        }
        p += n;
        offset += static_cast<std::uint64_t>(n);
        bytes -= static_cast<std::size_t>(n);
    }
}

void sync(int fd, const std::string& path) {
    if (::fsync(fd) != 0)
        fail(path, "cannot sync");
}

std::string parent_of(const std::string& path) {
    const auto parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

}  // namespace

std::int64_t file_size(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode))
        not_regular(path);
    return static_cast<std::int64_t>(st.st_size);
}

std::string read_whole(const std::string& path, std::size_t max_bytes) {
    RegularFile fd(path, O_RDONLY);
    if (static_cast<std::uint64_t>(fd.size()) > max_bytes)
        throw FileError(FileError::Kind::TooLarge, path,
                        "file of " + std::to_string(fd.size()) + " bytes exceeds " +
                            std::to_string(max_bytes) + ": " + path);
    std::string bytes(static_cast<std::size_t>(fd.size()), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pread(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(path, "cannot read");
        }
        if (n == 0)  // shortened while read: what was there is all there is
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

void write_file(const std::string& path, const void* data, std::size_t bytes) {
    Descriptor fd(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    write_all(fd.get(), path, 0, data, bytes);
    sync(fd.get(), path);
}

void replace_file(const std::string& path, const void* data, std::size_t bytes) {
    // A unique temporary name: two writers never share one half-written file.
    std::random_device rd;
    const std::string tmp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
    try {
        write_file(tmp, data, bytes);
        if (::rename(tmp.c_str(), path.c_str()) != 0)
            fail(path, "cannot replace");
    } catch (...) {
        remove_file(tmp);
        throw;
    }
    sync_directory(parent_of(path));
}

void write_at(const std::string& path, std::uint64_t offset, const void* data, std::size_t bytes) {
    RegularFile fd(path, O_WRONLY);
    write_all(fd.get(), path, offset, data, bytes);
    sync(fd.get(), path);
}

void read_at(const std::string& path, std::uint64_t offset, void* dest, std::size_t bytes) {
    RegularFile fd(path, O_RDONLY);
    auto* p = static_cast<char*>(dest);
    while (bytes > 0) {
        const ssize_t n = ::pread(fd.get(), p, bytes, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(path, "cannot read");
        }
        if (n == 0)
            throw FileError(FileError::Kind::TooShort, path, "file too short: " + path);
        p += n;
        offset += static_cast<std::uint64_t>(n);
        bytes -= static_cast<std::size_t>(n);
    }
}

FileMapping::FileMapping(const std::string& path, std::uint64_t offset, std::size_t bytes) {
    if (bytes == 0)
        return;
    RegularFile fd(path, O_RDONLY);
    if (static_cast<std::uint64_t>(fd.size()) <
        offset + bytes)  // a mapping past the end would fault on access
        throw FileError(FileError::Kind::TooShort, path, "file too short: " + path);
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset - offset % page;
    length_ = static_cast<std::size_t>(offset - start) + bytes;
    base_ = ::mmap(nullptr, length_, PROT_READ, MAP_SHARED, fd.get(), static_cast<off_t>(start));
    if (base_ == MAP_FAILED) {
        base_ = nullptr;
        fail(path, "cannot map");
    }
    data_ = static_cast<const char*>(base_) + (offset - start);
}

FileMapping::~FileMapping() {
    if (base_ != nullptr)
        ::munmap(base_, length_);
}

std::unique_ptr<FileLock> FileLock::acquire(const std::string& path, double timeout_seconds) {
    using Clock = std::chrono::steady_clock;
    // NaN or negative: one try; the cap keeps the deadline within the clock's range
    const double wait = timeout_seconds >= 0 ? std::min(timeout_seconds, 365.0 * 86400) : 0.0;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait));
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        // O_NOFOLLOW: a link planted at the lock's name is refused, never followed.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            fail(path, "cannot create lock file");
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                const int err = errno;
                ::close(fd);
                errno = err;
                fail(path, "cannot lock");
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                ::close(fd);
                return nullptr;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
        // Won: valid only while the name still leads to this file (the previous holder removes it).
        struct stat held{}, named{};
        if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return std::unique_ptr<FileLock>(new FileLock(fd, path));
        ::close(fd);
    }
}

FileLock::~FileLock() {
    // Removed while still held, so no one can win a lock on a name that is about to vanish.
    ::unlink(path_.c_str());
    ::close(fd_);
}

void sync_directory(const std::string& dir) {
    Descriptor fd(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    sync(fd.get(), dir);
}

std::vector<std::string> list_files(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.is_regular_file(ec))
            names.push_back(entry.path().filename().string());
    }
    return names;
}

void remove_file(const std::string& path) noexcept {
    ::unlink(path.c_str());
}

}  // namespace vantorel
