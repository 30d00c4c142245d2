// How drvhost shows a statistics sample to a person or a program: one table
// row (or one JSON object) per interface, with the module's link speed and
// rates in readable units beside drvhost's own packet, error and drop rates
// and link state, and, for the interfaces without a rate, the reason.
#ifndef DRV_HOST_SAMPLE_TABLE_H
#define DRV_HOST_SAMPLE_TABLE_H

#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "host/interface_stats.h"

class StatEntry;

// A link speed in kbit/s as text: "unknown" for 0 (no speed file or no
// number in it) and for -1000 (the kernel's -1, "no speed known", which
// virtual cards report while up), except that a link whose operational state
// is down reads "down"; else "10 Gbit/s" etc.
void formatLinkSpeed(char* out, size_t len, long long kbps, LinkState link);
// A rate in kbit/s as text with two decimals ("480.00 kbit/s", "1.23
// Mbit/s"); a negative rate (a counter that went backwards) reads "counter
// reset".
void formatRate(char* out, size_t len, long long kbps);
// Events per second with two decimals ("12.50/s", "3.20k/s", "1.05M/s").
void formatPerSecond(char* out, size_t len, double perSecond);

// Which interfaces are shown: those matching any include pattern (all when
// there is none) and no exclude pattern; shell globs as fnmatch reads them.
struct InterfaceFilter {
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    bool selects(const char* name) const;
};

// Prints the column header.
void printTableHeader(FILE* out);
// Prints one row per network row of the entry that the filter selects, each
// starting with the entry's time, then the selected interfaces of the latest
// scan that had no row, by name, with the reason.
void printSampleTable(FILE* out, const StatEntry* entry, const InterfaceStats& interfaces,
                      const InterfaceFilter& filter);
// The same as one JSON object per line.
void printSampleJson(FILE* out, const StatEntry* entry, const InterfaceStats& interfaces,
                     const InterfaceFilter& filter);

#endif
