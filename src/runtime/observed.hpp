// Whether a native route that skips some Python code could be told apart from running
// it: by a trace or profile function, by sys.monitoring events on the calling code or on
// the skipped code, or by the recursion limits that the real calls would run into.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace vmrt {

inline bool monitors_set(const _Py_LocalMonitors& monitors) noexcept
{
    std::uint8_t any = 0;
    for (std::uint8_t tools : monitors.tools) {
        any |= tools;
    }
    return any != 0;
}

// `skipped` are the code objects of the Python functions the route stands in for.
inline bool unobserved(std::initializer_list<PyObject*> skipped, int c_levels_needed) noexcept
{
    PyThreadState* thread = PyThreadState_Get();
    if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr ||
        thread->py_recursion_remaining <= 20 || thread->c_recursion_remaining <= c_levels_needed) {
        return false;
    }
    // Events set for all code are instrumented into every running frame at once, so the
    // caller's code shows them; events set on one code object show on that object.
    if (thread->cframe != nullptr && thread->cframe->current_frame != nullptr) {
        // The code object is the first member of an interpreter frame in 3.12.
        auto* caller = *reinterpret_cast<PyCodeObject* const*>(thread->cframe->current_frame);
        if (caller != nullptr && caller->_co_monitoring != nullptr &&
            monitors_set(caller->_co_monitoring->active_monitors)) {
            return false;
        }
    }
    for (PyObject* code : skipped) {
        const auto* monitoring = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
        if (monitoring != nullptr && monitors_set(monitoring->local_monitors)) {
            return false;
        }
    }
    return true;
}

}  // namespace vmrt
