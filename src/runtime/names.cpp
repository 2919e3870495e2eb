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

namespace {

// Every change to a dict gives it a new version tag, unique within the interpreter, so an
// unchanged tag proves that a lookup would find the same object again. The field is
// deprecated from 3.12 on, but it is maintained throughout 3.12, the only version this
// package builds for.
std::uint64_t dict_version(PyObject* dict) noexcept
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

}  // namespace

// `dict[name]` as a borrowed reference, or nullptr without an error when it is missing.
// A hit is remembered with the dict's version tag.
PyObject* cached_lookup(PyObject* dict, const Name& name) noexcept
{
    Name::LookupCache& cache = name.cache_;
    // Read before the lookup: a lookup that ran code and changed the dict leaves behind
    // a tag that can never match again.
    const std::uint64_t version = dict_version(dict);
    if (cache.value != nullptr && cache.globals == dict && cache.globals_version == version &&
        cache.builtins_version == 0) {
        return cache.value;
    }
    PyObject* value = PyDict_GetItemWithError(dict, name.get());
    if (value != nullptr) {
        cache = {dict, version, 0, value};
    }
    return value;
}

Ref lookup_global(PyObject* globals, const Name& name) noexcept
{
    Name::LookupCache& cache = name.cache_;
    const std::uint64_t globals_version = dict_version(globals);
    if (cache.value != nullptr && cache.globals == globals &&
        cache.globals_version == globals_version &&
        (cache.builtins_version == 0 || cache.builtins_version == dict_version(builtins_dict()))) {
        return Ref::borrow(cache.value);
    }
    cache.value = nullptr;
    // Read before the lookups: a lookup that ran code and changed a dict leaves a tag
    // that can never match again.
    const std::uint64_t builtins_version = dict_version(builtins_dict());
    PyObject* value = cached_lookup(globals, name);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    value = PyDict_GetItemWithError(builtins_dict(), name.get());
    if (value == nullptr) {
        return PyErr_Occurred() ? Ref() : raise_name_error(name.get());
    }
    cache = {globals, globals_version, builtins_version, value};
    return Ref::borrow(value);
}

namespace {

// The instance dict that generic attribute access reads, or nullptr where there is none
// or the type itself defines the name (then the type may take precedence).
PyObject* generic_instance_dict(PyObject* object, const Name& name) noexcept
{
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, name.get()) != nullptr ||
        type->tp_version_tag == 0) {
        return nullptr;
    }
    PyObject** dict_slot = _PyObject_GetDictPtr(object);
    if (dict_slot == nullptr || *dict_slot == nullptr || !PyDict_CheckExact(*dict_slot)) {
        return nullptr;
    }
    return *dict_slot;
}

}  // namespace

Ref get_attribute(PyObject* object, const Name& name) noexcept
{
    PyTypeObject* type = Py_TYPE(object);
    // The module type defines none of the names read this way (it never changes), so a
    // plain module's attribute is its namespace entry.
    if (type == &PyModule_Type && !name.module_type_attribute_) {
        PyObject* value = cached_lookup(PyModule_GetDict(object), name);
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return {};
        }
        // A miss falls through: the module type's own attribute access handles it.
    }

    Name::AttributeCache& cache = name.attribute_cache_;
    if (cache.value != nullptr && cache.type == type && cache.type_version == type->tp_version_tag) {
        PyObject** dict_slot = _PyObject_GetDictPtr(object);
        if (dict_slot != nullptr && *dict_slot == cache.dict &&
            dict_version(cache.dict) == cache.dict_version) {
            return Ref::borrow(cache.value);
        }
    }
    cache.value = nullptr;
    if (PyObject* dict = generic_instance_dict(object, name)) {
        const std::uint64_t version = dict_version(dict);
        PyObject* value = PyDict_GetItemWithError(dict, name.get());
        if (value != nullptr) {
            cache = {type, type->tp_version_tag, dict, version, value};
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return {};
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
            if (full_name) {
                value = imported_module(full_name.get());
                if (value) {
                    return value;
                }
            }
        }
    }
    return cannot_import(attribute);
}

}  // namespace vmrt
