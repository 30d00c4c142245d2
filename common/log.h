// The one logging family of the runtime: dated or fixed log files, optional
// copy to standard output, per-area thresholds and conversation ids.
//
// Thread-safe: any thread may log or change the destination. Writers take
// turns under one condition block, which comes after every other lock (code
// logs while holding its own); formatting happens before the turn. A child of
// fork starts with the turn free: writers of the parent are not waited for.
#ifndef DRV_COMMON_LOG_H
#define DRV_COMMON_LOG_H

#include <atomic>
#include <cstdarg>

#include "common/reloaded_setting.h"

// Message levels.
enum LogLevel { LOG_TRACE = 1, LOG_DEBUG = 2, LOG_INFO = 3, LOG_WARNING = 4, LOG_ERROR = 5, LOG_CRITICAL = 6 };

// A threshold is written by a properties reload (or a tool's set-up) while
// every thread reads it: see common/reloaded_setting.h for why relaxed
// atomics are enough.
using LogThreshold = ReloadedSetting<int>;

// Global threshold for the log(msgLevel, err, id, ...) form.
extern LogThreshold _log_level;

// Per-area thresholds; all but _debug_security are set from the properties file.
extern LogThreshold _debug_coms;
extern LogThreshold _debug_netclient;
extern LogThreshold _debug_domain;
extern LogThreshold _debug_ft;
extern LogThreshold _debug_creds;
extern LogThreshold _debug_io;
extern LogThreshold _debug_java;
extern LogThreshold _debug_sel;
extern LogThreshold _debug_csv;
extern LogThreshold _debug_security;
extern LogThreshold _debug_logs;

// One file per hour instead of one per day ("hourly_logs").
extern ReloadedSetting<bool> _hourlyLogs;
// Set during assertion reports so that a thread failing while it holds the
// writers' lock can still report; never cleared again. Atomic: the failing
// thread sets it while every other thread reads it.
extern std::atomic<bool> _disableLogLocks;

#define DRV_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

// Writes when msgLevel >= areaLevel; e.g. log(_debug_ft, 2, 0, id, "...").
void log(int areaLevel, int msgLevel, int err, long long id, const char* fmt, ...) DRV_PRINTF(5, 6);
// Writes when msgLevel >= _log_level.
void log(int msgLevel, int err, long long id, const char* fmt, ...) DRV_PRINTF(4, 5);
// Always writes; name replaces the dated file's base name when the file is opened for it.
void log(const char* name, int err, const char* fmt, ...) DRV_PRINTF(3, 4);
// Always writes, no id.
void log(int err, const char* fmt, ...) DRV_PRINTF(2, 3);
// The writer behind all four. err > 0 is an errno value, err < 0 a shared error code.
void __log(const char* name, long long id, int err, const char* fmt, va_list args) DRV_PRINTF(4, 0);

// A new conversation id: pid << 37 | counter.
long long nextLogId();

// Explicit log file (wins over the directory); null makes stdout the current
// stream, "" clears the setting. A path of 4096 characters or more is refused
// (logged) and the previous one kept. Changes apply when a stream is next opened.
void setLog(const char* path);
// Directory for dated files; null and "" as for setLog.
void setLogDir(const char* dir);
// Base name of dated files ("dravika" by default); at most 131 characters.
void setLogName(const char* name);
// Also writes every message to standard output (a second time when standard
// output is already the log stream).
void copyLogToStdout();

// Builds the path of a dated log file for the given broken-down local time
// (daily or hourly according to _hourlyLogs). Exposed for tests and tools.
void logFilePath(char* out, unsigned long outLen, const char* dir, const char* name, int year, int month, int day, int hour);

#endif
