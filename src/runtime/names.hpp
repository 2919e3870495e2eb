// Names, global lookup and the two import statements, with the semantics of ordinary
// Python module code: nothing is cached between calls, so rebinding a module attribute
// changes what the next call uses.
#pragma once

#include "internals.hpp"
#include "ref.hpp"

#include <cstdint>

namespace vmrt {

// A string constant created once, interned, and kept for the life of the process.
// Every Name of a module announces itself at static initialisation; the loader creates
// them all before the module body runs.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept { return object_; }

    // Adds this module's Names to the registry of the shared runtime.
    static void join_registry(Name*& registry) noexcept;
    // Creates every Name of the registry that does not exist yet.
    static bool create_all() noexcept;

    // The value a lookup of this name in `dict` (then the builtins) gave last time, if
    // neither dict has changed since; nullptr otherwise.
    PyObject* cached(PyObject* dict, PyObject* builtins) const noexcept;
    // The same for `dict` alone.
    PyObject* cached(PyObject* dict) const noexcept;
    // The module type itself defines no attribute of this name (and it never changes), so
    // on a plain module the attribute is the namespace entry.
    bool plain_module_attribute() const noexcept { return !module_type_attribute_; }

    // The attribute of this name on `object`, where the remembered layout of its type
    // proves that the attribute protocol would return exactly it; nullptr otherwise.
    PyObject* cached_attribute(PyObject* object) const noexcept;

private:
    friend Ref lookup_global_uncached(PyObject* globals, const Name& name) noexcept;
    friend PyObject* lookup_in(PyObject* dict, const Name& name) noexcept;
    friend Ref attribute_uncached(PyObject* object, const Name& name) noexcept;

    // The last answer for this name, valid while the dicts it came from are unchanged.
    struct LookupCache {
        PyObject* dict = nullptr;  // searched first: a module namespace
        std::uint64_t dict_version = 0;
        std::uint64_t builtins_version = 0;  // 0: the answer is in `dict`
        PyObject* value = nullptr;           // borrowed from the dict that holds it
    };

    // Where instances of one type keep this attribute, as the interpreter's own attribute
    // specialisations remember it: valid while the type keeps its version tag, which
    // changes with any change to the type or its bases. Filled only for a type that reads
    // attributes generically and defines no attribute of this name, so that the instance's
    // own entry is the answer.
    struct AttributeCache {
        PyTypeObject* type = nullptr;
        unsigned int type_version = 0;
        bool shared_index = false;  // `index` is into the type's shared keys
        Py_ssize_t index = 0;       // the entry that holds this name
    };

    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
    bool module_type_attribute_ = true;  // the module type defines this name
    mutable LookupCache cache_;
    mutable AttributeCache attribute_cache_;
};

// The `builtins` module and its namespace, recorded when a module is first executed.
extern ProcessRef builtins_module_ref;
extern ProcessRef builtins_dict_ref;
inline PyObject* builtins_module() noexcept { return builtins_module_ref.get(); }
inline PyObject* builtins_dict() noexcept { return builtins_dict_ref.get(); }
bool record_builtins() noexcept;

// Dict version tags: an unchanged tag proves that a dict holds what it held. Polled, not
// watched: the caches own none of the dicts they key on (internals.hpp says why).
using internals::dict_version;

inline PyObject* Name::cached(PyObject* dict, PyObject* builtins) const noexcept
{
    const LookupCache& cache = cache_;
    return cache.dict == dict && cache.dict_version == dict_version(dict) &&
                   (cache.builtins_version == 0 ||
                    cache.builtins_version == dict_version(builtins))
               ? cache.value
               : nullptr;
}

inline PyObject* Name::cached(PyObject* dict) const noexcept
{
    // An answer found in `dict` itself never looks at the builtins.
    return cache_.builtins_version == 0 ? cached(dict, nullptr) : nullptr;
}

// A module-level name: the module namespace first, then the builtins, else NameError.
// A repeated lookup may be answered from the dicts' version tags, as the interpreter's
// own global loads are, but only where a plain lookup could not answer differently.
Ref lookup_global_uncached(PyObject* globals, const Name& name) noexcept;

inline Ref lookup_global(PyObject* globals, const Name& name) noexcept
{
    if (PyObject* value = name.cached(globals, builtins_dict())) {
        return Ref::borrow(value);
    }
    return lookup_global_uncached(globals, name);
}

inline PyObject* Name::cached_attribute(PyObject* object) const noexcept
{
    namespace cpy = internals;
    const AttributeCache& cache = attribute_cache_;
    PyTypeObject* type = Py_TYPE(object);
    if (type != cache.type || cpy::type_version(type) != cache.type_version) {
        return nullptr;
    }
    PyObject* dict;
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        const std::uintptr_t slot = cpy::dict_or_values(object);
        if (cpy::holds_values(slot)) {
            // Read fresh each time; nullptr when the instance lacks the attribute.
            return cache.shared_index ? cpy::values_of(slot)[cache.index] : nullptr;
        }
        dict = cpy::dict_of(slot);
    }
    else {
        dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + type->tp_dictoffset);
    }
    if (dict == nullptr || !PyDict_CheckExact(dict)) {
        return nullptr;
    }
    // With str keys only, the entry that holds this very name object is the one a lookup
    // finds, and the lookup runs no code.
    const cpy::DictKeysHeader* keys = cpy::keys_of(dict);
    if (!cpy::str_keys_only(keys) || cache.index >= keys->dk_nentries ||
        cpy::unicode_entries(keys)[cache.index].me_key != object_) {
        return nullptr;
    }
    PyObject** values = cpy::split_values(dict);
    return values != nullptr ? values[cache.index] : cpy::unicode_entries(keys)[cache.index].me_value;
}

// `module.name` for a plain module and a name its type does not define: the namespace
// entry, answered as a global is.
Ref module_attribute_uncached(PyObject* module, const Name& name) noexcept;

// `object.name` through the attribute protocol; where the type allows, it remembers where
// instances of the type keep the attribute.
Ref attribute_uncached(PyObject* object, const Name& name) noexcept;

// `object.name`: a plain module's namespace entry, an instance's own entry where the
// remembered layout proves it, anything else through the attribute protocol.
inline Ref get_attribute(PyObject* object, const Name& name) noexcept
{
    if (Py_IS_TYPE(object, &PyModule_Type) && name.plain_module_attribute()) {
        if (PyObject* value = name.cached(PyModule_GetDict(object))) {
            return Ref::borrow(value);
        }
        return module_attribute_uncached(object, name);
    }
    if (PyObject* value = name.cached_attribute(object)) {
        return Ref::borrow(value);
    }
    return attribute_uncached(object, name);
}

// `name` looked up in the builtins alone, else NameError.
Ref lookup_builtin(PyObject* name) noexcept;

// `import X`: a module already in sys.modules, or a fresh absolute import.
Ref import_module(PyObject* name, PyObject* globals) noexcept;

// `from X import Y`: the object Y, with the submodule fallback of the import statement
// and its "cannot import name" error.
Ref import_from(PyObject* module_name, PyObject* attribute, PyObject* globals) noexcept;
// The same, where the module's attribute read may be answered from the lookup caches.
Ref import_from(const Name& module_name, const Name& attribute, PyObject* globals) noexcept;

}  // namespace vmrt
