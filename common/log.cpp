#include "common/log.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "common/error_codes.h"
#include "common/os.h"
#include "common/sem.h"

LogThreshold _log_level = LOG_INFO;
LogThreshold _debug_coms = LOG_INFO;
LogThreshold _debug_netclient = LOG_INFO;
LogThreshold _debug_domain = LOG_INFO;
LogThreshold _debug_ft = LOG_INFO;
LogThreshold _debug_creds = LOG_INFO;
LogThreshold _debug_io = LOG_INFO;
LogThreshold _debug_java = LOG_INFO;
LogThreshold _debug_sel = LOG_INFO;
LogThreshold _debug_csv = LOG_INFO;
LogThreshold _debug_security = LOG_INFO;
LogThreshold _debug_logs = LOG_INFO;
ReloadedSetting<bool> _hourlyLogs = false;
std::atomic<bool> _disableLogLocks{false};

namespace {

// vsnprintf buffer: a message is cut at 16382 characters.
const size_t kMessageBuffer = 16383;
// A stream may stay open for this many messages in a row while writers queue up.
const int kMaxUninterruptedWrites = 100;
const size_t kPathField = 4096;
const size_t kNameField = 132;

// The writers' condition block. It lives as long as the process: threads
// still logging while the process exits must find it intact. Lock order: it
// comes after every other lock, since any code may log while it holds one;
// nothing is taken while it is held.
CondBlock _writers{kProcessLifetime};

// Guarded by the writers' block: the queue of writers and the id counter.
int _waiting GUARDED_BY(_writers) = 0;
int _running GUARDED_BY(_writers) = 0;
long long _logId GUARDED_BY(_writers) = 1;
// Handed between writers under the block; with log locks off (an assertion
// report) the reporting thread takes it without.
FILE* _stream GUARDED_BY(_writers) = nullptr;

// Owned by the writer whose turn it is (the one that set _running), which
// uses them outside the block; the analysis cannot follow a turn, so they
// are not marked. The destination is changed only by a setter that holds the
// block while no writer runs, so a running writer never sees a half-copied
// path.
char _logFile[kPathField];
char _logDir[kPathField];
char _slName[kNameField] = "dravika";
bool _copyStdout = false;
int _openFileKey = 0;
int _uninterruptedWrites = 0;

bool fileOrDirConfigured() {
    return _logFile[0] != '\0' || _logDir[0] != '\0';
}

// Opens a log file for appending, creating it (0666 less the umask). The open
// never waits: a named pipe that nobody reads would otherwise hold this
// writer, and every thread queued behind it, until a reader came (the
// message is lost instead, like one for a file that cannot be opened).
// Writes wait as usual once it is open.
FILE* openAppend(const char* path) {
    int fd = s_open_nowait(path, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY, 0666, false);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "a");
    if (f == nullptr) close(fd);
    return f;
}

FILE* openStream(const char* name, const struct tm& now) {
    if (_logFile[0] != '\0') return openAppend(_logFile);
    if (_logDir[0] == '\0') return nullptr;
    char path[kPathField + kNameField + 32];
    logFilePath(path, sizeof(path), _logDir, name != nullptr ? name : _slName, now.tm_year + 1900, now.tm_mon + 1,
                now.tm_mday, now.tm_hour);
    umask(0);
    return openAppend(path);
}

void closeStream(FILE* f) {
    if (f != nullptr && f != stdout) fclose(f);
}

void writeMessage(FILE* out, const char* prefix, const char* message, const char* errorLine) {
    fputs(prefix, out);
    fputs(message, out);
    fputc('\n', out);
    fputs(errorLine, out);
    fflush(out);
}

// Setters wait for the running writer to finish so that neither the stream
// nor a path changes under it, then pass the wake-up on to the next writer.
// Once log locks are off (an assertion report) they just go ahead: whether
// the block is held is decided at run time, which the analysis cannot
// follow.
class SetterTurn {
public:
    SetterTurn() NO_THREAD_SAFETY_ANALYSIS : _locked(!_disableLogLocks) {
        if (!_locked) return;
        _writers.lock();
        while (_running) _writers.wait();
    }
    ~SetterTurn() NO_THREAD_SAFETY_ANALYSIS {
        if (!_locked) return;
        _writers.signal();
        _writers.unlock();
    }
    SetterTurn(const SetterTurn&) = delete;
    SetterTurn& operator=(const SetterTurn&) = delete;

private:
    bool _locked;
};

// Copies a path or name into its field. One that does not fit is refused
// rather than cut, since a cut path names some other file.
bool setField(char* field, size_t size, const char* value, const char* what) {
    if (strlen(value) >= size) {
        log(0, "Log %s longer than %zu characters ignored: %s", what, size - 1, value);
        return false;
    }
    SetterTurn turn;
    memcpy(field, value, strlen(value) + 1);
    return true;
}

// The stream is the writers' while the turn is held (or locks are off).
void useStdout() NO_THREAD_SAFETY_ANALYSIS {
    SetterTurn turn;
    if (_stream != stdout) closeStream(_stream);
    _stream = stdout;
}

// With log locks off (an assertion report) the reporting thread takes the
// stream without the block: a thread that failed while holding it would
// otherwise keep the report from getting out.
FILE* streamWithoutLocks() NO_THREAD_SAFETY_ANALYSIS {
    return _stream;
}

void setStreamWithoutLocks(FILE* stream) NO_THREAD_SAFETY_ANALYSIS {
    _stream = stream;
}

// In the child of a fork only the forking thread lives on: a writer that
// had its turn in the parent, writers queued for one, and a holder of the
// block do not exist here, and waiting for them would hang the child's
// first message for good. The stream a writer had in hand (or was closing
// under the block) may be half written or half freed, so the child leaves
// it and opens its own; standard output is the child's as much as ever.
// Nothing is done in the parent before the fork: waiting there for the
// writer's turn could wait on a writer that waits for the allocator, which
// the memory hooks hold across the fork.
void resetWritersInChild() NO_THREAD_SAFETY_ANALYSIS {
    _writers.resetInForkChild();
    if (_stream != stdout) _stream = nullptr;
    _uninterruptedWrites = 0;
    _running = 0;
    _waiting = 0;
}

const int _writersForkReset = pthread_atfork(nullptr, nullptr, resetWritersInChild);

// Waits for the writer's turn; returns the current stream.
FILE* takeTurn(bool locked);
// Stores the stream, ends the turn and wakes the next writer; closes the
// file when nobody is waiting.
void passTurn(bool locked, FILE* stream, bool configured);

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

    // Everything is formatted before any lock is taken.
    char prefix[64];
    int prefixLen = snprintf(prefix, sizeof(prefix), "%02d:%02d:%02d.%03d: ", now.tm_hour, now.tm_min, now.tm_sec,
                             static_cast<int>(tv.tv_usec / 1000));
    if (id != 0) snprintf(prefix + prefixLen, sizeof(prefix) - prefixLen, "%016llx: ", id);
    static thread_local char message[kMessageBuffer];
    vsnprintf(message, sizeof(message), fmt, args);
    char errorLine[320] = "";
    if (err > 0) {
        char text[256];
        snprintf(errorLine, sizeof(errorLine), "    %d %s\n", err, strerror_r(err, text, sizeof(text)));
    } else if (err < 0) {
        // Shared error codes travel negated; their text is the shared one.
        snprintf(errorLine, sizeof(errorLine), "    %d %s\n", err,
                 DirError::getErrorDescription(err == INT_MIN ? 0 : -err));
    }

    bool locked = !_disableLogLocks;
    FILE* stream = takeTurn(locked);

    // Only the running writer touches the stream and the counters below it.
    // The destination is read here, in the writer's turn, where no setter
    // can change it; the time is the one the message was formatted with.
    const bool configured = fileOrDirConfigured();
    const int key = (_logFile[0] == '\0' && _logDir[0] != '\0') ? now.tm_mday * 32 + now.tm_hour : 0;
    bool reopen = true;
    if (stream != nullptr) {
        // With nothing configured only standard output is the log. A file
        // still open from before the destination was cleared (kept open for
        // writers that were queued then) names nothing any more: it is
        // closed, not written on for the rest of the process.
        const bool usable = configured ? key == _openFileKey && _uninterruptedWrites <= kMaxUninterruptedWrites
                                       : stream == stdout;
        if (usable) {
            reopen = false;
        } else {
            _uninterruptedWrites = 0;
            closeStream(stream);
            stream = nullptr;
        }
    }
    _openFileKey = key;
    if (reopen) stream = openStream(name, now);

    if (stream != nullptr) writeMessage(stream, prefix, message, errorLine);
    // The copy goes out whatever the stream is, so standard output as the
    // log stream shows each line twice while copying is on.
    if (_copyStdout) writeMessage(stdout, prefix, message, errorLine);

    passTurn(locked, stream, configured);
}

namespace {

FILE* takeTurn(bool locked) {
    if (!locked) return streamWithoutLocks();
    CondSection hold(_writers);
    _waiting++;
    while (_running) _writers.wait();
    _running = 1;
    return _stream;
}

void passTurn(bool locked, FILE* stream, bool configured) {
    if (!locked) {
        setStreamWithoutLocks(stream);
        return;
    }
    CondSection hold(_writers);
    _stream = stream;
    _running = 0;
    bool alone = _waiting == 1;
    _waiting--;
    if (alone && stream != nullptr && configured) {
        // Nobody is queued behind us: give the file back to the system.
        _uninterruptedWrites = 0;
        closeStream(stream);
        _stream = nullptr;
    } else if ((!alone || stream == nullptr) && _uninterruptedWrites <= kMaxUninterruptedWrites) {
        // Past the limit the count has done its work; counting on would
        // overflow in a process that never opens a stream (stdout only).
        _uninterruptedWrites++;
    }
    _writers.signal();
}

}  // namespace

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
    CondSection hold(_writers);
    long long id = (static_cast<long long>(getpid()) << 37) | _logId;
    _logId++;
    return id;
}

void setLog(const char* path) {
    if (path == nullptr) {
        useStdout();
        return;
    }
    setField(_logFile, sizeof(_logFile), path, "file path");
}

void setLogDir(const char* dir) {
    if (dir == nullptr) {
        useStdout();
        return;
    }
    setField(_logDir, sizeof(_logDir), dir, "directory");
}

void setLogName(const char* name) {
    if (name != nullptr) setField(_slName, sizeof(_slName), name, "name");
}

void copyLogToStdout() {
    SetterTurn turn;
    _copyStdout = true;
}
