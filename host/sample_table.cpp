#include "host/sample_table.h"

#include <time.h>

#include "common/stats.h"
#include "hostrt/dravika.h"
#include "hostrt/managed_object.h"

namespace {

// Class id of the rows that network adapter managers produce.
const long long kNetworkRowClass = 30;

// kbit/s with the largest unit that keeps the figure at or above 1.
void formatBits(char* out, size_t len, long long kbps) {
    if (kbps < 1000)
        snprintf(out, len, "%lld kbit/s", kbps);
    else if (kbps < 1000000)
        snprintf(out, len, "%.2f Mbit/s", kbps / 1e3);
    else
        snprintf(out, len, "%.2f Gbit/s", kbps / 1e6);
}

}  // namespace

void formatLinkSpeed(char* out, size_t len, long long kbps) {
    if (kbps == -1000)
        snprintf(out, len, "down");
    else if (kbps == 0)
        snprintf(out, len, "unknown");
    else if (kbps % 1000000 == 0)
        snprintf(out, len, "%lld Gbit/s", kbps / 1000000);
    else if (kbps % 1000 == 0)
        snprintf(out, len, "%lld Mbit/s", kbps / 1000);
    else
        formatBits(out, len, kbps);
}

void formatRate(char* out, size_t len, long long kbps) {
    if (kbps < 0)
        snprintf(out, len, "counter reset");
    else
        formatBits(out, len, kbps);
}

void printTableHeader(FILE* out) {
    fprintf(out, "%-9s %-16s %12s %14s %14s\n", "time", "interface", "link speed", "receive", "transmit");
}

void printSampleTable(FILE* out, const StatEntry* entry, const Dravika* host) {
    time_t t = static_cast<time_t>(entry->time);
    struct tm tm;
    localtime_r(&t, &tm);
    char when[16];
    strftime(when, sizeof(when), "%H:%M:%S", &tm);

    for (int i = 0; i < entry->count; i++) {
        const StatRow* row = entry->rows[i];
        if (row->cls != kNetworkRowClass || row->seriesCount() < 3) continue;
        char speed[32], receive[32], transmit[32];
        formatLinkSpeed(speed, sizeof(speed), row->series[0]->value.i);
        formatRate(receive, sizeof(receive), row->series[1]->value.i);
        formatRate(transmit, sizeof(transmit), row->series[2]->value.i);
        fprintf(out, "%-9s %-16s %12s %14s %14s\n", when, row->label, speed, receive, transmit);
    }

    // The host sees managed objects, not their names: say how many of them
    // produced no row (a first sample, or nothing transmitted yet).
    int objects = 0;
    for (int m = 0; m < host->getManagerCount(); m++) objects += host->getManager(m)->getObjectCount();
    int quiet = objects - entry->count;
    if (quiet > 0) fprintf(out, "%-9s (%d of %d interfaces without a rate yet)\n", when, quiet, objects);
    fflush(out);
}
