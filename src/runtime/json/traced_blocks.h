/* Blocks the tape maps from the system, reported to tracemalloc as the raw allocator's
   are. A C file of its own: 3.12's tracemalloc.h declares PyTraceMalloc_Track and
   PyTraceMalloc_Untrack without C linkage, so C++ cannot call them. */
#ifndef VELMORROW_TRACED_BLOCKS_H
#define VELMORROW_TRACED_BLOCKS_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when traced or when tracemalloc is off; -1 when the trace could not be stored. */
int vmrt_trace_block(uintptr_t address, size_t size);
void vmrt_untrace_block(uintptr_t address);

#ifdef __cplusplus
}
#endif

#endif
