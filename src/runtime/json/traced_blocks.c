#include "traced_blocks.h"

int vmrt_trace_block(uintptr_t address, size_t size)
{
    /* The default domain, where the raw allocator's blocks are traced. */
    return PyTraceMalloc_Track(0, address, size) == -1 ? -1 : 0;
}

void vmrt_untrace_block(uintptr_t address)
{
    (void)PyTraceMalloc_Untrack(0, address);
}
