#include "common/os.h"

#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ossp/uuid.h>

#include "common/log.h"

volatile bool _shutdown = false;
bool _abortOnAssert = true;
bool _managedRuntime = false;

namespace {

const size_t kChrootMax = 4096;
char _chrootPath[kChrootMax + 1];

pthread_mutex_t _guidLock = PTHREAD_MUTEX_INITIALIZER;
uuid_t* _uuid = nullptr;
unsigned int _guidCounter = 0;

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
    _disableLogLocks = true;
    log(0, "|||== assertion failure: %s, at %s:%d", expr, file, line);
    s_dump_stack();
    if (_abortOnAssert) {
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
    strncpy(_chrootPath, path, kChrootMax);
    _chrootPath[kChrootMax] = '\0';
}

const char* s_get_chroot_path() {
    return _chrootPath[0] != '\0' ? _chrootPath : nullptr;
}

const char* s_adjust_path(char* buf, size_t len, const char* path) {
    if (_chrootPath[0] == '\0' || path == nullptr || path[0] != '/') return path;
    if (path[1] == '/') path++;
    snprintf(buf, len, "%s%s", _chrootPath, path);
    return buf;
}

DIR* s_opendir(const char* path, bool adjust) {
    char buf[kChrootMax + 1024];
    return opendir(adjust ? s_adjust_path(buf, sizeof(buf), path) : path);
}

int s_readdir_r(DIR* dir, struct dirent* entry, struct dirent** result) {
    *result = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return readdir_r(dir, entry, result);
#pragma GCC diagnostic pop
}

char* makeGuid() {
    pthread_mutex_lock(&_guidLock);
    if (_uuid == nullptr) uuid_create(&_uuid);
    char* text = nullptr;
    size_t len = 0;
    if (uuid_make(_uuid, UUID_MAKE_V1) != UUID_RC_OK || uuid_export(_uuid, UUID_FMT_STR, &text, &len) != UUID_RC_OK) {
        pthread_mutex_unlock(&_guidLock);
        return nullptr;
    }
    // Mark digit i when bit i of the counter is set: 'g' + its value.
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
    pthread_mutex_unlock(&_guidLock);
    return text;
}

void freeGuid(char* guid) {
    free(guid);
}
