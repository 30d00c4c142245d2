// Fetching one remote file into an InputFeeder on a thread of its own.
#include "ft/file_copy.h"

#include <stdlib.h>
#include <string.h>

#include "common/daemon_thread.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "coms/coms_error.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "dir/principal.h"
#include "ft/ft_protocol.h"

class FileCopyThread : public DaemonThread {
public:
    explicit FileCopyThread(FileCopy* copy) : _copy(copy) {
        setName("file-copy");
        setDeleteOnExit(false);
    }
    void run() override {
        setInitialized();
        _copy->runCopy();
    }

private:
    FileCopy* _copy;
};

namespace {

char* dupOrEmpty(const char* s) {
    return strdup(s != nullptr ? s : "");
}

}  // namespace

FileCopy::FileCopy(const char* host, const char* port, const char* path, const Principal* principal, X509* cert,
                   EVP_PKEY* key, InputFeeder* feeder)
    : _host(dupOrEmpty(host)),
      _port(dupOrEmpty(port != nullptr ? port : FT_DEFAULT_PORT)),
      _path(dupOrEmpty(path)),
      _loginUser(nullptr),
      _dravikaUser(nullptr),
      _cert(cert),
      _key(key),
      _feeder(feeder) {
    char login[256] = "";
    char user[256] = "";
    if (principal != nullptr) {
        principal->getLoginUser(login, sizeof(login));
        principal->getDravikaUser(user, sizeof(user));
    }
    _loginUser = strdup(login);
    _dravikaUser = strdup(user);
}

FileCopy::~FileCopy() {
    cancel();
    join();
    delete _thread;
    free(_host);
    free(_port);
    free(_path);
    free(_loginUser);
    free(_dravikaUser);
}

int FileCopy::start() {
    if (_thread != nullptr) return -1;
    _thread = new FileCopyThread(this);
    _thread->start();
    return 0;
}

void FileCopy::join() {
    if (_thread != nullptr && _thread->isStarted() && !_joined) {
        _thread->join();
        _joined = true;
    }
}

void FileCopy::cancel() {
    _cancelled = true;
    CriticalSection hold(_connectionLock);
    if (_connection != nullptr) _connection->shutdown();
}

void FileCopy::fail(int code, const char* text) {
    _result = code;
    if (_feeder != nullptr) _feeder->handleError(code > 0 ? code : DirError::E_IO, text);
}

void FileCopy::runCopy() {
    log(_debug_ft, LOG_INFO, 0, 0, "Starting file get from host: %s:%s, filename = %s", _host, _port, _path);
    StreamConnection* connection = new StreamConnection(_host, _port, _cert, _key, FT_CONNECT_VALUE);
    // Published before connecting, so that a cancel also ends a connect
    // that waits for a peer or its handshake.
    {
        CriticalSection hold(_connectionLock);
        _connection = connection;
    }
    if (_cancelled) connection->shutdown();
    int rc = connection->connect();
    if (rc != 0) {
        log(_debug_ft, LOG_ERROR, 0, 0, "%s", messageFromError(rc));
        {
            CriticalSection hold(_connectionLock);
            _connection = nullptr;
        }
        delete connection;
        if (_cancelled)
            fail(DirError::E_IO, "FileCopy: transfer cancelled");
        else
            fail(rc, messageFromError(rc));
        return;
    }
    MessageBase* out = connection->getOutMessage();
    MessageBase* in = connection->getInMessage();
    out->writeInt32(FT_PROTOCOL_1);
    out->writeString(_loginUser);
    out->writeString(_dravikaUser);
    ftWriteCommand(out, FT_PROTOCOL_1, FT_GET_FILE);
    out->writeString(_path);
    long long total = 0;
    bool ended = false;
    while (!_cancelled) {
        int64_t size = 0;
        if (in->readInt64(&size) != 0) {
            if (_cancelled) break;
            in->recover();
            int32_t cmd = 0;
            char* text = nullptr;
            if (in->readInt32(&cmd) == 0 && cmd == FT_FAIL && in->readString(&text) == 0) {
                log(_debug_ft, LOG_ERROR, 0, 0, "FileCopy: received FT_FAIL command, error = %s",
                    text != nullptr ? text : "");
                fail(DirError::E_IO, text != nullptr ? text : "");
            } else {
                log(_debug_ft, LOG_ERROR, 0, 0, "FileCopy: INVALID data type received while waiting for file size");
                fail(DirError::E_PROTOCOL, "FileCopy: INVALID data type received while waiting for file size");
            }
            free(text);
            ended = true;
            break;
        }
        if (size == -1) {
            int32_t status = 0;
            char* text = nullptr;
            if (in->readInt32(&status) != 0 || in->readString(&text) != 0) status = DirError::E_PROTOCOL;
            if (status != 0) {
                fail(DirError::E_IO, text != nullptr && *text != '\0' ? text : "file transfer ended with an error");
            } else if (_feeder != nullptr) {
                // The whole size is known only now; announcing it ends the data.
                _feeder->appendData(nullptr, total, 0);
            }
            free(text);
            ended = true;
            break;
        }
        unsigned char* data = nullptr;
        uint32_t length = 0;
        if (size < 0 || in->readBytes(&data, &length) != 0 || static_cast<long long>(length) != size) {
            free(data);
            if (_cancelled) break;  // told below
            fail(DirError::E_PROTOCOL, "FileCopy: transfer broken while receiving data");
            ended = true;
            break;
        }
        total += length;
        _received = total;
        // Until the end marker the total is unknown: announce one byte more
        // than has arrived, so that readers wait for the rest.
        if (_feeder != nullptr && length > 0) _feeder->appendData(data, total + 1, static_cast<int>(length));
        free(data);
    }
    if (!ended) {
        // Cancelled before the file was whole: readers hear it at once as an
        // error, rather than wait for data that will not come or take what
        // came for the whole file.
        log(_debug_ft, LOG_DEBUG, 0, 0, "FileCopy: transfer of %s cancelled after %lld bytes", _path, total);
        fail(DirError::E_IO, "FileCopy: transfer cancelled");
    }
    {
        CriticalSection hold(_connectionLock);
        _connection = nullptr;
    }
    delete connection;
}
