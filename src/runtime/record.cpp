#include "record.hpp"

#include "guards/policy.hpp"
#include "names.hpp"
#include "observed.hpp"

#include <cstring>
#include <new>

namespace vmrt {
namespace {

Name n_dunder_init{"__init__"};
Name n_dunder_post_init{"__post_init__"};

// The code of `def __init__(self, f1, ..., fn=None...): self.f1=f1 ...` as the dataclass
// machinery writes it, compiled here for comparison.
Ref reference_init_code(PyObject* kwnames, Py_ssize_t required) noexcept
{
    Ref source = Ref::steal(PyUnicode_FromString("def __init__(self"));
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; source && k < count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Ref part = Ref::steal(PyUnicode_FromFormat(k < required ? ",%U" : ",%U=None", name));
        source = part ? Ref::steal(PyUnicode_Concat(source.get(), part.get())) : Ref();
    }
    Ref header = source ? Ref::steal(PyUnicode_FromString("):\n")) : Ref();
    source = header ? Ref::steal(PyUnicode_Concat(source.get(), header.get())) : Ref();
    for (Py_ssize_t k = 0; source && k < count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Ref line = Ref::steal(PyUnicode_FromFormat("  self.%U=%U\n", name, name));
        source = line ? Ref::steal(PyUnicode_Concat(source.get(), line.get())) : Ref();
    }
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    Ref module = text ? Ref::steal(Py_CompileString(text, "<string>", Py_file_input)) : Ref();
    if (!module) {
        return {};
    }
    PyObject* constants = reinterpret_cast<PyCodeObject*>(module.get())->co_consts;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(constants); ++k) {
        if (PyCode_Check(PyTuple_GET_ITEM(constants, k))) {
            return Ref::borrow(PyTuple_GET_ITEM(constants, k));
        }
    }
    return {};
}

struct RecordRoute {
    Ref record_class;
    Ref kwnames;
    Ref init;
    Ref init_code;
    Ref init_defaults;
    unsigned int type_version = 0;
    const void* refused = nullptr;
    unsigned refusals = 0;
    // What the refused class and its __init__ were then (compared, never dereferenced).
    unsigned int refused_version = 0;
    const void* refused_code = nullptr;
    const void* refused_defaults = nullptr;
    Ref empty_args;

    // The class as a plain, unfrozen dataclass whose __init__ stores exactly `names`.
    bool capture(PyObject* cls, PyObject* names) noexcept
    {
        if (!PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type) {
            return false;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_new != PyBaseObject_Type.tp_new ||
            type->tp_setattro != PyObject_GenericSetAttr || type->tp_alloc != PyType_GenericAlloc ||
            !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
            return false;
        }
        PyObject* function = internals::type_lookup(type, n_dunder_init.get());
        if (function == nullptr || !PyFunction_Check(function) ||
            internals::type_lookup(type, n_dunder_post_init.get()) != nullptr) {
            return false;
        }
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function));
        PyObject* defaults = PyFunction_GET_DEFAULTS(function);
        const Py_ssize_t count = PyTuple_GET_SIZE(names);
        const Py_ssize_t optional = defaults != nullptr && PyTuple_CheckExact(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
        if (code->co_argcount != count + 1 || code->co_kwonlyargcount != 0 || optional > count ||
            PyFunction_GET_KW_DEFAULTS(function) != nullptr) {
            return false;
        }
        Ref reference = reference_init_code(names, count - optional);
        if (!reference) {
            PyErr_Clear();
            return false;
        }
        // The whole code: one that differs in a constant (say, returns something) is another.
        if (!same_code(PyFunction_GET_CODE(function), reference.get(), CO_NESTED)) {
            return false;
        }
        for (Py_ssize_t k = 0; k < optional; ++k) {
            if (PyTuple_GET_ITEM(defaults, k) != Py_None) {
                return false;
            }
        }
        // The lookups above give the class a version tag when it can have one.
        if (internals::type_version(type) == 0) {
            return false;
        }
        record_class = Ref::borrow(cls);
        kwnames = Ref::borrow(names);
        init = Ref::borrow(function);
        init_code = Ref::borrow(PyFunction_GET_CODE(function));
        init_defaults = Ref::borrow(defaults);
        type_version = internals::type_version(type);
        if (!empty_args) {
            empty_args = Ref::steal(PyTuple_New(0));
        }
        return static_cast<bool>(empty_args);
    }

    bool allows(PyObject* cls, PyObject* names) noexcept
    {
        if (cls == record_class.get() && names == kwnames.get()) {
            if (!unobserved({init_code.get()}, recursion_margin)) {
                return false;
            }
            auto* type = reinterpret_cast<PyTypeObject*>(cls);
            if (internals::type_version(type) == type_version && PyFunction_GET_CODE(init.get()) == init_code.get() &&
                PyFunction_GET_DEFAULTS(init.get()) == init_defaults.get() &&
                PyFunction_GET_KW_DEFAULTS(init.get()) == nullptr) {
                return true;
            }
        }
        // Something changed, or another class: looked at afresh once the class or its
        // __init__ changes again (a patch undone), and now and then besides.
        unsigned int version = 0;
        const void* code = nullptr;
        const void* defaults = nullptr;
        if (PyType_Check(cls)) {
            // The lookup gives the class a version tag when it can have one.
            PyObject* function = internals::type_lookup(reinterpret_cast<PyTypeObject*>(cls), n_dunder_init.get());
            version = internals::type_version(reinterpret_cast<PyTypeObject*>(cls));
            if (function != nullptr && PyFunction_Check(function)) {
                code = PyFunction_GET_CODE(function);
                defaults = PyFunction_GET_DEFAULTS(function);
            }
        }
        if (cls == refused && version == refused_version && code == refused_code && defaults == refused_defaults &&
            ++refusals % refused_retry_interval != 0) {
            return false;
        }
        if (capture(cls, names)) {
            refused = nullptr;
            return unobserved({init_code.get()}, recursion_margin);
        }
        refused = cls;
        refused_version = version;
        refused_code = code;
        refused_defaults = defaults;
        record_class.reset();
        return false;
    }
};

RecordRoute* record_route = nullptr;  // one per shared object, never freed

}  // namespace

bool record_construction_is_native(PyObject* record_class, PyObject* kwnames) noexcept
{
    if (record_route == nullptr) {
        record_route = new (std::nothrow) RecordRoute();
    }
    return record_route != nullptr && record_route->allows(record_class, kwnames);
}

Ref construct_record(PyObject* record_class, PyObject* const* args, PyObject* kwnames) noexcept
{
    if (record_route == nullptr) {
        record_route = new (std::nothrow) RecordRoute();
    }
    if (record_route == nullptr || !record_route->allows(record_class, kwnames)) {
        return Ref::steal(PyObject_Vectorcall(record_class, args, 0, kwnames));
    }
    auto* type = reinterpret_cast<PyTypeObject*>(record_class);
    Ref record = Ref::steal(type->tp_new(type, record_route->empty_args.get(), nullptr));
    if (!record) {
        return {};
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (PyObject_GenericSetAttr(record.get(), PyTuple_GET_ITEM(kwnames, k), args[k]) < 0) {
            return {};
        }
    }
    return record;
}

}  // namespace vmrt
