// The vocabulary of module code: module globals, attributes and calls. Each returns an
// owning reference, null with the exception set, so statements chain as
// `Ref b = a ? attribute(a, n_b) : Ref();` and every early return releases what it holds.
#pragma once

#include "function.hpp"
#include "names.hpp"

namespace vmrt {

inline PyObject* object_of(PyObject* object) noexcept { return object; }
inline PyObject* object_of(const Ref& object) noexcept { return object.get(); }
inline PyObject* object_of(const Name& name) noexcept { return name.get(); }

// A module-level name as the function's code sees it.
inline Ref global(const Function* function, const Name& name) noexcept
{
    return lookup_global(function->globals, name);
}

// The value a lookup of the module-level name would give, where the dicts' version tags
// prove that the lookup would run no Python code; nullptr otherwise, with no error set.
inline PyObject* known_global(const Function* function, const Name& name) noexcept
{
    return name.cached(function->globals, builtins_dict());
}

// `name = value` at module level, from inside a function.
inline bool set_global(const Function* function, const Name& name, PyObject* value) noexcept
{
    return PyDict_SetItem(function->globals, name.get(), value) == 0;
}

template <typename Object>
Ref attribute(const Object& object, const Name& name) noexcept
{
    return get_attribute(object_of(object), name);
}

// `object.name` in a body that guards its own calls: an instance's remembered entry runs
// no code; any other read may, so it enters the guard first.
template <typename Object>
Ref attribute(const Object& object, const Name& name, RecursionGuard& guard) noexcept
{
    if (PyObject* value = name.cached_attribute(object_of(object))) {
        return Ref::borrow(value);
    }
    return guard.enter() ? get_attribute(object_of(object), name) : Ref();
}

// `callable(args...)` with positional arguments.
template <typename Callable, typename... Args>
Ref call(const Callable& callable, const Args&... args) noexcept
{
    PyObject* argv[] = {nullptr, object_of(args)...};
    return Ref::steal(PyObject_Vectorcall(object_of(callable), argv + 1,
                                          sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// `self.name(args...)`, looked up on `self` as a method call is.
template <typename Self, typename... Args>
Ref call_method(const Self& self, const Name& name, const Args&... args) noexcept
{
    PyObject* argv[] = {object_of(self), object_of(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name.get(), argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace vmrt
