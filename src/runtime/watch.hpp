// Watches on the dicts and types that the native routes rely on. CPython tells a dict
// watcher of every change at the very points where the dict's version tag moves
// (_PyDict_NotifyEvent, Include/internal/pycore_dict.h), and a type watcher from
// PyType_Modified, which also runs for every subclass of a changed type. The callbacks
// only count; a snapshot compares the count it last saw, as cheap as a tag compare.
//
// One dict watcher and one type watcher serve the process (their ids and the table live
// in the shared runtime). When CPython has no watcher slot left, start() fails and the
// route that asked takes the plain call instead.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <utility>

namespace vmrt {

// One watched object, shared by every snapshot that watches it; the object is held
// while anyone uses the entry.
struct WatchEntry {
    PyObject* object = nullptr;
    Py_ssize_t users = 0;
    std::uint64_t changes = 0;
};

struct Watches {
    static constexpr int capacity = 64;
    int dict_watcher = -1;
    int type_watcher = -1;
    WatchEntry dicts[capacity];
    WatchEntry types[capacity];
};

// A snapshot's watch on one dict or type: from start() until it lets go it holds and
// watches the object, and the last user of an entry takes the watch off again.
class Watch {
public:
    Watch() noexcept = default;
    Watch(const Watch&) = delete;
    Watch(Watch&& other) noexcept
        : entry_(std::exchange(other.entry_, nullptr)), seen_(other.seen_), type_(other.type_)
    {
    }
    Watch& operator=(Watch&& other) noexcept
    {
        if (this != &other) {
            release();
            entry_ = std::exchange(other.entry_, nullptr);
            seen_ = other.seen_;
            type_ = other.type_;
        }
        return *this;
    }
    ~Watch() { release(); }

    // False, with no error set, when no watcher or no table entry can be had.
    bool start_dict(PyObject* dict) noexcept { return start(dict, false); }
    bool start_type(PyTypeObject* type) noexcept { return start(reinterpret_cast<PyObject*>(type), true); }
    void release() noexcept;

    bool unchanged() const noexcept { return entry_->changes == seen_; }
    void seen() noexcept { seen_ = entry_->changes; }
    // The next unchanged() answers no, so that the full check runs.
    void recheck() noexcept { seen_ = entry_->changes - 1; }

private:
    bool start(PyObject* object, bool type) noexcept;

    WatchEntry* entry_ = nullptr;
    std::uint64_t seen_ = 0;
    bool type_ = false;
};

}  // namespace vmrt
