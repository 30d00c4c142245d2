#include "host/settings.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "common/properties.h"
#include "common/stats.h"

LogThreshold _debug_host = LOG_INFO;

namespace {

// The module's copies of the set-up functions, found by their C++ names. The
// types come from our own declarations, which the module's must match.
struct ModuleRuntime {
    decltype(&s_setDravikaPropertiesPath) setPropertiesPath = nullptr;
    decltype(&s_testDravikaProperties) testProperties = nullptr;
    decltype(&::setLogDir) setLogDirFn = nullptr;
    decltype(&::copyLogToStdout) copyLogToStdoutFn = nullptr;
};

ModuleRuntime _module;
// Set by the load callback of drvhost's own copy.
bool _hostReloaded = false;

template <typename Fn>
bool findSetUp(void* handle, const char* mangled, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(dlsym(handle, mangled));
    if (out != nullptr) return true;
    log(_debug_host, LOG_WARNING, 0, 0, "The module does not export %s; its runtime copy keeps its defaults", name);
    return false;
}

// A module that carries no runtime lacks them all; one warning says so and
// its copy is then left alone.
bool findModuleRuntime(void* handle) {
    ModuleRuntime found;
    bool ok = findSetUp(handle, "_Z26s_setDravikaPropertiesPathPKc", "s_setDravikaPropertiesPath",
                        found.setPropertiesPath) &&
              findSetUp(handle, "_Z23s_testDravikaPropertiesbPFvPK10PropertiesE", "s_testDravikaProperties",
                        found.testProperties) &&
              findSetUp(handle, "_Z9setLogDirPKc", "setLogDir", found.setLogDirFn) &&
              findSetUp(handle, "_Z15copyLogToStdoutv", "copyLogToStdout", found.copyLogToStdoutFn);
    if (ok) _module = found;
    return ok;
}

// drvhost's own keys, read on every load of its copy.
void onHostLoad(const Properties* p) {
    _hostReloaded = true;
    int level = _debug_host;
    if (p->levelFromProperty("log_host", kPropertiesLabel, false, level, LOG_INFO)) _debug_host = level;
}

}  // namespace

bool applyHostSettings(const HostSettings& settings, void* moduleHandle) {
    if (settings.logDir != nullptr && access(settings.logDir, W_OK | X_OK) != 0) {
        fprintf(stderr, "drvhost: cannot write log files to %s: %s\n", settings.logDir, strerror(errno));
        return false;
    }
    if (settings.logDir != nullptr)
        setLogDir(settings.logDir);
    else
        copyLogToStdout();

    if (moduleHandle != nullptr && findModuleRuntime(moduleHandle)) {
        if (settings.logDir != nullptr)
            _module.setLogDirFn(settings.logDir);
        else
            _module.copyLogToStdoutFn();
        _module.setPropertiesPath(settings.propertiesPath);
    }
    s_setDravikaPropertiesPath(settings.propertiesPath);
    recheckHostSettings();
    return true;
}

void recheckHostSettings() {
    // drvhost's copy reports what it read; the module's copy reads the same
    // file quietly, and only when drvhost's did, so that a missing or broken
    // file is reported once rather than once per copy.
    _hostReloaded = false;
    s_testDravikaProperties(true, onHostLoad);
    if (_hostReloaded && _module.testProperties != nullptr) _module.testProperties(false, nullptr);
}

void logSample(long sample, const StatEntry* entry) {
    log(_debug_host, LOG_DEBUG, 0, 0, "sample %ld: %d rows", sample, entry->count);
    if (_debug_host > LOG_TRACE) return;
    for (int i = 0; i < entry->count; i++) {
        const StatRow* row = entry->rows[i];
        std::string values;
        for (int j = 0; row->series != nullptr && row->series[j] != nullptr; j++) {
            char text[64];
            const StatData* d = row->series[j];
            if (d->kind == StatData::KIND_DOUBLE)
                snprintf(text, sizeof(text), " %g", d->value.d);
            else
                snprintf(text, sizeof(text), " %lld", d->value.i);
            values += text;
        }
        log(_debug_host, LOG_TRACE, 0, 0, "sample %ld row: class %lld, %s:%s", sample, row->cls, row->label,
            values.c_str());
    }
}
