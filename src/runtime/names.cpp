#include "names.hpp"

namespace vmrt {
namespace {

Name* announced_names = nullptr;
ProcessRef builtins_module_ref;
ProcessRef builtins_dict_ref;
Name dunder_import{"__import__"};
Name dunder_name{"__name__"};

Ref raise_name_error(PyObject* name) noexcept
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

// The sys.modules entry; a None entry counts as missing, so that the import system
// raises its own error for it.
Ref imported_module(PyObject* name) noexcept
{
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module.get() == Py_None) {
        module.reset();
    }
    return module;
}

// Replaces whatever reading the attribute raised, as the import statement does.
Ref cannot_import(PyObject* attribute) noexcept
{
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute);
    return {};
}

// Calls the `__import__` found in the builtins, so that import hooks installed there see
// exactly what a Python import statement would show them.
Ref call_import(PyObject* name, PyObject* globals, PyObject* fromlist) noexcept
{
    PyObject* import_function = PyDict_GetItemWithError(builtins_dict(), dunder_import.get());
    if (import_function == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        return {};
    }
    Ref keep_alive = Ref::borrow(import_function);
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return {};
    }
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!level) {
        return {};
    }
    PyObject* args[] = {name, globals, locals.get(), fromlist, level.get()};
    return Ref::steal(PyObject_Vectorcall(import_function, args, 5, nullptr));
}

}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(announced_names)
{
    announced_names = this;
}

bool Name::create_all() noexcept
{
    for (Name* name = announced_names; name != nullptr; name = name->next_) {
        if (name->object_ == nullptr) {
            name->object_ = PyUnicode_InternFromString(name->text_);
            if (name->object_ == nullptr) {
                return false;
            }
            name->module_type_attribute_ = _PyType_Lookup(&PyModule_Type, name->object_) != nullptr;
        }
    }
    return true;
}

PyObject* builtins_module() noexcept { return builtins_module_ref.get(); }

PyObject* builtins_dict() noexcept { return builtins_dict_ref.get(); }

bool record_builtins() noexcept
{
    if (builtins_module_ref) {
        return true;
    }
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) {
        return false;
    }
    builtins_module_ref.hold(builtins);
    builtins_dict_ref.hold(PyModule_GetDict(builtins));
    return true;
}

Ref lookup_global(PyObject* globals, const Name& name) noexcept
{
    PyObject* value = PyDict_GetItemWithError(globals, name.get());
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(builtins_dict(), name.get());
        if (value == nullptr && !PyErr_Occurred()) {
            return raise_name_error(name.get());
        }
    }
    return Ref::borrow(value);
}

Ref get_attribute(PyObject* object, const Name& name) noexcept
{
    // The module type defines none of the names read this way (and it never changes),
    // so a plain module's attribute is its namespace entry; a miss takes the general
    // route, which also runs a module `__getattr__`.
    if (Py_IS_TYPE(object, &PyModule_Type) && !name.module_type_attribute_) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(object), name.get());
        if (value != nullptr || PyErr_Occurred()) {
            return Ref::borrow(value);
        }
    }
    return Ref::steal(PyObject_GetAttr(object, name.get()));
}

Ref lookup_builtin(PyObject* name) noexcept
{
    PyObject* value = PyDict_GetItemWithError(builtins_dict(), name);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return raise_name_error(name);
}

Ref import_module(PyObject* name, PyObject* globals) noexcept
{
    Ref module = imported_module(name);
    if (module || PyErr_Occurred()) {
        return module;
    }
    return call_import(name, globals, Py_None);
}

Ref import_from(PyObject* module_name, PyObject* attribute, PyObject* globals) noexcept
{
    Ref module = imported_module(module_name);
    if (!module && PyErr_Occurred()) {
        return {};
    }
    if (module) {
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), attribute));
        if (value) {
            return value;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return cannot_import(attribute);
        }
        PyErr_Clear();
    }
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attribute));
    if (!fromlist) {
        return {};
    }
    module = call_import(module_name, globals, fromlist.get());
    if (!module) {
        return {};
    }

    Ref value = Ref::steal(PyObject_GetAttr(module.get(), attribute));
    if (value) {
        return value;
    }
    // As the import statement does: a submodule that is in sys.modules but not yet an
    // attribute of its package still counts.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref package_name = Ref::steal(PyObject_GetAttr(module.get(), dunder_name.get()));
        if (package_name && PyUnicode_Check(package_name.get())) {
            Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name.get(), attribute));
            // Any entry counts, None included: the import statement binds whatever
            // sys.modules holds there.
            if (full_name) {
                value = Ref::steal(PyImport_GetModule(full_name.get()));
                if (value || PyErr_Occurred()) {
                    return value;
                }
            }
        }
    }
    return cannot_import(attribute);
}

}  // namespace vmrt
