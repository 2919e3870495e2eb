#include "function.hpp"

#include "names.hpp"
#include "runtime.hpp"

#include <cstdio>

namespace vmrt {
namespace {

Name n_replace{"replace"};
Name n_add_note{"add_note"};
Name n_empty{""};

constexpr const char subclass_note[] =
    "Subclasses of built-in types are rejected: pass an instance of the built-in type itself.";

// ---- argument binding ---------------------------------------------------------------

bool has_optional(const FunctionSpec& spec) noexcept { return spec.none_defaults != 0; }

std::size_t required_count(const FunctionSpec& spec) noexcept
{
    return spec.params.size() - spec.none_defaults;
}

void raise_count_error(const FunctionSpec& spec, Py_ssize_t given) noexcept
{
    const auto required = static_cast<Py_ssize_t>(required_count(spec));
    const bool too_few = given < required;
    const Py_ssize_t expected = too_few ? required : static_cast<Py_ssize_t>(spec.params.size());
    const char* wording = !has_optional(spec) ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, wording, expected, expected == 1 ? "" : "s", given);
}

// The parameter a keyword names, as the interpreter matches it: by identity first, then
// by rich comparison, so a str subclass's own `__eq__` decides and its errors propagate.
// Returns -1 for no match and -2 with an error set.
Py_ssize_t find_param(const Function* self, PyObject* keyword) noexcept
{
    const Py_ssize_t count = PyTuple_GET_SIZE(self->param_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(self->param_names, i) == keyword) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int equal =
            PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(self->param_names, i), Py_EQ);
        if (equal != 0) {
            return equal > 0 ? i : -2;
        }
    }
    return -1;
}

// Fills `bound` with borrowed references: the caller's arguments and the defaults.
bool bind_arguments(const Function* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) noexcept
{
    const FunctionSpec& spec = *self->spec;
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    const auto required = static_cast<Py_ssize_t>(required_count(spec));
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);

    if (nargs > nparams || (nkw == 0 && nargs < required)) {
        raise_count_error(spec, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            // Only a C caller can pass such a name; the interpreter's own wording.
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", self->qualname);
            return false;
        }
        const Py_ssize_t index = find_param(self, keyword);
        if (index == -2) {
            return false;
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                         keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, keyword);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        if (i < required) {
            raise_count_error(spec, i);
            return false;
        }
        bound[i] = PyTuple_GET_ITEM(self->defaults, i - required);
    }
    return true;
}

// ---- argument rules -----------------------------------------------------------------

void add_subclass_note() noexcept
{
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromString(subclass_note));
    Ref added;
    if (note) {
        added = Ref::steal(PyObject_CallMethodOneArg(error.get(), n_add_note.get(), note.get()));
    }
    if (added) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    // The note could not be added: report that failure, with the TypeError as context.
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    PyException_SetContext(failure.get(), error.release());
    PyErr_SetRaisedException(failure.release());
}

bool check_exact(PyObject* value, PyTypeObject* type, const char* param) noexcept
{
    if (Py_IS_TYPE(value, type)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, type->tp_name, Py_TYPE(value)->tp_name);
    if (PyObject_TypeCheck(value, type)) {
        add_subclass_note();
    }
    return false;
}

bool coerce_int_or_none(PyObject* value, const char* param) noexcept
{
    if (value == Py_None || PyLong_CheckExact(value)) {
        return true;
    }
    if (!PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                     "int", Py_TYPE(value)->tp_name);
        return false;
    }
    // The converted value is not used; the conversion is the check.
    return static_cast<bool>(Ref::steal(PyNumber_Long(value)));
}

enum class Checked { ok, failed_with_traceback, failed_without_traceback };

Checked apply_rules(const FunctionSpec& spec, PyObject* const* bound) noexcept
{
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        if (spec.params[i].rule == ArgRule::int_or_none &&
            !coerce_int_or_none(bound[i], spec.params[i].name)) {
            return Checked::failed_with_traceback;
        }
    }
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& param = spec.params[i];
        PyTypeObject* exact = param.rule == ArgRule::exact_str    ? &PyUnicode_Type
                              : param.rule == ArgRule::exact_list ? &PyList_Type
                                                                  : nullptr;
        if (exact != nullptr && !check_exact(bound[i], exact, param.name)) {
            return Checked::failed_without_traceback;
        }
    }
    return Checked::ok;
}

// ---- calling ------------------------------------------------------------------------

PyObject* traced(const Function* self, PyObject* result) noexcept
{
    if (result == nullptr) {
        add_traceback(self->spec->module, self->spec->qualname, self->spec->line);
    }
    return result;
}

PyObject* call_without_params(Function* self, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    const char* name = self->spec->name;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", name, "takes no keyword arguments");
        return nullptr;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name, "takes no arguments", nargs);
        return nullptr;
    }
    return traced(self, self->spec->body(self, nullptr));
}

PyObject* call_function(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept
{
    auto* self = reinterpret_cast<Function*>(callable);
    const FunctionSpec& spec = *self->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (self->globals == nullptr) {
        // Only a function torn down by the garbage collector gets here.
        PyErr_SetString(PyExc_SystemError, "function object has been cleared");
        return nullptr;
    }
    if (spec.params.empty()) {
        return call_without_params(self, nargs, kwnames);
    }

    PyObject* buffer[max_params];
    PyObject* const* bound = args;
    const bool has_keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
    if (has_keywords || nargs != static_cast<Py_ssize_t>(spec.params.size())) {
        if (!bind_arguments(self, args, nargs, has_keywords ? kwnames : nullptr, buffer)) {
            return traced(self, nullptr);
        }
        bound = buffer;
    }
    switch (self->checks_args ? apply_rules(spec, bound) : Checked::ok) {
    case Checked::ok:
        break;
    case Checked::failed_with_traceback:
        return traced(self, nullptr);
    case Checked::failed_without_traceback:
        return nullptr;
    }
    return traced(self, spec.body(self, bound));
}

// Every call enters the interpreter's recursion guard, as its own C functions do, so a
// call cycle that runs only through C code ends in RecursionError, not a stack overflow.
// A body that guards its own calls does without it when binding runs no code: the
// arguments are given by position, as many as there are parameters, and no parameter is
// coerced.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    auto* self = reinterpret_cast<Function*>(callable);
    const FunctionSpec& spec = *self->spec;
    if (spec.guards_own_calls && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) &&
        PyVectorcall_NARGS(nargsf) == static_cast<Py_ssize_t>(spec.params.size())) {
        // Bound as given: straight to the body when no rule has to look at the arguments.
        if (!self->checks_args && self->globals != nullptr) {
            return traced(self, spec.body(self, args));
        }
        return call_function(callable, args, nargsf, kwnames);
    }
    RecursionGuard guard;
    if (!guard.enter()) {
        return nullptr;
    }
    return call_function(callable, args, nargsf, kwnames);
}

// ---- the type -----------------------------------------------------------------------

Function* as_function(PyObject* object) noexcept { return reinterpret_cast<Function*>(object); }

int function_traverse(PyObject* object, visitproc visit, void* arg) noexcept
{
    Function* self = as_function(object);
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->doc);
    Py_VISIT(self->globals);
    Py_VISIT(self->code);
    Py_VISIT(self->defaults);
    Py_VISIT(self->annotations);
    Py_VISIT(self->dict);
    return 0;
}

// Keeps what binding needs (parameter names, defaults, code) so that a call made during
// collection cannot crash; it holds no user objects.
int function_clear(PyObject* object) noexcept
{
    Function* self = as_function(object);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->dict);
    Py_SETREF(self->name, Py_NewRef(n_empty.get()));
    Py_SETREF(self->qualname, Py_NewRef(n_empty.get()));
    return 0;
}

void function_dealloc(PyObject* object) noexcept
{
    Function* self = as_function(object);
    PyObject_GC_UnTrack(object);
    if (self->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(object);
    }
    function_clear(object);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->code);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->param_names);
    PyObject_GC_Del(object);
}

PyObject* function_repr(PyObject* object) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(object)->qualname, object);
}

// Looked up on an instance a function gives a bound method, on the class itself.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept
{
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

int set_str(PyObject** slot, PyObject* value, const char* attribute) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) noexcept
{
    return set_str(&as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept
{
    return set_str(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) noexcept
{
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

PyObject* get_none(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }

PyObject* get_empty_tuple(PyObject*, void*) noexcept { return PyTuple_New(0); }

PyObject* get_annotations(PyObject* self, void*) noexcept
{
    Function* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
    }
    return Py_XNewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// `__module__` and `__doc__` take any object; deleted, they read as None, as does a
// cleared `__globals__`.
template <PyObject* Function::*member>
PyObject* get_or_none(PyObject* self, void*) noexcept
{
    PyObject* value = as_function(self)->*member;
    return Py_NewRef(value != nullptr ? value : Py_None);
}

template <PyObject* Function::*member>
int set_any(PyObject* self, PyObject* value, void*) noexcept
{
    Py_XSETREF(as_function(self)->*member, Py_XNewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->code); }

// Pickled by reference: the pickler finds the function again by module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__module__", get_or_none<&Function::module>, set_any<&Function::module>, nullptr, nullptr},
    {"__doc__", get_or_none<&Function::doc>, set_any<&Function::doc>, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_or_none<&Function::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_empty_tuple, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A static type, not a heap type made from a spec: a heap type keeps its own `__module__`
// and `__doc__` in its dict, where this type keeps the data descriptors of its instances'
// `__module__` and `__doc__` (which pydoc reads with object.__getattribute__), so either
// the type's or the instances' attributes would read differently. Only the runtime that
// the modules share (runtime.hpp) uses it, so one copy of it is ever readied.
PyTypeObject function_type = {
    .ob_base = {.ob_base = {.ob_refcnt = 1, .ob_type = nullptr}, .ob_size = 0},
    .tp_name = "velmorrow.function",
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A function of velmorrow's extension modules.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(Function, weakreflist),
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(Function, dict),
};

// ---- construction -------------------------------------------------------------------

Ref make_code(const FunctionSpec& spec, PyObject* qualname) noexcept
{
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(spec.module.source_file, spec.name, spec.line)));
    if (!empty) {
        return {};
    }
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    const auto nlocals = static_cast<Py_ssize_t>(spec.params.size() + spec.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    if (!varnames) {
        return {};
    }
    for (Py_ssize_t i = 0; i < nlocals; ++i) {
        const char* text = i < nparams ? spec.params[static_cast<std::size_t>(i)].name
                                       : spec.locals[static_cast<std::size_t>(i - nparams)];
        PyObject* varname = PyUnicode_InternFromString(text);
        if (varname == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), i, varname);
    }
    Ref argcount = Ref::steal(PyLong_FromSsize_t(nparams));
    Ref local_count = Ref::steal(PyLong_FromSsize_t(nlocals));
    Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), n_replace.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!argcount || !local_count || !flags || !replace || !kwargs ||
        PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", local_count.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", qualname) < 0) {
        return {};
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

Ref make_annotations(const FunctionSpec& spec) noexcept
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (const Param& param : spec.params) {
        if (param.annotation == nullptr) {
            continue;
        }
        Ref value = Ref::steal(PyUnicode_FromString(param.annotation));
        if (!value || PyDict_SetItemString(annotations.get(), param.name, value.get()) < 0) {
            return {};
        }
    }
    if (spec.return_annotation != nullptr) {
        Ref value = Ref::steal(PyUnicode_FromString(spec.return_annotation));
        if (!value || PyDict_SetItemString(annotations.get(), "return", value.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

Ref make_param_names(const FunctionSpec& spec) noexcept
{
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
    if (!names) {
        return {};
    }
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(spec.params[i].name);
        if (name == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names;
}

Ref make_defaults(const FunctionSpec& spec) noexcept
{
    if (spec.none_defaults == 0) {
        return Ref::borrow(Py_None);
    }
    const auto count = static_cast<Py_ssize_t>(spec.none_defaults);
    Ref defaults = Ref::steal(PyTuple_New(count));
    if (!defaults) {
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }
    return defaults;
}

Ref text_or_none(const char* text) noexcept
{
    return text != nullptr ? Ref::steal(PyUnicode_FromString(text)) : Ref::borrow(Py_None);
}

}  // namespace

PyTypeObject* ready_function_type() noexcept
{
    return PyType_Ready(&function_type) == 0 ? &function_type : nullptr;
}

bool is_function_of(PyObject* object, const FunctionSpec& spec) noexcept
{
    return Py_IS_TYPE(object, runtime->function_type) && as_function(object)->spec == &spec;
}

Ref make_function(const FunctionSpec& spec, PyObject* globals) noexcept
{
    bool coerces = false;
    for (const Param& param : spec.params) {
        coerces = coerces || param.rule == ArgRule::int_or_none;
    }
    // Coercion runs code before the body could enter the guard.
    if (spec.params.size() > max_params || spec.none_defaults > spec.params.size() ||
        (coerces && spec.guards_own_calls)) {
        PyErr_SetString(PyExc_SystemError, "malformed function definition");
        return {};
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(spec.qualname));
    Ref module = Ref::steal(PyUnicode_InternFromString(spec.module.full_name));
    Ref doc = text_or_none(spec.doc);
    if (!name || !qualname || !module || !doc) {
        return {};
    }
    Ref code = make_code(spec, qualname.get());
    Ref annotations = code ? make_annotations(spec) : Ref();
    Ref param_names = annotations ? make_param_names(spec) : Ref();
    Ref defaults = param_names ? make_defaults(spec) : Ref();
    if (!defaults) {
        return {};
    }

    Function* self = PyObject_GC_New(Function, runtime->function_type);
    if (self == nullptr) {
        return {};
    }
    self->vectorcall = function_vectorcall;
    self->spec = &spec;
    self->param_names = param_names.release();
    self->name = name.release();
    self->qualname = qualname.release();
    self->module = module.release();
    self->doc = doc.release();
    self->globals = Py_NewRef(globals);
    self->code = code.release();
    self->defaults = defaults.get() == Py_None ? nullptr : defaults.release();
    self->annotations = annotations.release();
    self->dict = nullptr;
    self->weakreflist = nullptr;
    self->checks_args = false;
    for (const Param& param : spec.params) {
        self->checks_args = self->checks_args || param.rule != ArgRule::any;
    }
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

void add_traceback(const ModuleInfo& module, const char* qualname, int line) noexcept
{
    char entry[256];
    std::snprintf(entry, sizeof entry, "%s.%s", module.full_name, qualname);
    internals::add_traceback_entry(entry, module.source_file, line);
}

PyObject* checked_return(Ref value, PyTypeObject* type) noexcept
{
    if (!value || value.get() == Py_None || Py_IS_TYPE(value.get(), type)) {
        return value.release();
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name,
                 Py_TYPE(value.get())->tp_name);
    return nullptr;
}

}  // namespace vmrt
