// drvhost's settings: where the log goes and which properties file to read,
// applied to both copies of the runtime in the process (drvhost's own and
// the one the module carries, reached through the module's exported set-up
// functions), and the per-sample re-check that lets an edit of the file take
// effect without a restart.
#ifndef DRV_HOST_SETTINGS_H
#define DRV_HOST_SETTINGS_H

#include "common/log.h"

class StatEntry;

struct HostSettings {
    // Read from the working directory unless given; a missing file is fine.
    const char* propertiesPath = "dravika.properties";
    // Directory for dated log files; null puts log messages on standard output.
    const char* logDir = nullptr;
    // Directory for statistics files of the samples; null writes none.
    const char* statsDir = nullptr;
    // Seconds after which a statistics file is written and a new one begun.
    int statsPeriod = 3600;
};

// Threshold of drvhost's own messages, from the drvhost-only key "log_host"
// (INFO when absent): DEBUG logs a line per sample, TRACE one per row.
extern LogThreshold _debug_host;

// Points both runtime copies at the log destination and the properties file
// and loads it. moduleHandle is the module's dlopen handle. False, with the
// reason on standard error, when the log directory cannot be written.
bool applyHostSettings(const HostSettings& settings, void* moduleHandle);

// Reloads the properties file into both copies when it changed. Call before
// each sample.
void recheckHostSettings();

// Logs what a sample collected, at DEBUG and TRACE in drvhost's area.
void logSample(long sample, const StatEntry* entry);

#endif
