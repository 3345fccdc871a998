// The writer lock of a store directory: one writer at a time across processes and threads.
//
// Across processes: an exclusive flock on `<parent>/.<name>.lock`, beside the directory rather than
// in it, because a package install replaces the whole directory. Within a process: one holder
// thread per lock file, re-entrant (a preparation holds it while the store's own writes take it
// again), other threads wait. A second flock on the same file from the holding process would block
// on itself, so the file lock is taken once per process and counted here.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "internal.hpp"
#include "vantorel/matrix_file.hpp"

namespace vantorel::store {

using namespace nb::literals;

namespace {

struct Holder {
    std::thread::id owner;
    int count = 0;
    std::unique_ptr<FileLock> file;
};

std::mutex table_mutex;
std::condition_variable table_changed;
std::map<std::string, Holder>& table() {
    static auto* t = new std::map<std::string, Holder>();  // leaked: holders may outlive static destruction
    return *t;
}

enum class Outcome { Held, TimedOut };

// Called without the GIL.
Outcome take(const std::string& lock_path, double timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    const auto me = std::this_thread::get_id();
    std::unique_lock lk(table_mutex);
    Holder& h = table()[lock_path];  // std::map: the reference stays valid as entries are added
    while (h.count > 0 && h.owner != me)
        if (table_changed.wait_until(lk, deadline) == std::cv_status::timeout && h.count > 0 && h.owner != me)
            return Outcome::TimedOut;
    if (h.count > 0) {
        ++h.count;
        return Outcome::Held;
    }
    // Claimed for this thread before waiting on the file, so that other threads wait here.
    h.owner = me;
    h.count = 1;
    lk.unlock();
    std::unique_ptr<FileLock> file;
    try {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        file = FileLock::acquire(lock_path, left);
    } catch (...) {
        lk.lock();
        h.count = 0;
        table_changed.notify_all();
        throw;
    }
    lk.lock();
    if (!file) {
        h.count = 0;
        table_changed.notify_all();
        return Outcome::TimedOut;
    }
    h.file = std::move(file);
    return Outcome::Held;
}

void give_back(const std::string& lock_path) noexcept {
    std::lock_guard lk(table_mutex);
    Holder& h = table()[lock_path];
    if (h.count > 0 && --h.count == 0) {
        h.file.reset();
        table_changed.notify_all();
    }
}

// Seconds to wait; NaN or negative waits not at all, and anything past a year counts as a year
// (a deadline must stay within the clock's range).
double lock_timeout() {
    const double t =
        nb::cast<double>(nb::float_(nb::module_::import_("vantorel.backtest._store").attr("LOCK_TIMEOUT")));
    return t >= 0 ? std::min(t, 365.0 * 86400) : 0.0;
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

// A Python context manager over WriterLock, for the writers that reach the store through Python.
struct PyWriterLock {
    nb::object store_dir;
    std::unique_ptr<WriterLock> held;
};

}  // namespace

std::string lock_file_path(nb::handle store_dir) {
    nb::object osp = nb::module_::import_("os").attr("path");
    nb::object full = osp.attr("abspath")(nb::module_::import_("os").attr("fspath")(store_dir));
    nb::tuple parts = nb::borrow<nb::tuple>(osp.attr("split")(full));
    nb::object parent = osp.attr("realpath")(parts[0]);
    nb::module_::import_("os").attr("makedirs")(parent, "exist_ok"_a = true);
    return nb::cast<std::string>(
        osp.attr("join")(parent, nb::str(".") + nb::str(parts[1]) + nb::str(".lock")));
}

WriterLock::WriterLock(nb::handle store_dir) : lock_path_(lock_file_path(store_dir)) {
    const double timeout = lock_timeout();
    Outcome outcome;
    try {
        nb::gil_scoped_release release;  // waits on other writers; touches no Python object
        outcome = take(lock_path_, timeout);
    } catch (const FileError& e) {
        raise_vantorel("无法创建回测数据目录写锁: " + lock_path_ + " (" + e.what() + ")");
    }
    if (outcome == Outcome::TimedOut)
        raise_vantorel("等待回测数据目录写锁超时(" + seconds_text(timeout) +
                       " 秒), 另一写入者仍在写入: " + path_text(store_dir));
}

WriterLock::~WriterLock() {
    give_back(lock_path_);
}

void register_lock(nb::module_& m) {
    m.attr("LOCK_TIMEOUT") = 600.0;
    nb::class_<PyWriterLock>(
        m, "_writer_lock",
        "Context manager holding the writer lock of a store directory: waits up to\n"
        "LOCK_TIMEOUT seconds for other writers (processes or threads), re-entrant within\n"
        "one thread, released when the block ends or the process dies.")
        .def(
            "__init__",
            [](PyWriterLock* self, nb::handle store_dir) {
                new (self) PyWriterLock{as_path(store_dir, "store_dir"), nullptr};
            },
            "store_dir"_a.none(), nb::sig("def __init__(self, store_dir: str | os.PathLike) -> None"))
        .def("__enter__",
             [](nb::handle self) {
                 PyWriterLock& lock = nb::cast<PyWriterLock&>(self);
                 if (lock.held)
                     throw nb::value_error("写锁已持有");
                 lock.held = std::make_unique<WriterLock>(lock.store_dir);
                 return nb::borrow(self);
             })
        .def(
            "__exit__",
            [](PyWriterLock& lock, nb::args) {
                lock.held.reset();
                return false;
            },
            nb::sig("def __exit__(self, *args: object) -> bool"));
}

}  // namespace vantorel::store
