/* Reads of the interpreter's own state, which lives in its internal headers. Those are C
   only (their atomics do not compile as C++), hence this one C file. Everything read here
   is what CPython 3.12 reads itself:

   - the global events: struct _is::monitors (Include/internal/pycore_interp.h), which
     sys.monitoring.get_events reads (monitoring_get_events_impl, Python/instrumentation.c);
   - the pending work: what _Py_HandlePending (Python/ceval_gil.c) acts on, with the same
     conditions: _PyRuntime.ceval.signals_pending for the main thread of the main
     interpreter only (handle_signals), interp->ceval.pending.calls_to_do and, on that main
     thread, _PyRuntime.ceval.pending_mainthread.calls_to_do (maybe_has_pending_calls), and
     the thread's async_exc. */
#define Py_BUILD_CORE_MODULE 1

#include "interpreter.h"

#include "internal/pycore_interp.h"
#include "internal/pycore_pystate.h"
#include "internal/pycore_runtime.h"

int vmrt_global_events_set(PyThreadState* thread)
{
    const _Py_GlobalMonitors* monitors = &thread->interp->monitors;
    uint8_t any = 0;
    for (int event = 0; event < _PY_MONITORING_UNGROUPED_EVENTS; ++event) {
        any |= monitors->tools[event];
    }
    return any != 0;
}

int vmrt_interrupt_pending(PyThreadState* thread)
{
    PyInterpreterState* interp = thread->interp;
    if (thread->async_exc != NULL || _Py_atomic_load_relaxed(&interp->ceval.pending.calls_to_do)) {
        return 1;
    }
    if (!_Py_atomic_load_relaxed(&_PyRuntime.ceval.signals_pending) &&
        !_Py_atomic_load_relaxed(&_PyRuntime.ceval.pending_mainthread.calls_to_do)) {
        return 0;
    }
    return _Py_ThreadCanHandleSignals(interp);
}
