#include "common/log.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "dir/dir_error.h"

int _log_level = LOG_INFO;
int _debug_coms = LOG_INFO;
int _debug_netclient = LOG_INFO;
int _debug_domain = LOG_INFO;
int _debug_ft = LOG_INFO;
int _debug_creds = LOG_INFO;
int _debug_io = LOG_INFO;
int _debug_java = LOG_INFO;
int _debug_sel = LOG_INFO;
int _debug_csv = LOG_INFO;
int _debug_security = LOG_INFO;
int _debug_logs = LOG_INFO;
bool _hourlyLogs = false;
volatile bool _disableLogLocks = false;

namespace {

const size_t kMessageMax = 16383;
// A stream may stay open for this many messages in a row while writers queue up.
const int kMaxUninterruptedWrites = 100;

char _logFile[80];
char _logDir[80];
char _slName[132] = "dravika";
bool _copyStdout = false;

// Everything below is guarded by the writers' mutex.
pthread_mutex_t _writersMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t _writersCond = PTHREAD_COND_INITIALIZER;
FILE* _stream = nullptr;
int _openFileKey = 0;
int _uninterruptedWrites = 0;
int _waiting = 0;
int _running = 0;
long long _logId = 1;

void copyField(char* field, size_t size, const char* value) {
    snprintf(field, size, "%s", value);
}

bool fileOrDirConfigured() {
    return _logFile[0] != '\0' || _logDir[0] != '\0';
}

FILE* openStream(const char* name, const struct tm& now) {
    if (_logFile[0] != '\0') return fopen(_logFile, "a");
    if (_logDir[0] == '\0') return nullptr;
    char path[512];
    logFilePath(path, sizeof(path), _logDir, name != nullptr ? name : _slName, now.tm_year + 1900, now.tm_mon + 1,
                now.tm_mday, now.tm_hour);
    umask(0);
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "a");
    if (f == nullptr) close(fd);
    return f;
}

void closeStream(FILE* f) {
    if (f != nullptr && f != stdout) fclose(f);
}

}  // namespace

void logFilePath(char* out, unsigned long outLen, const char* dir, const char* name, int year, int month, int day,
                 int hour) {
    if (_hourlyLogs)
        snprintf(out, outLen, "%s/%s_%04d%02d%02d_%02d.log", dir, name, year, month, day, hour);
    else
        snprintf(out, outLen, "%s/%s_%04d%02d%02d.log", dir, name, year, month, day);
}

void __log(const char* name, long long id, int err, const char* fmt, va_list args) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm now;
    localtime_r(&tv.tv_sec, &now);
    int key = (_logFile[0] == '\0' && _logDir[0] != '\0') ? now.tm_mday * 32 + now.tm_hour : 0;

    // Everything is formatted before any lock is taken.
    char prefix[64];
    int prefixLen = snprintf(prefix, sizeof(prefix), "%02d:%02d:%02d.%03d: ", now.tm_hour, now.tm_min, now.tm_sec,
                             static_cast<int>(tv.tv_usec / 1000));
    if (id != 0)
        prefixLen += snprintf(prefix + prefixLen, sizeof(prefix) - prefixLen, "%016llx: ", id);
    static thread_local char message[kMessageMax + 1];
    vsnprintf(message, sizeof(message), fmt, args);
    char errorLine[320] = "";
    if (err > 0) {
        char text[256];
        snprintf(errorLine, sizeof(errorLine), "    %d %s\n", err, strerror_r(err, text, sizeof(text)));
    } else if (err < 0) {
        snprintf(errorLine, sizeof(errorLine), "    %d %s\n", err, DirError::getErrorDescription(-err));
    }

    bool locked = !_disableLogLocks;
    if (locked) {
        pthread_mutex_lock(&_writersMutex);
        _waiting++;
        while (_running) pthread_cond_wait(&_writersCond, &_writersMutex);
        _running = 1;
    }
    FILE* stream = _stream;
    if (locked) pthread_mutex_unlock(&_writersMutex);

    // Only the running writer touches the stream and the counters below it.
    bool reopen = true;
    if (stream != nullptr) {
        if ((key == _openFileKey && _uninterruptedWrites <= kMaxUninterruptedWrites) || !fileOrDirConfigured()) {
            reopen = false;
        } else {
            _uninterruptedWrites = 0;
            closeStream(stream);
            stream = nullptr;
        }
    }
    _openFileKey = key;
    if (reopen) stream = openStream(name, now);

    if (stream != nullptr) {
        fputs(prefix, stream);
        fputs(message, stream);
        fputc('\n', stream);
        fputs(errorLine, stream);
        fflush(stream);
    }
    if (_copyStdout && stream != stdout) {
        fputs(prefix, stdout);
        fputs(message, stdout);
        fputc('\n', stdout);
        fputs(errorLine, stdout);
        fflush(stdout);
    }

    if (!locked) {
        _stream = stream;
        return;
    }
    pthread_mutex_lock(&_writersMutex);
    _stream = stream;
    _running = 0;
    bool alone = _waiting == 1;
    _waiting--;
    if (alone && stream != nullptr && fileOrDirConfigured()) {
        // Nobody is queued behind us: give the file back to the system.
        _uninterruptedWrites = 0;
        closeStream(stream);
        _stream = nullptr;
    } else {
        _uninterruptedWrites++;
    }
    pthread_cond_signal(&_writersCond);
    pthread_mutex_unlock(&_writersMutex);
}

void log(int areaLevel, int msgLevel, int err, long long id, const char* fmt, ...) {
    if (msgLevel < areaLevel) return;
    va_list args;
    va_start(args, fmt);
    __log(nullptr, id, err, fmt, args);
    va_end(args);
}

void log(int msgLevel, int err, long long id, const char* fmt, ...) {
    if (msgLevel < _log_level) return;
    va_list args;
    va_start(args, fmt);
    __log(nullptr, id, err, fmt, args);
    va_end(args);
}

void log(const char* name, int err, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    __log(name, 0, err, fmt, args);
    va_end(args);
}

void log(int err, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    __log(nullptr, 0, err, fmt, args);
    va_end(args);
}

long long nextLogId() {
    pthread_mutex_lock(&_writersMutex);
    long long id = (static_cast<long long>(getpid()) << 37) | _logId;
    _logId++;
    pthread_mutex_unlock(&_writersMutex);
    return id;
}

static void useStdout() {
    pthread_mutex_lock(&_writersMutex);
    if (_stream != stdout) closeStream(_stream);
    _stream = stdout;
    pthread_mutex_unlock(&_writersMutex);
}

void setLog(const char* path) {
    if (path == nullptr) {
        useStdout();
        return;
    }
    copyField(_logFile, sizeof(_logFile), path);
}

void setLogDir(const char* dir) {
    if (dir == nullptr) {
        useStdout();
        return;
    }
    copyField(_logDir, sizeof(_logDir), dir);
}

void setLogName(const char* name) {
    copyField(_slName, sizeof(_slName), name);
}

void copyLogToStdout() {
    _copyStdout = true;
}
