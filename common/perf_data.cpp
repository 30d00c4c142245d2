#include "common/perf_data.h"

#include <string.h>

PerfData* perfData = nullptr;

const char* const kPerfCounterNames[PC_COUNT] = {
    "evt-timer-fired", "evt-ft-fired", "evt-count-fired", "sig-other",  "sig-chld", "sig-wrong-t",
    "children-reaped", "pool-threads", "tp-q-remove",     "tp-q-add",   "dthr-started", "dthr-exited",
    "lq-removed",      "lq-added",     "np-add",          "np-remove",
};

void perfRegisterCounters() {
    PerfData* p = perfData;
    if (p == nullptr) return;
    for (int i = 0; i < PC_COUNT; i++) {
        strncpy(p->counters[i].name, kPerfCounterNames[i], kPerfNameLength);
        p->counters[i].value = 0;
    }
    p->counterCount = PC_COUNT;
}
