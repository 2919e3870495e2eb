// Whether a native route that skips some Python code could be told apart from running
// it: by a trace or profile function, by sys.monitoring events for all code or on the
// skipped code, by work the eval loop would do at the skipped code's first check (a
// signal handler, a pending call, an asynchronous exception), or by the recursion limits
// that the real calls would run into.
#pragma once

#include "internals.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>

namespace vmrt {

// `skipped` are the code objects of the Python functions the route stands in for.
inline bool unobserved(std::initializer_list<PyObject*> skipped, int c_levels_needed) noexcept
{
    namespace cpy = internals;
    PyThreadState* thread = PyThreadState_Get();
    if (cpy::tracing_or_profiling(thread) || cpy::py_recursion_remaining(thread) <= 20 ||
        cpy::c_recursion_remaining(thread) <= c_levels_needed) {
        return false;
    }
    // Read from the interpreter itself: a thread without a Python frame (one started on a
    // C function, or a host's thread) has no frame that would show them.
    if (cpy::global_events_set(thread) || cpy::interrupt_pending(thread)) {
        return false;
    }
    for (PyObject* code : skipped) {
        if (cpy::code_monitored(code)) {
            return false;
        }
    }
    return true;
}

// Called by the JSON decoder once its parse is done and the lock is held again: whether
// it may still stand in for json.loads(text), or whether plain code would now show
// something (a signal that arrived, or, when other threads could run meanwhile, a tracer,
// profiler or monitoring events switched on, or json changed). When not, the caller
// drops its work and json.loads runs.
bool json_decode_still_unobserved(PyObject* text, bool lock_was_released) noexcept;

bool same_code(PyObject* a, PyObject* b, int ignored_flags = 0, bool any_docstring = false) noexcept;

// Constants that behave alike: of one type and equal (floats bit for bit), code objects
// that do the same, tuples of such; any other kind only as the same object.
inline bool same_constant(PyObject* a, PyObject* b) noexcept
{
    if (a == b) {
        return true;
    }
    if (Py_TYPE(a) != Py_TYPE(b)) {
        return false;
    }
    if (PyCode_Check(a)) {
        return same_code(a, b);
    }
    if (PyTuple_CheckExact(a)) {
        if (PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) {
            return false;
        }
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(a); ++k) {
            if (!same_constant(PyTuple_GET_ITEM(a, k), PyTuple_GET_ITEM(b, k))) {
                return false;
            }
        }
        return true;
    }
    if (PyFloat_CheckExact(a)) {
        const double x = PyFloat_AS_DOUBLE(a);
        const double y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (PyUnicode_CheckExact(a) || PyLong_CheckExact(a) || PyBytes_CheckExact(a)) {
        const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
        if (equal < 0) {
            PyErr_Clear();
        }
        return equal == 1;
    }
    return false;
}

// Whether two code objects do the same when run: the same bytecode (as compiled, before
// the interpreter adapts it), constants, names, variables, exception table, flags and
// argument counts. Where the code comes from (file, lines) only shows in tracebacks and
// is not compared; with `any_docstring`, neither is the first constant of a function,
// its docstring or None.
inline bool same_code(PyObject* a_object, PyObject* b_object, int ignored_flags, bool any_docstring) noexcept
{
    auto* a = reinterpret_cast<PyCodeObject*>(a_object);
    auto* b = reinterpret_cast<PyCodeObject*>(b_object);
    if (a->co_argcount != b->co_argcount || a->co_posonlyargcount != b->co_posonlyargcount ||
        a->co_kwonlyargcount != b->co_kwonlyargcount || a->co_stacksize != b->co_stacksize ||
        (a->co_flags & ~ignored_flags) != (b->co_flags & ~ignored_flags) ||
        PyTuple_GET_SIZE(a->co_consts) != PyTuple_GET_SIZE(b->co_consts)) {
        return false;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(a->co_consts); ++k) {
        PyObject* x = PyTuple_GET_ITEM(a->co_consts, k);
        PyObject* y = PyTuple_GET_ITEM(b->co_consts, k);
        const bool docstrings = k == 0 && any_docstring && Py_TYPE(x) == Py_TYPE(y) &&
                                (x == Py_None || PyUnicode_CheckExact(x));
        if (!docstrings && !same_constant(x, y)) {
            return false;
        }
    }
    Ref parts[] = {
        Ref::steal(PyCode_GetCode(a)),     Ref::steal(PyCode_GetCode(b)),
        Ref::steal(PyCode_GetVarnames(a)), Ref::steal(PyCode_GetVarnames(b)),
        Ref::steal(PyCode_GetCellvars(a)), Ref::steal(PyCode_GetCellvars(b)),
        Ref::steal(PyCode_GetFreevars(a)), Ref::steal(PyCode_GetFreevars(b)),
        Ref::borrow(a->co_names),          Ref::borrow(b->co_names),
        Ref::borrow(a->co_exceptiontable), Ref::borrow(b->co_exceptiontable),
        Ref::borrow(a->co_name),           Ref::borrow(b->co_name),
    };
    for (std::size_t k = 0; k < std::size(parts); k += 2) {
        const int equal = parts[k] && parts[k + 1] ? PyObject_RichCompareBool(parts[k].get(), parts[k + 1].get(), Py_EQ) : -1;
        if (equal != 1) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

}  // namespace vmrt
