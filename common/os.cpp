// Assertion reports, the root prefix and its configuration file, and GUIDs.
#include "common/os.h"

#include <execinfo.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ossp/uuid.h>

#include "common/log.h"
#include "common/sem.h"

std::atomic<bool> _shutdown{false};
bool _abortOnAssert = true;
bool _managedRuntime = false;

namespace {

char _chrootPath[kChrootPathMax + 1];

// The identifier library's state is not thread-safe: one GUID at a time.
CriticalBlock _guidLock{LOCK_RANK_GUID, kProcessLifetime};
uuid_t* _uuid GUARDED_BY(_guidLock) = nullptr;
unsigned int _guidCounter GUARDED_BY(_guidLock) = 0;

// chroot.conf: lines are read in pieces of this size, names are this long at most.
const size_t kConfLineMax = 1024;
const size_t kConfNameMax = 79;

}  // namespace

void s_dump_stack() {
    _disableLogLocks = true;
    void* frames[50];
    int n = backtrace(frames, 50);
    char** symbols = backtrace_symbols(frames, n);
    log(0, "Assertion...");
    for (int i = 0; i < n; i++) log(0, "    %s", symbols != nullptr ? symbols[i] : "?");
    free(symbols);
}

void _dravika_assert(const char* expr, const char* file, int line) {
    if (_shutdown) return;
    // The failing thread may hold the log writers' lock; the report must get out.
    _disableLogLocks = true;
    log(0, "|||== assertion failure: %s, at %s:%d", expr, file, line);
    s_dump_stack();
    if (_abortOnAssert) {
        // Cleared first so that an assertion inside a SIGABRT handler cannot loop.
        _abortOnAssert = false;
        raise(SIGABRT);
        _exit(55);
    }
    if (_managedRuntime) {
        kill(getpid(), SIGQUIT);
        sleep(2);
    }
}

void s_set_chroot_path(const char* path) {
    if (path == nullptr) {
        _chrootPath[0] = '\0';
        return;
    }
    strncpy(_chrootPath, path, kChrootPathMax);
    _chrootPath[kChrootPathMax] = '\0';
}

const char* s_get_chroot_path() {
    return _chrootPath[0] != '\0' ? _chrootPath : nullptr;
}

const char* s_adjust_path(char* buf, size_t len, const char* path) {
    if (_chrootPath[0] == '\0' || path == nullptr || path[0] != '/') return path;
    // The prefix has no trailing slash of its own; "//x" would otherwise keep two.
    if (path[1] == '/') path++;
    snprintf(buf, len, "%s%s", _chrootPath, path);
    return buf;
}

int s_getchroot(char* out, size_t outLen, const char* confDir, const char* name) {
    if (out == nullptr || outLen == 0 || confDir == nullptr || name == nullptr) return -1;
    char path[4096];
    if (snprintf(path, sizeof(path), "%s/security/chroot.conf", confDir) >= static_cast<int>(sizeof(path)))
        return -1;
    FILE* f = fopen(path, "r");
    if (f == nullptr) return -1;

    size_t nameLen = strlen(name);
    int rv = -1;
    char line[kConfLineMax];
    while (fgets(line, sizeof(line), f) != nullptr) {
        size_t n = strlen(line);
        if (n > 0 && line[n - 1] == '\n') {
            line[n - 1] = '\0';
        } else {
            // A line longer than the buffer keeps its first part; the rest is
            // not a line of its own.
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
        }
        const char* p = line;
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '\0' || *p == '#' || *p == '/') continue;
        const char* colon = strchr(p, ':');
        if (colon == nullptr) continue;
        size_t len = static_cast<size_t>(colon - p);
        if (len > kConfNameMax || len != nameLen || strncmp(p, name, len) != 0) continue;
        const char* value = colon + 1;
        while (*value == ' ' || *value == '\t') value++;
        snprintf(out, outLen, "%s", value);
        rv = 0;
        break;
    }
    fclose(f);
    return rv;
}

char* makeGuid() {
    CriticalSection hold(_guidLock);
    if (_uuid == nullptr && uuid_create(&_uuid) != UUID_RC_OK) {
        _uuid = nullptr;
        return nullptr;
    }
    char* text = nullptr;
    size_t len = 0;
    if (uuid_make(_uuid, UUID_MAKE_V1) != UUID_RC_OK || uuid_export(_uuid, UUID_FMT_STR, &text, &len) != UUID_RC_OK)
        return nullptr;
    // The identifier library can repeat itself within one clock tick; marking
    // digit i when bit i of the counter is set ('g' + its value) keeps
    // consecutive GUIDs apart and shows which ones were made here.
    int digit = 0;
    for (char* p = text; *p != '\0' && digit < 32; p++) {
        if (*p == '-') continue;
        if (_guidCounter & (1u << digit)) {
            int value = (*p >= '0' && *p <= '9') ? *p - '0' : (*p | 0x20) - 'a' + 10;
            *p = static_cast<char>('g' + value);
        }
        digit++;
    }
    _guidCounter++;
    return text;
}

void freeGuid(char* guid) {
    free(guid);
}
