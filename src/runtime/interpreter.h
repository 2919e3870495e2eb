/* Two facts about the running interpreter that the public C API of 3.12 does not give,
   and that a native route standing in for Python code must honour. */
#ifndef VELMORROW_INTERPRETER_H
#define VELMORROW_INTERPRETER_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Whether a sys.monitoring tool has set events for all code (sys.monitoring.set_events). */
int vmrt_global_events_set(PyThreadState* thread);

/* Whether the eval loop, at its next check, would run code on this thread: a signal that
   this thread handles, a pending call, or an asynchronous exception for it. A request to
   switch threads and a scheduled collection do not count. */
int vmrt_interrupt_pending(PyThreadState* thread);

#ifdef __cplusplus
}
#endif

#endif
