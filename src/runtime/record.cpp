#include "record.hpp"

#include "guards/policy.hpp"
#include "names.hpp"
#include "observed.hpp"
#include "watch.hpp"

#include <cstring>
#include <new>
#include <utility>

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

// A plain, unfrozen dataclass whose __init__ stores exactly the given names, as checked:
// unchanged while the class (its bases included) is, and its __init__ keeps its code and
// defaults.
struct RecordClass {
    Ref record_class;
    Ref kwnames;
    Ref init;
    Ref init_code;
    Ref init_defaults;
    Watch class_watch;

    bool capture(PyObject* cls, PyObject* names) noexcept
    {
        // A class of `type` itself: under a metaclass of its own, a new __bases__ may drop
        // the version tag before PyType_Modified could tell the watcher.
        if (!PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type) {
            return false;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_new != PyBaseObject_Type.tp_new ||
            type->tp_setattro != PyObject_GenericSetAttr || type->tp_alloc != PyType_GenericAlloc ||
            !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
            return false;
        }
        // Held from here: compiling the reference below may run an audit hook.
        Ref function = Ref::borrow(internals::type_lookup(type, n_dunder_init.get()));
        if (!function || !PyFunction_Check(function.get()) ||
            internals::type_lookup(type, n_dunder_post_init.get()) != nullptr) {
            return false;
        }
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function.get()));
        PyObject* defaults = PyFunction_GET_DEFAULTS(function.get());
        const Py_ssize_t count = PyTuple_GET_SIZE(names);
        const Py_ssize_t optional = defaults != nullptr && PyTuple_CheckExact(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
        if (code->co_argcount != count + 1 || code->co_kwonlyargcount != 0 || optional > count ||
            PyFunction_GET_KW_DEFAULTS(function.get()) != nullptr) {
            return false;
        }
        Ref held_defaults = Ref::borrow(defaults);
        Ref reference = reference_init_code(names, count - optional);
        if (!reference) {
            PyErr_Clear();
            return false;
        }
        // The whole code: one that differs in a constant (say, returns something) is another.
        if (PyFunction_GET_DEFAULTS(function.get()) != defaults ||
            !same_code(PyFunction_GET_CODE(function.get()), reference.get(), CO_NESTED)) {
            return false;
        }
        for (Py_ssize_t k = 0; k < optional; ++k) {
            if (PyTuple_GET_ITEM(defaults, k) != Py_None) {
                return false;
            }
        }
        // The lookups above give the class a version tag when it can have one; without
        // one, PyType_Modified would not tell the watcher of the next change.
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || !class_watch.start_type(type)) {
            return false;
        }
        record_class = Ref::borrow(cls);
        kwnames = Ref::borrow(names);
        init_code = Ref::borrow(PyFunction_GET_CODE(function.get()));
        init = std::move(function);
        init_defaults = std::move(held_defaults);
        return true;
    }

    // The __init__ is compared on every call: a function watcher would be called for
    // every function the application creates.
    bool unchanged() const noexcept
    {
        return class_watch.unchanged() && PyFunction_GET_CODE(init.get()) == init_code.get() &&
               PyFunction_GET_DEFAULTS(init.get()) == init_defaults.get() &&
               PyFunction_GET_KW_DEFAULTS(init.get()) == nullptr;
    }
};

// How a refused class and its __init__ looked. The class is not held, so it is not
// watched either (that would leave our watch on a class we do not own): its version tag,
// which any change to it or its bases clears, is read instead.
struct InitLook {
    unsigned int version = 0;
    const void* code = nullptr;
    const void* defaults = nullptr;

    bool operator==(const InitLook&) const = default;

    static InitLook of(PyObject* cls) noexcept
    {
        InitLook look;
        if (PyType_Check(cls)) {
            auto* type = reinterpret_cast<PyTypeObject*>(cls);
            // The lookup gives the class a version tag when it can have one.
            PyObject* function = internals::type_lookup(type, n_dunder_init.get());
            look.version = internals::type_version(type);
            if (function != nullptr && PyFunction_Check(function)) {
                look.code = PyFunction_GET_CODE(function);
                look.defaults = PyFunction_GET_DEFAULTS(function);
            }
        }
        return look;
    }
};

struct RecordRoute {
    RecordClass captured;  // without a class when none is captured
    Refusal<InitLook> refusal;
    Ref empty_args;

    // `cls(**dict(zip(names, values)))` may be made natively now.
    bool allows(PyObject* cls, PyObject* names) noexcept
    {
        if (cls == captured.record_class.get() && names == captured.kwnames.get()) {
            if (!unobserved({captured.init_code.get()}, recursion_margin)) {
                return false;
            }
            if (captured.unchanged()) {
                return true;
            }
        }
        // Something changed, or another class: looked at afresh once the class or its
        // __init__ changes again (a patch undone), and now and then besides.
        const InitLook look = InitLook::of(cls);
        if (refusal.stands(cls, look)) {
            return false;
        }
        RecordClass fresh;
        if (!empty_args) {
            empty_args = Ref::steal(PyTuple_New(0));
            if (!empty_args) {
                PyErr_Clear();  // out of memory: the plain call, which will say so
            }
        }
        if (empty_args && fresh.capture(cls, names)) {
            captured = std::move(fresh);
            refusal.lift();
            return unobserved({captured.init_code.get()}, recursion_margin);
        }
        refusal.refuse(cls, look);
        captured = RecordClass();
        return false;
    }
};

RecordRoute* record_route = nullptr;  // one per shared object, never freed

RecordRoute* route() noexcept
{
    if (record_route == nullptr) {
        record_route = new (std::nothrow) RecordRoute();
    }
    return record_route;
}

}  // namespace

bool record_route_allows(PyObject* record_class, PyObject* kwnames) noexcept
{
    RecordRoute* records = route();
    return records != nullptr && records->allows(record_class, kwnames);
}

Ref construct_record(PyObject* record_class, PyObject* const* args, PyObject* kwnames) noexcept
{
    RecordRoute* records = route();
    if (records == nullptr || !records->allows(record_class, kwnames)) {
        return Ref::steal(PyObject_Vectorcall(record_class, args, 0, kwnames));
    }
    auto* type = reinterpret_cast<PyTypeObject*>(record_class);
    Ref record = Ref::steal(type->tp_new(type, records->empty_args.get(), nullptr));
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
