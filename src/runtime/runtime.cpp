#include "runtime.hpp"

#include "function.hpp"
#include "names.hpp"
#include "watch.hpp"

#include <cstddef>

namespace vmrt {
namespace {

// Bumped with any change to Runtime, Function, FunctionSpec, Name or Watches, so that modules of
// another build never share a runtime whose layout they do not know: they find no entry
// under their own key and make a runtime of their own.
#define VMRT_RUNTIME_KEY "velmorrow.runtime.v2"

// The layout, as this build sees it; a stored runtime of another layout is not used.
struct Layout {
    std::size_t runtime = sizeof(Runtime);
    std::size_t function = sizeof(Function);
    std::size_t spec = sizeof(FunctionSpec);
    std::size_t name = sizeof(Name);
    std::size_t watches = sizeof(Watches);

    bool operator==(const Layout&) const = default;
};

struct Shared {
    Layout layout;
    Runtime runtime;
    Watches watches;
};

// Made by whichever module loads first and kept, like the static type it points at, for
// the life of the process (the capsule in the interpreter's dict only points at it).
Shared own;

Runtime* find_or_make() noexcept
{
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (interpreter_dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter dict");
        return nullptr;
    }
    Ref key = Ref::steal(PyUnicode_InternFromString(VMRT_RUNTIME_KEY));
    if (!key) {
        return nullptr;
    }
    PyObject* stored = PyDict_GetItemWithError(interpreter_dict, key.get());  // borrowed
    if (stored == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    if (stored != nullptr && PyCapsule_IsValid(stored, VMRT_RUNTIME_KEY)) {
        auto* shared = static_cast<Shared*>(PyCapsule_GetPointer(stored, VMRT_RUNTIME_KEY));
        if (shared->layout == Layout{}) {
            return &shared->runtime;
        }
    }
    own.runtime.watches = &own.watches;
    if (own.runtime.function_type == nullptr) {
        own.runtime.function_type = ready_function_type();
        if (own.runtime.function_type == nullptr) {
            return nullptr;
        }
    }
    if (stored == nullptr) {
        Ref capsule = Ref::steal(PyCapsule_New(&own, VMRT_RUNTIME_KEY, nullptr));
        if (!capsule || PyDict_SetItem(interpreter_dict, key.get(), capsule.get()) < 0) {
            return nullptr;
        }
    }
    return &own.runtime;
}

}  // namespace

Runtime* runtime = nullptr;

bool attach_runtime() noexcept
{
    if (runtime != nullptr) {
        return true;
    }
    Runtime* found = find_or_make();
    if (found == nullptr) {
        return false;
    }
    Name::join_registry(found->names);
    runtime = found;
    return true;
}

}  // namespace vmrt

// ---- watches ---------------------------------------------------------------------------
namespace vmrt {
namespace {

WatchEntry* entry_for(WatchEntry* entries, PyObject* object) noexcept
{
    for (int k = 0; k < Watches::capacity; ++k) {
        if (entries[k].users > 0 && entries[k].object == object) {
            return &entries[k];
        }
    }
    return nullptr;
}

// Called by CPython for every change to a dict we watch, its deallocation included
// (which cannot come while we hold it). Only counts: it never fails and runs no code.
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept
{
    if (runtime != nullptr) {
        if (WatchEntry* entry = entry_for(runtime->watches->dicts, dict)) {
            ++entry->changes;
        }
    }
    return 0;
}

// Called by PyType_Modified for a type we watch or a subclass of a changed one. CPython
// calls it once until the type's next lookup gives it a version tag again, so a count
// once moved stays moved until the snapshot has looked at the type afresh.
int on_type_modified(PyTypeObject* type) noexcept
{
    if (runtime != nullptr) {
        if (WatchEntry* entry = entry_for(runtime->watches->types, reinterpret_cast<PyObject*>(type))) {
            ++entry->changes;
        }
    }
    return 0;
}

}  // namespace

bool Watch::start(PyObject* object, bool type) noexcept
{
    release();
    if (runtime == nullptr) {
        return false;
    }
    Watches& watches = *runtime->watches;
    int& watcher = type ? watches.type_watcher : watches.dict_watcher;
    if (watcher < 0) {
        watcher = type ? PyType_AddWatcher(on_type_modified) : PyDict_AddWatcher(on_dict_event);
        if (watcher < 0) {
            PyErr_Clear();  // every slot taken: the routes take the plain calls
            return false;
        }
    }
    WatchEntry* entries = type ? watches.types : watches.dicts;
    WatchEntry* entry = entry_for(entries, object);
    if (entry == nullptr) {
        for (int k = 0; k < Watches::capacity && entry == nullptr; ++k) {
            if (entries[k].users == 0) {
                entry = &entries[k];
            }
        }
        if (entry == nullptr || (type ? PyType_Watch(watcher, object) : PyDict_Watch(watcher, object)) < 0) {
            PyErr_Clear();
            return false;
        }
        entry->object = Py_NewRef(object);
    }
    ++entry->users;
    entry_ = entry;
    type_ = type;
    seen_ = entry->changes;
    return true;
}

void Watch::release() noexcept
{
    WatchEntry* entry = std::exchange(entry_, nullptr);
    if (entry == nullptr || --entry->users > 0) {
        return;
    }
    // The last user: the watch bit comes off before the object may go. Unwatching a held
    // object of the right kind fails only for a watcher id cleared by someone else.
    PyObject* pending = PyErr_GetRaisedException();
    const Watches& watches = *runtime->watches;
    if ((type_ ? PyType_Unwatch(watches.type_watcher, entry->object)
               : PyDict_Unwatch(watches.dict_watcher, entry->object)) < 0) {
        PyErr_Clear();
    }
    Ref::steal(std::exchange(entry->object, nullptr)).reset();
    PyErr_SetRaisedException(pending);
}

}  // namespace vmrt
