// The process-shared performance data block that the host hands to the
// runtime: created once at start and attached to every copy of the runtime
// in the process (the host's own and each module's).
#ifndef DRV_HOST_PERF_BLOCK_H
#define DRV_HOST_PERF_BLOCK_H

#include "common/perf_data.h"

// A zeroed block in shared memory (so that forked helpers and a supervisor
// can read it): this process as owner, the child table empty, its lock
// process-shared and recursive. Null when the memory cannot be had.
PerfData* createPerfDataBlock();
// Unmaps a block from createPerfDataBlock; detach it everywhere first.
void destroyPerfDataBlock(PerfData* block);
// Points the host's runtime and, when moduleHandle (from dlopen) is given,
// the module's exported perfData at block (null detaches). -1 when the
// module exports no perfData.
int attachPerfDataBlock(void* moduleHandle, PerfData* block);

#endif
