#include "io/input.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"

namespace {

// Text arriving in UTF-8 (or in an unnamed set) is taken as it is.
bool needsConverter(const char* encoding) {
    return encoding != nullptr && *encoding != '\0' && strcasecmp(encoding, "UTF-8") != 0;
}

const int kLocalChunk = 65536;

}  // namespace

Input::Input(long long initialSize, void (*closeCallback)(Input*), const char* encoding)
    : _closeCallback(closeCallback) {
    CondSection lock(_data);
    _localSize = initialSize;
    _remoteSize = initialSize;
    _fd = s_mkstemp(_tempName);
    if (_fd < 0) {
        char text[256];
        snprintf(text, sizeof text, "Unable to open temporary file: %s", strerror(errno));
        _tempName[0] = '\0';
        setError(DirError::E_IO, text);
        _closed = true;
        return;
    }
    // The converter reports construction errors at once, through
    // encodingError, which expects the data lock held.
    if (needsConverter(encoding)) _converter = new EncodingConverter(this, encoding);
}

Input::Input(int fd, const char* encoding) : _source(fd) {
    CondSection lock(_data);
    _fd = fd;
    struct stat64 st;
    if (fstat64(fd, &st) != 0) {
        char text[256];
        snprintf(text, sizeof text, "Unable to stat input file: %s", strerror(errno));
        setError(DirError::E_IO, text);
        _closed = true;
        return;
    }
    _localSize = st.st_size;
    _remoteSize = st.st_size;
    _totalTransferred = st.st_size;
    if (!needsConverter(encoding)) return;

    // Text in another set is converted as reads reach it (convertLocalLocked),
    // into a temporary file; nothing is read here.
    _localSize = 0;
    _fd = s_mkstemp(_tempName);
    if (_fd < 0) {
        char text[256];
        snprintf(text, sizeof text, "Unable to open temporary file: %s", strerror(errno));
        _tempName[0] = '\0';
        setError(DirError::E_IO, text);
        _closed = true;
        return;
    }
    _converter = new EncodingConverter(this, encoding);
}

// Converts the next part of a local file in another set, up to its size as
// last seen, until some text comes out or that size is reached; true when
// there is more text to read. A failed read, conversion or write sets the
// error and stops it.
bool Input::convertLocalLocked() {
    if (_converter == nullptr || _source < 0) return false;
    long long before = _localSize;
    char* chunk = nullptr;
    while (_localSize == before && _sourceOffset < _totalTransferred && _errorText == nullptr) {
        if (chunk == nullptr) chunk = static_cast<char*>(malloc(kLocalChunk));
        long long left = _totalTransferred - _sourceOffset;
        size_t want = left < kLocalChunk ? static_cast<size_t>(left) : kLocalChunk;
        ssize_t n = pread(_source, chunk, want, _sourceOffset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            char text[256];
            snprintf(text, sizeof text, "Unable to read input file: %s", n < 0 ? strerror(errno) : "file shrank");
            setError(DirError::E_IO, text);
            break;
        }
        _sourceOffset += n;
        _converter->append(chunk, static_cast<int>(n));
    }
    free(chunk);
    // All there is has been converted: the file ends here for now, so a
    // sequence left incomplete becomes a substitution character rather
    // than vanish. Should the file grow, conversion goes on from where it
    // was, in the state the text so far left (not as from a fresh start).
    if (_localSize == before && _errorText == nullptr) _converter->pause();
    return _localSize > before;
}

Input::~Input() {
    DRV_ASSERT(!_deleted);
    _deleted = true;
    if (_closeCallback != nullptr) _closeCallback(this);

    InputProducer* copy;
    InputProducer* masq;
    {
        CriticalSection hold(_producers);
        copy = _fileCopy;
        masq = _masqReader;
        _fileCopy = nullptr;
        _masqReader = nullptr;
    }
    {
        CondSection lock(_data);
        // Closed first, so that a producer still running when it is
        // cancelled below adds nothing more.
        _closed = true;
        _data.broadcast();
    }
    if (copy != nullptr) {
        log(_debug_io, LOG_DEBUG, 0, 0, "Input: will cancel file copy");
        copy->cancel();
        delete copy;
    }
    if (masq != nullptr) {
        log(_debug_io, LOG_DEBUG, 0, 0, "Input: will cancel masq reader");
        masq->cancel();
        delete masq;
    }

    // Readers blocked in read wake on the broadcast, see the closed flag and
    // leave; wait for the last one before the state they use goes away.
    bool logged = false;
    for (;;) {
        {
            CondSection lock(_data);
            _data.broadcast();
        }
        CondSection lock(_readers);
        if (_readerCount == 0) break;
        if (!logged) {
            log(_debug_io, LOG_DEBUG, 0, 0, "Input: reader count is still non-zero. Must wait");
            logged = true;
        }
        _readers.wait(100);
    }

    CondSection lock(_data);
    if (_tempName[0] != '\0') unlink(_tempName);
    if (_fd >= 0) ::close(_fd);
    if (_source >= 0 && _source != _fd) ::close(_source);
    free(_errorText);
    _errorText = nullptr;
    delete _converter;
    _converter = nullptr;
}

void Input::attach(InputProducer* producer, bool masq) {
    CriticalSection hold(_producers);
    InputProducer* old[2] = {_fileCopy, _masqReader};
    _fileCopy = masq ? nullptr : producer;
    _masqReader = masq ? producer : nullptr;
    {
        CondSection lock(_data);
        _writer = masq || (producer != nullptr && producer->isWriter());
    }
    // Whatever was attached before is released, outside the data lock but
    // under the producer lock, so that a close() is not cancelling it.
    for (InputProducer* p : old) {
        if (p == nullptr || p == producer) continue;
        p->cancel();
        delete p;
    }
}

void Input::setFileCopy(InputProducer* copy) {
    attach(copy, false);
}

void Input::setMasqInputReader(InputProducer* reader) {
    attach(reader, true);
}

void Input::close() {
    // Cancelled outside the data lock (a producer may hold its own lock
    // while it appends), under the producer lock, so that attaching another
    // cannot release this one meanwhile.
    CriticalSection hold(_producers);
    if (_fileCopy != nullptr) _fileCopy->cancel();
    if (_masqReader != nullptr) _masqReader->cancel();
}

void Input::setError(int code, const char* text) {
    if (code != 0) _errorCode = code;
    free(_errorText);
    _errorText = strdup(text != nullptr ? text : "");
}

void Input::handleError(int code, const char* text) {
    CondSection lock(_data);
    setError(code, text);
    _data.broadcast();
}

// The converter runs only inside appendData, a constructor or
// convertLocalLocked, all of which hold the data lock; the analysis cannot
// follow the call through the converter.
void Input::encodingError(const char* text) NO_THREAD_SAFETY_ANALYSIS {
    log(0, "Input: converter failed with message: %s", text);
    setError(DirError::E_IO, text);
}

void Input::fromConverter(const char* data, int count) NO_THREAD_SAFETY_ANALYSIS {
    writeBacking(data, count);
}

void Input::writeBacking(const char* data, int count) {
    int done = 0;
    while (done < count) {
        ssize_t n = pwrite(_fd, data + done, static_cast<size_t>(count - done), _writeLocation + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            char text[256];
            snprintf(text, sizeof text, "Unable to write temporary file: %s", n < 0 ? strerror(errno) : "no space");
            setError(DirError::E_IO, text);
            break;
        }
        done += static_cast<int>(n);
    }
    _writeLocation += done;
    if (_localSize < 0) _localSize = 0;
    _localSize += done;
}

void Input::appendData(unsigned char* data, long long newLength, int count) {
    CondSection lock(_data);
    if (_closed) return;
    if (newLength < 1) {
        if (_remoteSize < 0 || newLength != 0) _remoteSize = newLength;
        if (_localSize < 0) _localSize = 0;
        if (newLength < 0) _terminated = true;
        // The end: a sequence left incomplete becomes a substitution
        // character instead of vanishing.
        if (_converter != nullptr) _converter->finish();
    } else {
        if (count < 0 || data == nullptr) count = 0;
        _totalTransferred += count;
        _remoteSize = newLength;
        if (_localSize < 0) _localSize = 0;
        if (_converter != nullptr) {
            _converter->append(reinterpret_cast<const char*>(data), count);
        } else {
            writeBacking(reinterpret_cast<const char*>(data), count);
        }
    }
    _data.broadcast();
}

long long Input::refreshSizeLocked() {
    struct stat64 st;
    if (_source >= 0 && fstat64(_source, &st) == 0) {
        _totalTransferred = st.st_size;
        // Converted text counts only once converted.
        if (_converter == nullptr) _localSize = st.st_size;
    }
    return _localSize;
}

long long Input::size() {
    CondSection lock(_data);
    return refreshSizeLocked();
}

long long Input::available() {
    CondSection lock(_data);
    long long left = _localSize - _readLocation;
    return left > 0 ? left : 0;
}

long long Input::seek(long long pos) {
    CondSection lock(_data);
    long long held = _localSize > 0 ? _localSize : 0;
    _readLocation = pos < 0 ? 0 : pos > held ? held : pos;
    return _readLocation;
}

int Input::errorCode() {
    CondSection lock(_data);
    return _errorCode;
}

void Input::errorText(char* out, int size) {
    CondSection lock(_data);
    if (size > 0) snprintf(out, static_cast<size_t>(size), "%s", _errorText != nullptr ? _errorText : "");
}

void Input::setWaitTimes(int sizeWaitMs, int dataWaitMs) {
    CondSection lock(_data);
    _sizeWaitMs = sizeWaitMs;
    _dataWaitMs = dataWaitMs;
}

bool Input::fedByWriter() {
    CondSection lock(_data);
    return _writer;
}

int Input::readerCount() {
    CondSection lock(_readers);
    return _readerCount;
}

int Input::read(unsigned char* buffer, int length) {
    {
        CondSection lock(_readers);
        _readerCount++;
    }
    int result;
    {
        CondSection lock(_data);
        result = readLocked(buffer, length);
    }
    CondSection lock(_readers);
    if (--_readerCount == 0) _readers.broadcast();
    return result;
}

int Input::readLocked(unsigned char* buffer, int length) {
    // Wait for the sender to announce a size (or an end, or an error).
    long long start = monotonicMs();
    while (_errorText == nullptr && !_closed && _remoteSize == -1 && !_terminated) {
        long long left = _sizeWaitMs - (monotonicMs() - start);
        if (left <= 0) break;
        if (!_data.wait(static_cast<int>(left))) {
            if (_errorText == nullptr) setError(0, "Unable to read. Network timeout (1)");
            return -2;
        }
    }
    if (_remoteSize == -1 && !_terminated) return -2;

    bool local = _source >= 0;
    if (local && _readLocation == _localSize) refreshSizeLocked();
    if (_errorText != nullptr) return -2;

    // Nothing asked for: nothing is read, and -1 (the end) is said only
    // where a read of more would say it, lest a caller stop short.
    if (length < 1) {
        if (_closed) return -1;
        if (_readLocation >= _localSize && local && convertLocalLocked()) return 0;
        if (_errorText != nullptr || failIfTerminatedLocked()) return -2;
        return _readLocation >= _localSize && (local || _totalTransferred >= _remoteSize) ? -1 : 0;
    }

    int got = 0;
    while (length >= 1 && !_closed) {
        // Everything held has been read: the end, unless more is on its way
        // (or, for a local file in another set, can be converted now).
        if (_readLocation >= _localSize && local && convertLocalLocked()) continue;
        if (_errorText != nullptr) return -2;
        if (_readLocation >= _localSize && (local || _totalTransferred >= _remoteSize)) break;
        if (_localSize - _readLocation < length && !local && _totalTransferred < _remoteSize) {
            if (!_data.wait(_dataWaitMs)) {
                if (_errorText == nullptr) setError(0, "Unable to read. Network timeout (2)");
                return -2;
            }
        }
        if (_errorText != nullptr) return -2;
        long long have = _localSize - _readLocation;
        int n = have <= 0 ? 0 : have < length ? static_cast<int>(have) : length;
        int done = 0;
        while (done < n) {
            ssize_t r = pread(_fd, buffer + done, static_cast<size_t>(n - done), _readLocation + done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                char text[256];
                snprintf(text, sizeof text, "Unable to read input file: %s", r < 0 ? strerror(errno) : "file shrank");
                setError(DirError::E_IO, text);
                return -2;
            }
            done += static_cast<int>(r);
        }
        _readLocation += n;
        got += n;
        buffer += n;
        length -= n;
        // All available bytes have been read: hand them over rather than wait.
        if (got > 0 && _readLocation == _localSize && _totalTransferred != _remoteSize) return got;
    }
    if (got == 0 && failIfTerminatedLocked()) return -2;
    return got == 0 ? -1 : got;
}

bool Input::failIfTerminatedLocked() {
    // What a terminated transfer brought is not the whole file: once it has
    // been read, readers get an error, not an end of data.
    if (!_terminated || _readLocation < _localSize) return false;
    if (_errorText == nullptr) setError(DirError::E_IO, "Unable to read. Transfer terminated");
    return true;
}
