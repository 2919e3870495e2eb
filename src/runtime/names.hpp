// Names, global lookup and the two import statements, with the semantics of ordinary
// Python module code: nothing is cached between calls, so rebinding a module attribute
// changes what the next call uses.
#pragma once

#include "ref.hpp"

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
    friend Ref get_attribute(PyObject* object, const Name& name) noexcept;

    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
    bool module_type_attribute_ = true;  // the module type defines this name
};

// The `builtins` module and its namespace, recorded when a module is first executed.
PyObject* builtins_module() noexcept;
PyObject* builtins_dict() noexcept;
bool record_builtins() noexcept;

// A module-level name: the module namespace first, then the builtins, else NameError.
// Both are plain dict lookups, so a key with its own `__eq__` decides as it would for
// Python code.
Ref lookup_global(PyObject* globals, const Name& name) noexcept;

// `object.name`, through the attribute protocol.
Ref get_attribute(PyObject* object, const Name& name) noexcept;

// `name` looked up in the builtins alone, else NameError.
Ref lookup_builtin(PyObject* name) noexcept;

// `import X`: a module already in sys.modules, or a fresh absolute import.
Ref import_module(PyObject* name, PyObject* globals) noexcept;

// `from X import Y`: the object Y, with the submodule fallback of the import statement
// and its "cannot import name" error.
Ref import_from(PyObject* module_name, PyObject* attribute, PyObject* globals) noexcept;

}  // namespace vmrt
