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

private:
    friend Ref lookup_global(PyObject* globals, const Name& name) noexcept;
    friend Ref get_attribute(PyObject* object, const Name& name) noexcept;
    friend PyObject* cached_lookup(PyObject* dict, const Name& name) noexcept;

    // The last lookup of this name, valid while neither namespace has changed.
    struct LookupCache {
        PyObject* globals = nullptr;         // the namespace searched first
        std::uint64_t globals_version = 0;
        std::uint64_t builtins_version = 0;  // 0: found in the first namespace
        PyObject* value = nullptr;           // borrowed from the namespace that holds it
    };

    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
    // The last attribute read through an instance dict, valid while the type and that
    // dict are unchanged.
    struct AttributeCache {
        PyTypeObject* type = nullptr;
        unsigned int type_version = 0;
        PyObject* dict = nullptr;
        std::uint64_t dict_version = 0;
        PyObject* value = nullptr;  // borrowed from `dict`
    };

    mutable LookupCache cache_;
    mutable AttributeCache attribute_cache_;
    bool module_type_attribute_ = true;  // the module type defines this name
};

// The `builtins` module and its namespace, recorded when a module is first executed.
PyObject* builtins_module() noexcept;
PyObject* builtins_dict() noexcept;
bool record_builtins() noexcept;

// A module-level name: the module namespace first, then the builtins, else NameError.
// Nothing is remembered that could go stale: like the interpreter's own global loads, a
// repeated lookup is answered from the dictionaries' version tags, which change with
// every change to either namespace.
Ref lookup_global(PyObject* globals, const Name& name) noexcept;

// `object.name`. Where the type leaves attribute access to the generic protocol and does
// not define the name itself, the attribute is the object's namespace entry, and repeated
// reads are answered from the type's and the dict's version tags; anything else goes
// through the attribute protocol.
Ref get_attribute(PyObject* object, const Name& name) noexcept;

// `name` looked up in the builtins alone, else NameError.
Ref lookup_builtin(PyObject* name) noexcept;

// `import X`: a module already in sys.modules, or a fresh absolute import.
Ref import_module(PyObject* name, PyObject* globals) noexcept;

// `from X import Y`: the object Y, with the submodule fallback of the import statement
// and its "cannot import name" error.
Ref import_from(PyObject* module_name, PyObject* attribute, PyObject* globals) noexcept;

}  // namespace vmrt
