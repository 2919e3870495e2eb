// Snapshots of what a native route relies on, each holding its own references: a dict
// checked once and unchanged while its watch saw no change, a function, a module
// namespace, the builtins, and an instance with its class's methods.
#pragma once

#include "../names.hpp"
#include "../observed.hpp"
#include "../ref.hpp"
#include "../watch.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace vmrt::guards {

// The names the snapshots look up (json_routes.cpp).
extern Name n_isinstance, n_str, n_bytes, n_bytearray, n_len, n_list, n_tuple, n_float, n_id;
extern Name n_file, n_module;

// `dict[name]`, borrowed; nullptr when absent or when the lookup failed, whose error is
// left set for the caller (a capture refuses, and its caller clears it).
inline PyObject* entry(PyObject* dict, const Name& name) noexcept
{
    return PyDict_GetItemWithError(dict, name.get());
}

// Whether `dict[name]` is `expected` (nullptr: absent); a failed lookup counts as a change.
inline bool entry_is(PyObject* dict, const Name& name, PyObject* expected) noexcept
{
    PyObject* value = entry(dict, name);
    if (value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return value == expected;
}

// The code of the stdlib json function of this qualified name, as CPython 3.12 writes
// it; nullptr when it cannot be had.
PyObject* stdlib_code(const char* qualname) noexcept;

// Whether a dict holds exactly these entries (the values compared by identity).
inline bool holds_exactly(PyObject* dict, std::initializer_list<std::pair<const char*, PyObject*>> entries) noexcept
{
    if (dict == nullptr || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(entries.size())) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        bool found = false;
        for (const auto& [name, expected] : entries) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
                found = value == expected;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

// A dict whose contents were checked once: unchanged while its watch saw no change.
struct WatchedDict {
    PyObject* dict = nullptr;  // held by the watch
    Watch watch;

    bool unchanged() const noexcept { return watch.unchanged(); }
    // False when the dict cannot be watched: the route is then refused.
    [[nodiscard]] bool hold(PyObject* d) noexcept
    {
        dict = d;
        return watch.start_dict(d);
    }
    void seen() noexcept { watch.seen(); }
    void recheck() noexcept { watch.recheck(); }
};

// A dict whose entries must stay exactly as they were first seen; a change that was put
// back (a patch undone) counts as no change.
struct PinnedDict : WatchedDict {
    Ref snapshot;

    bool hold_copy(PyObject* d) noexcept
    {
        if (!hold(d)) {
            return false;
        }
        snapshot = Ref::steal(PyDict_Copy(d));
        return static_cast<bool>(snapshot);
    }
    bool unchanged() noexcept
    {
        if (WatchedDict::unchanged()) {
            return true;
        }
        if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(snapshot.get())) {
            return false;
        }
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(snapshot.get(), &position, &key, &value)) {
            PyObject* now = PyDict_GetItemWithError(dict, key);
            if (now != value) {
                PyErr_Clear();
                return false;
            }
        }
        seen();
        return true;
    }
};

// A Python function as first seen: changing its code or defaults makes it another. These
// stay pointer compares on every call: a function watcher would be called for every
// function the whole application creates, not just for this one.
struct WatchedFunction {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PinnedDict kwdefaults;  // empty when it has none
    Ref owners[3];

    // `reference`: the qualified name of the stdlib function whose code it must have.
    bool capture(PyObject* f, const Name& name, PyObject* module_globals, const char* reference) noexcept
    {
        if (f == nullptr || !PyFunction_Check(f) || PyFunction_GET_GLOBALS(f) != module_globals) {
            return false;
        }
        auto* code_object = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
        if (PyUnicode_Compare(code_object->co_name, name.get()) != 0) {
            return false;
        }
        if (reference != nullptr) {
            PyObject* expected = stdlib_code(reference);
            if (expected == nullptr || !same_code(PyFunction_GET_CODE(f), expected, 0, true)) {
                return false;
            }
        }
        PyObject* file = entry(module_globals, n_file);
        if (file == nullptr || PyObject_RichCompareBool(file, code_object->co_filename, Py_EQ) != 1) {
            PyErr_Clear();
            return false;
        }
        function = f;
        code = PyFunction_GET_CODE(f);
        defaults = PyFunction_GET_DEFAULTS(f);
        owners[0] = Ref::borrow(function);
        owners[1] = Ref::borrow(code);
        owners[2] = Ref::borrow(defaults);
        if (PyObject* kw = PyFunction_GET_KW_DEFAULTS(f); kw != nullptr && !kwdefaults.hold_copy(kw)) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    bool unchanged() noexcept
    {
        return PyFunction_GET_CODE(function) == code && PyFunction_GET_DEFAULTS(function) == defaults &&
               PyFunction_GET_KW_DEFAULTS(function) == kwdefaults.dict &&
               (kwdefaults.dict == nullptr || kwdefaults.unchanged());
    }
};

// A module namespace whose names the fast route relies on. Builtins it would shadow
// must stay absent; the named objects must stay the same.
struct WatchedModule {
    WatchedDict globals;
    static constexpr int max_pinned = 4;
    const Name* pinned_names[max_pinned] = {};
    PyObject* pinned[max_pinned] = {};
    Ref pinned_owners[max_pinned];

    bool pin(const Name& name) noexcept
    {
        for (int k = 0; k < max_pinned; ++k) {
            if (pinned_names[k] == nullptr) {
                PyObject* value = entry(globals.dict, name);
                if (value == nullptr) {
                    return false;
                }
                pinned_names[k] = &name;
                pinned[k] = value;
                pinned_owners[k] = Ref::borrow(value);
                return true;
            }
        }
        return false;
    }
    PyObject* get(const Name& name) const noexcept
    {
        for (int k = 0; k < max_pinned; ++k) {
            if (pinned_names[k] == &name) {
                return pinned[k];
            }
        }
        return nullptr;
    }
    // Looked at again after any change to the namespace.
    bool unchanged() noexcept
    {
        if (globals.unchanged()) {
            return true;
        }
        for (const Name* name : {&n_isinstance, &n_str, &n_bytes, &n_bytearray, &n_len, &n_list, &n_tuple,
                                 &n_float, &n_id}) {
            if (!entry_is(globals.dict, *name, nullptr)) {
                return false;
            }
        }
        for (int k = 0; k < max_pinned; ++k) {
            if (pinned_names[k] != nullptr && !entry_is(globals.dict, *pinned_names[k], pinned[k])) {
                return false;
            }
        }
        globals.seen();
        return true;
    }
};

inline bool is_module_named(PyObject* module, const char* name) noexcept
{
    const char* actual = PyModule_GetName(module);
    if (actual == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(actual, name) == 0;
}

using internals::function_builtins;

// The builtins the stdlib functions reach on their way, as they were.
struct WatchedBuiltins {
    WatchedDict dict;

    bool unchanged() noexcept
    {
        if (dict.unchanged()) {
            return true;
        }
        const std::pair<const Name*, PyObject*> types[] = {
            {&n_str, reinterpret_cast<PyObject*>(&PyUnicode_Type)},
            {&n_bytes, reinterpret_cast<PyObject*>(&PyBytes_Type)},
            {&n_bytearray, reinterpret_cast<PyObject*>(&PyByteArray_Type)},
            {&n_list, reinterpret_cast<PyObject*>(&PyList_Type)},
            {&n_tuple, reinterpret_cast<PyObject*>(&PyTuple_Type)},
            {&n_float, reinterpret_cast<PyObject*>(&PyFloat_Type)},
        };
        for (const auto& [name, type] : types) {
            if (!entry_is(dict.dict, *name, type)) {
                return false;
            }
        }
        const std::pair<const Name*, const char*> functions[] = {
            {&n_isinstance, "isinstance"}, {&n_len, "len"}, {&n_id, "id"}};
        for (const auto& [name, text] : functions) {
            PyObject* f = entry(dict.dict, *name);
            if (f == nullptr || !PyCFunction_CheckExact(f) ||
                std::strcmp(reinterpret_cast<PyCFunctionObject*>(f)->m_ml->ml_name, text) != 0 ||
                !PyModule_Check(PyCFunction_GET_SELF(f)) ||
                !is_module_named(PyCFunction_GET_SELF(f), "builtins")) {
                PyErr_Clear();
                return false;
            }
        }
        dict.seen();
        return true;
    }
};

// An instance of a plain Python class, with its attributes and the class's methods as
// they were checked: no attribute of the instance may be shadowed by the class.
struct WatchedInstance {
    PyObject* object = nullptr;
    PyTypeObject* type = nullptr;
    PinnedDict attributes;
    Watch type_watch;
    static constexpr int max_methods = 3;
    const Name* method_names[max_methods] = {};
    WatchedFunction methods[max_methods];
    static constexpr int max_class_values = 2;
    const Name* class_value_names[max_class_values] = {};
    PyObject* class_values[max_class_values] = {};
    Ref owners[2 + max_class_values];

    bool capture(PyObject* instance, PyObject* expected_type) noexcept
    {
        if (instance == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(instance)) != expected_type ||
            Py_TYPE(instance)->tp_getattro != PyObject_GenericGetAttr) {
            return false;
        }
        PyObject** slot = internals::dict_pointer(instance);
        if (slot == nullptr) {
            PyErr_Clear();
            return false;
        }
        if (*slot == nullptr) {
            Ref materialised = Ref::steal(PyObject_GenericGetDict(instance, nullptr));
            if (!materialised) {
                PyErr_Clear();
                return false;
            }
        }
        if (*slot == nullptr || !PyDict_CheckExact(*slot)) {
            return false;
        }
        object = instance;
        type = Py_TYPE(instance);
        owners[0] = Ref::borrow(object);
        owners[1] = Ref::borrow(reinterpret_cast<PyObject*>(type));
        // Under a metaclass of its own, a new __bases__ may drop the class's version tag
        // before PyType_Modified could tell the watcher (type_mro_modified, Objects/
        // typeobject.c): only classes of `type` itself are watched.
        if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type) || !type_watch.start_type(type)) {
            return false;
        }
        if (!attributes.hold_copy(*slot)) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    bool add_method(const Name& name, const char* reference) noexcept
    {
        for (int k = 0; k < max_methods; ++k) {
            if (method_names[k] == nullptr) {
                Ref class_dict = Ref::steal(PyType_GetDict(type));
                PyObject* method = class_dict ? entry(class_dict.get(), name) : nullptr;
                PyObject* module_name = method ? entry(class_dict.get(), n_module) : nullptr;
                if (method == nullptr || module_name == nullptr || !PyFunction_Check(method)) {
                    return false;
                }
                Ref module = Ref::steal(PyImport_GetModule(module_name));
                if (!module) {
                    PyErr_Clear();
                    return false;
                }
                if (!methods[k].capture(method, name, PyModule_GetDict(module.get()), reference)) {
                    return false;
                }
                method_names[k] = &name;
                return true;
            }
        }
        return false;
    }
    bool add_class_value(const Name& name) noexcept
    {
        for (int k = 0; k < max_class_values; ++k) {
            if (class_value_names[k] == nullptr) {
                Ref class_dict = Ref::steal(PyType_GetDict(type));
                PyObject* value = class_dict ? entry(class_dict.get(), name) : nullptr;
                if (value == nullptr) {
                    return false;
                }
                class_value_names[k] = &name;
                class_values[k] = value;
                owners[2 + k] = Ref::borrow(value);
                return true;
            }
        }
        return false;
    }
    PyObject* attribute(const Name& name) const noexcept { return entry(attributes.dict, name); }
    // The class as a whole: run at capture and after any change to it.
    bool class_unchanged() noexcept
    {
        if (type->tp_getattro != PyObject_GenericGetAttr) {
            return false;
        }
        for (int k = 0; k < max_methods; ++k) {
            if (method_names[k] != nullptr && internals::type_lookup(type, method_names[k]->get()) != methods[k].function) {
                return false;
            }
        }
        for (int k = 0; k < max_class_values; ++k) {
            if (class_value_names[k] != nullptr &&
                internals::type_lookup(type, class_value_names[k]->get()) != class_values[k]) {
                return false;
            }
        }
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(attributes.dict, &position, &key, &value)) {
            if (internals::type_lookup(type, key) != nullptr) {
                return false;
            }
        }
        // The lookups above give the class a version tag if it can have one; without one,
        // PyType_Modified would not tell the watcher of the next change.
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            return false;
        }
        type_watch.seen();
        return true;
    }
    bool unchanged() noexcept
    {
        PyObject** slot = internals::dict_pointer(object);
        if (Py_TYPE(object) != type || slot == nullptr || *slot != attributes.dict || !attributes.unchanged()) {
            return false;
        }
        for (int k = 0; k < max_methods; ++k) {
            if (method_names[k] != nullptr && !methods[k].unchanged()) {
                return false;
            }
        }
        return type_watch.unchanged() || class_unchanged();
    }
};

}  // namespace vmrt::guards
