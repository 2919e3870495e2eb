// ==== CPython 3.12 internals ============================================================
// Everything here reads object layouts or calls functions that CPython does not publish
// as API. Each item names the CPython 3.12 source it mirrors, and says why no public API
// serves; the package builds for 3.12 only (CMakeLists refuses any other version, and so
// does the assertion below), and nothing outside this header and interpreter.c (whose
// headers only compile as C) touches these internals. The JSON route keeps its own.
//
// Public API replaces an internal wherever one behaves the same: PyType_GetDict for a
// type's dict (names.cpp, guards/watched.hpp), and dict and type watchers for the
// snapshots of the native routes, which hold what they watch (watch.hpp).
#pragma once

#include "interpreter.h"
#include "ref.hpp"

#include <cstddef>
#include <cstdint>

static_assert(PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000,
              "the layouts below are those of CPython 3.12");

namespace vmrt::internals {

// ---- dict version tags --------------------------------------------------------------
// PyDictObject.ma_version_tag (Include/cpython/dictobject.h): every change to a dict gives
// it a new tag, unique within the interpreter (DICT_NEXT_VERSION, Include/internal/
// pycore_dict.h), so an unchanged tag proves that the dict holds what it held. Deprecated
// from 3.12 on, but maintained throughout 3.12. Only the per-call lookup caches read it
// (names.hpp): they key on whatever namespace the caller has and hold no reference to
// it, and a dict watcher there would leave our watch on users' dicts that nothing could
// take off again (the cache cannot tell when such a dict goes), and a callback on every
// change to each of them.
inline std::uint64_t dict_version(PyObject* dict) noexcept
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// ---- dict keys ----------------------------------------------------------------------
// struct _dictkeysobject (Include/internal/pycore_dict.h): a header, then the hash index
// of 1 << dk_log2_index_bytes bytes, then the entries (_DK_ENTRIES). A table of kind
// DICT_KEYS_GENERAL holds PyDictKeyEntry; the other kinds (DICT_KEYS_UNICODE,
// DICT_KEYS_SPLIT) hold PyDictUnicodeEntry, and insertdict (Objects/dictobject.c) turns a
// table into the general kind before it stores any key that is not an exact str, so a
// table of another kind has exact str keys only.
struct DictKeysHeader {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
static_assert(sizeof(DictKeysHeader) == 32 && offsetof(DictKeysHeader, dk_nentries) == 24);
constexpr std::uint8_t dict_keys_general = 0;  // DICT_KEYS_GENERAL

// PyDictUnicodeEntry (Include/internal/pycore_dict.h).
struct UnicodeEntry {
    PyObject* me_key;
    PyObject* me_value;  // unused in a split table, whose values live in ma_values
};

inline const DictKeysHeader* keys_of(PyObject* dict) noexcept
{
    return reinterpret_cast<const DictKeysHeader*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

inline bool str_keys_only(const DictKeysHeader* keys) noexcept
{
    return keys->dk_kind != dict_keys_general;
}

// DK_UNICODE_ENTRIES (Include/internal/pycore_dict.h); only for a table of str keys.
inline UnicodeEntry* unicode_entries(const DictKeysHeader* keys) noexcept
{
    const char* indices = reinterpret_cast<const char*>(keys) + sizeof(DictKeysHeader);
    return reinterpret_cast<UnicodeEntry*>(
        const_cast<char*>(indices + (std::size_t{1} << keys->dk_log2_index_bytes)));
}

// The values array of a split table (PyDictObject.ma_values, struct _dictvalues in
// Include/internal/pycore_dict.h: the values, by entry index), or nullptr for a combined
// table, whose values are in its entries.
inline PyObject** split_values(PyObject* dict) noexcept
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<PyDictObject*>(dict)->ma_values);
}

// ---- instances with a managed dict ----------------------------------------------------
// An instance of a type with Py_TPFLAGS_MANAGED_DICT keeps, three pointers before its
// header, either its __dict__ or, tagged with the low bit, its inline values: an array
// indexed like the entries of the type's shared keys (ht_cached_keys). See
// _PyObject_DictOrValuesPointer, _PyDictOrValues_IsValues, _PyDictOrValues_GetValues and
// _PyDictOrValues_GetDict (Include/internal/pycore_object.h).
inline std::uintptr_t dict_or_values(PyObject* object) noexcept
{
    return reinterpret_cast<const std::uintptr_t*>(object)[-3];
}
inline bool holds_values(std::uintptr_t dict_or_values) noexcept { return (dict_or_values & 1) != 0; }
inline PyObject** values_of(std::uintptr_t dict_or_values) noexcept
{
    return reinterpret_cast<PyObject**>(dict_or_values + 1);
}
inline PyObject* dict_of(std::uintptr_t dict_or_values) noexcept
{
    return reinterpret_cast<PyObject*>(dict_or_values);
}

// The shared keys of a heap type's instances. Keys are only ever appended to them
// (insert_into_dictkeys, Objects/dictobject.c), so an index stays valid, and every live
// instance's values array is at least as long as the keys' entry count
// (shared_keys_usable_size and init_inline_values, Objects/dictobject.c).
inline const DictKeysHeader* shared_keys(PyTypeObject* type) noexcept
{
    return reinterpret_cast<const DictKeysHeader*>(
        reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}

// ---- collector tracking ----------------------------------------------------------------
// For an object of a collected type: whether the collector tracks it. Its PyGC_Head sits
// just before it, and _gc_next is nonzero while tracked (PyGC_Head and
// _PyObject_GC_IS_TRACKED, Include/internal/pycore_gc.h); this saves a call into the
// interpreter.
struct GCHead {
    std::uintptr_t gc_next;
    std::uintptr_t gc_prev;
};

inline bool gc_tracked(PyObject* object) noexcept
{
    return reinterpret_cast<const GCHead*>(object)[-1].gc_next != 0;
}

// ---- list sizing ------------------------------------------------------------------------
// list() of a sized iterable allocates exactly its length rounded up to even
// (list_preallocate_exact, Objects/listobject.c), which sys.getsizeof shows.
constexpr Py_ssize_t list_slots(Py_ssize_t size) noexcept { return (size + 1) & ~Py_ssize_t{1}; }

// The room a list has after `size` appends one at a time, as json.loads builds its lists:
// each append to a full list grows it to size + size / 8 + 6, rounded down to a multiple
// of four (list_resize, Objects/listobject.c).
constexpr Py_ssize_t appended_slots(Py_ssize_t size) noexcept
{
    Py_ssize_t slots = 0;
    while (slots < size) {
        const Py_ssize_t grown = slots + 1;
        slots = (grown + (grown >> 3) + 6) & ~Py_ssize_t{3};
    }
    return slots;
}

// Gives an empty list from PyList_New(0) room for `slots` items at once, which saves the
// copies of growing it; false, with MemoryError set, when there is no memory.
inline bool give_list_room(PyObject* list, Py_ssize_t slots) noexcept
{
    if (slots == 0) {
        return true;
    }
    auto* items = reinterpret_cast<PyListObject*>(list);
    items->ob_item = PyMem_New(PyObject*, static_cast<std::size_t>(slots));
    if (items->ob_item == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    items->allocated = slots;
    return true;
}

// ---- the C recursion budget -------------------------------------------------------------
// PyThreadState.c_recursion_remaining is the counter that Py_EnterRecursiveCall and
// Py_LeaveRecursiveCall step (_Py_EnterRecursiveCallTstate and
// _Py_LeaveRecursiveCallTstate, Include/internal/pycore_ceval.h): one level is taken
// while it is above zero, and given back by adding one.
inline int& c_recursion_remaining(PyThreadState* thread) noexcept
{
    return thread->c_recursion_remaining;
}

// ---- type version tags and lookup ------------------------------------------------------
// PyTypeObject.tp_version_tag (Include/cpython/object.h): assigned by _PyType_Lookup and
// cleared by PyType_Modified whenever the type or a base changes (type_modified_unlocked,
// Objects/typeobject.c); 0 when the type has none. The interpreter's own attribute and
// call specialisations key on it (Python/specialize.c). Read where the type is not held:
// by the attribute cache (names.hpp), which keys on the type of any object it is given,
// and for a class the record route refused (record.cpp). A type watcher would leave our
// watch on such types, which nothing could take off again; the types the routes hold
// are watched instead (watch.hpp).
inline unsigned int type_version(PyTypeObject* type) noexcept { return type->tp_version_tag; }

// _PyType_Lookup (Objects/typeobject.c): the MRO's entry for `name`, borrowed, without
// calling descriptors and without raising; it gives the type a version tag when it can.
// No public API looks up the MRO alone: PyObject_GetAttr on the type runs the metaclass's
// and the entry's descriptors.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept
{
    return _PyType_Lookup(type, name);
}

// _PyObject_GetDictPtr (Objects/object.c): the address of an instance's __dict__ slot, or
// nullptr when it has none. For a managed dict held as inline values it first makes the
// dict and stores it in the slot, and where that fails it clears the error and gives
// nullptr. PyObject_GenericGetDict gives the dict itself (a new reference) but not the
// slot, which the guards compare on every call; no public API gives the slot.
inline PyObject** dict_pointer(PyObject* object) noexcept { return _PyObject_GetDictPtr(object); }

// ---- a function's builtins ----------------------------------------------------------------
// PyFunctionObject.func_builtins (Include/cpython/funcobject.h, set by
// PyFunction_NewWithQualName from the globals' __builtins__, Objects/funcobject.c): the
// builtins the function's code reads. 3.12 has no PyFunction_GET_BUILTINS or other C
// accessor; only the function's `__builtins__` attribute, through the attribute protocol.
inline PyObject* function_builtins(PyObject* function) noexcept
{
    return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}

// ---- traceback entries ------------------------------------------------------------------
// _PyTraceback_Add (Python/traceback.c) is how CPython's own C code (pyexpat, the
// codecs) adds an entry for a function that has no Python frame: a frame of a new,
// empty code object. No public API adds a traceback entry.
inline void add_traceback_entry(const char* function, const char* file, int line) noexcept
{
    _PyTraceback_Add(function, file, line);
}

// ---- what a tracer or the recursion limits would see --------------------------------------
// PyThreadState.c_tracefunc and c_profilefunc (Include/cpython/pystate.h), set by
// sys.settrace and sys.setprofile (_PyEval_SetTrace, _PyEval_SetProfile, Python/
// legacy_tracing.c). sys.gettrace and sys.getprofile read the Python-level objects, not
// whether a C-level function is installed, and cost a call.
inline bool tracing_or_profiling(PyThreadState* thread) noexcept
{
    return thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr;
}

// PyThreadState.py_recursion_remaining (Include/cpython/pystate.h): the Python frames
// left before RecursionError (_Py_EnterRecursivePy, Include/internal/pycore_ceval.h).
// sys.getrecursionlimit gives the limit, not what is left of it.
inline int py_recursion_remaining(PyThreadState* thread) noexcept
{
    return thread->py_recursion_remaining;
}

// PyCodeObject._co_monitoring (Include/cpython/code.h): the sys.monitoring events set on
// this code object (sys.monitoring.set_local_events), as _Py_Instrument reads them
// (Python/instrumentation.c). sys.monitoring.get_local_events answers for one tool at a
// time, from Python.
inline bool code_monitored(PyObject* code) noexcept
{
    const _PyCoMonitoringData* monitoring = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
    if (monitoring == nullptr) {
        return false;
    }
    std::uint8_t any = 0;
    for (std::uint8_t tools : monitoring->local_monitors.tools) {
        any |= tools;
    }
    return any != 0;
}

// The interpreter's global monitoring events and pending work, read in interpreter.c,
// whose internal headers do not compile as C++ (see there for the CPython code each
// mirrors); no public API tells either.
inline bool global_events_set(PyThreadState* thread) noexcept
{
    return vmrt_global_events_set(thread) != 0;
}
inline bool interrupt_pending(PyThreadState* thread) noexcept
{
    return vmrt_interrupt_pending(thread) != 0;
}

}  // namespace vmrt::internals
