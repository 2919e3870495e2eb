// The function object of the extension modules: a Python-compatible function whose body
// is C++. It carries the attributes that introspection expects of a Python function,
// binds to instances like one, and binds its arguments with the interpreter's own error
// texts.
#pragma once

#include "internals.hpp"
#include "ref.hpp"

#include <cstddef>
#include <span>

namespace vmrt {

struct Function;

// Which object a parameter accepts, checked after binding and before the body.
enum class ArgRule : unsigned char {
    any,
    exact_str,    // exactly `str`; no traceback entry when refused
    exact_list,   // exactly `list`; no traceback entry when refused
    int_or_none,  // None or int as given; other numbers go through int(); runs first
};

struct Param {
    const char* name;
    const char* annotation;  // the annotation string, or nullptr for none
    ArgRule rule = ArgRule::any;
};

// The body receives exactly one argument per parameter, already bound and checked.
using FunctionBody = PyObject* (*)(Function* self, PyObject* const* args);

struct ModuleInfo {
    const char* short_name;   // "sparse"
    const char* full_name;    // "velmorrow.sparse"
    const char* source_file;  // "src/velmorrow/sparse"
};

struct FunctionSpec {
    const ModuleInfo& module;
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: None
    std::span<const Param> params;
    const char* return_annotation;
    std::span<const char* const> locals;  // local variable names after the parameters
    std::size_t none_defaults;            // trailing parameters that default to None
    int line;                             // first line, for the code object and traceback
    FunctionBody body;
    // The body enters the recursion guard itself, before each step that can run code or
    // call out; a call whose arguments bind without running code then takes no guard.
    // Such a body runs no code of others before it has entered the guard.
    bool guards_own_calls = false;
};

constexpr std::size_t max_params = 8;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* param_names;  // tuple of interned str, for keyword binding
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakreflist;
    bool checks_args;  // some parameter has a rule other than `any`
};

// The type of these functions, readied once for the process and shared (runtime.hpp).
PyTypeObject* ready_function_type() noexcept;

// Whether `object` is a function of this runtime made from `spec`.
bool is_function_of(PyObject* object, const FunctionSpec& spec) noexcept;

// The interpreter's recursion guard (Py_EnterRecursiveCall) around whatever follows
// `enter()` until the guard goes out of scope, so that a call cycle that runs only through
// C code ends in RecursionError, not a stack overflow. Entered at most once.
class RecursionGuard {
public:
    RecursionGuard() noexcept = default;
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard()
    {
        if (thread_ != nullptr) {
            ++internals::c_recursion_remaining(thread_);  // Py_LeaveRecursiveCall
        }
    }

    // False, with RecursionError set, when the thread has no budget left.
    [[nodiscard]] bool enter() noexcept
    {
        return thread_ != nullptr || enter_now();
    }

private:
    bool enter_now() noexcept
    {
        // The budget is stepped here directly, which saves a second thread-state lookup;
        // only a call with no budget left takes Py_EnterRecursiveCall itself, which
        // raises the error.
        PyThreadState* thread = PyThreadState_Get();
        if (int& remaining = internals::c_recursion_remaining(thread); remaining > 0) {
            --remaining;
        }
        else if (Py_EnterRecursiveCall(" while calling a Python object")) {
            return false;  // it stepped the counter back itself
        }
        thread_ = thread;
        return true;
    }

    PyThreadState* thread_ = nullptr;
};

// A new function object for `spec` whose globals are `globals` (the module namespace).
Ref make_function(const FunctionSpec& spec, PyObject* globals) noexcept;

// Adds the traceback entry of a function or module body to the exception being raised.
void add_traceback(const ModuleInfo& module, const char* qualname, int line) noexcept;

// TypeError "Expected %s, got %.200s" unless `value` is None or exactly of `type`.
// Returns the reference, or nullptr with the error set.
PyObject* checked_return(Ref value, PyTypeObject* type) noexcept;

}  // namespace vmrt
