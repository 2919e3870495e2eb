// Names, global lookup and the two import statements, with the semantics of ordinary
// Python module code: nothing is cached between calls, so rebinding a module attribute
// changes what the next call uses.
#pragma once

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
    const char* text() const noexcept { return text_; }

    // Creates every announced Name that does not exist yet.
    static bool create_all() noexcept;

    // The value a lookup of this name in `dict` (then the builtins) gave last time, if
    // neither dict has changed since; nullptr otherwise.
    PyObject* cached(PyObject* dict, PyObject* builtins) const noexcept;
    // The same for `dict` alone.
    PyObject* cached(PyObject* dict) const noexcept;
    // The module type itself defines no attribute of this name (and it never changes), so
    // on a plain module the attribute is the namespace entry.
    bool plain_module_attribute() const noexcept { return !module_type_attribute_; }

private:
    friend Ref lookup_global_uncached(PyObject* globals, const Name& name) noexcept;
    friend PyObject* lookup_in(PyObject* dict, const Name& name) noexcept;

    // The last answer for this name, valid while the dicts it came from are unchanged.
    struct LookupCache {
        PyObject* dict = nullptr;  // searched first: a module namespace
        std::uint64_t dict_version = 0;
        std::uint64_t builtins_version = 0;  // 0: the answer is in `dict`
        PyObject* value = nullptr;           // borrowed from the dict that holds it
    };

    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
    bool module_type_attribute_ = true;  // the module type defines this name
    mutable LookupCache cache_;
};

// The `builtins` module and its namespace, recorded when a module is first executed.
extern ProcessRef builtins_module_ref;
extern ProcessRef builtins_dict_ref;
inline PyObject* builtins_module() noexcept { return builtins_module_ref.get(); }
inline PyObject* builtins_dict() noexcept { return builtins_dict_ref.get(); }
bool record_builtins() noexcept;

// Every change to a dict gives it a new version tag, unique within the interpreter, so an
// unchanged tag proves that the dict holds what it held. The field is deprecated from
// 3.12 on, but it is maintained throughout 3.12, the only version this package builds for.
inline std::uint64_t dict_version(PyObject* dict) noexcept
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

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

// `module.name` for a plain module and a name its type does not define: the namespace
// entry, answered as a global is.
Ref module_attribute_uncached(PyObject* module, const Name& name) noexcept;

// `object.name`: a plain module's namespace entry, anything else through the attribute
// protocol.
inline Ref get_attribute(PyObject* object, const Name& name) noexcept
{
    if (!Py_IS_TYPE(object, &PyModule_Type) || !name.plain_module_attribute()) {
        return Ref::steal(PyObject_GetAttr(object, name.get()));
    }
    if (PyObject* value = name.cached(PyModule_GetDict(object))) {
        return Ref::borrow(value);
    }
    return module_attribute_uncached(object, name);
}

// `name` looked up in the builtins alone, else NameError.
Ref lookup_builtin(PyObject* name) noexcept;

// `import X`: a module already in sys.modules, or a fresh absolute import.
Ref import_module(PyObject* name, PyObject* globals) noexcept;

// `from X import Y`: the object Y, with the submodule fallback of the import statement
// and its "cannot import name" error.
Ref import_from(PyObject* module_name, PyObject* attribute, PyObject* globals) noexcept;

}  // namespace vmrt
