// How drvhost shows a statistics sample to a person: one table row per
// interface with link speed and rates in readable units.
#ifndef DRV_HOST_SAMPLE_TABLE_H
#define DRV_HOST_SAMPLE_TABLE_H

#include <stddef.h>
#include <stdio.h>

class Dravika;
class StatEntry;

// A link speed in kbit/s as text: "down" for -1000 (the kernel's -1),
// "unknown" for 0 (no speed file or no number in it), else "10 Gbit/s" etc.
void formatLinkSpeed(char* out, size_t len, long long kbps);
// A rate in kbit/s as text ("480 kbit/s", "1.23 Mbit/s"); a negative rate
// (a counter that went backwards) reads "counter reset".
void formatRate(char* out, size_t len, long long kbps);

// Prints the column header.
void printTableHeader(FILE* out);
// Prints one row per network row of the entry, each starting with the
// entry's time, then how many of the host's managed objects had no row.
void printSampleTable(FILE* out, const StatEntry* entry, const Dravika* host);

#endif
