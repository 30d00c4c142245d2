// Writing one remote file through the peer's file-transfer service.
#include "ft/remote_writer.h"

#include <stdlib.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "coms/coms_error.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "dir/principal.h"
#include "ft/ft_protocol.h"

RemoteWriter::RemoteWriter(const char* host, const char* port, const char* path, const Principal* principal,
                           X509* cert, EVP_PKEY* key, int mode)
    : _host(host != nullptr ? host : ""),
      _port(port != nullptr ? port : FT_DEFAULT_PORT),
      _path(path != nullptr ? path : ""),
      _cert(cert),
      _key(key),
      _mode(mode) {
    char login[256] = "";
    char user[256] = "";
    if (principal != nullptr) {
        principal->getLoginUser(login, sizeof(login));
        principal->getDravikaUser(user, sizeof(user));
    }
    _loginUser = login;
    _dravikaUser = user;
}

RemoteWriter::~RemoteWriter() {
    delete _connection;
}

int RemoteWriter::failWith(const char* text) {
    _failed = true;
    if (_error.empty()) _error = text;
    return DirError::E_IO;
}

int RemoteWriter::start() {
    if (_connection != nullptr) return failWith("RemoteWriter: already started");
    _connection = new StreamConnection(_host.c_str(), _port.c_str(), _cert, _key, FT_CONNECT_VALUE);
    int rc = _connection->connect();
    if (rc != 0) {
        _failed = true;
        _error = messageFromError(rc);
        log(_debug_ft, LOG_ERROR, 0, 0, "FT: RemoteWriter: unable to connect to %s:%s: %s", _host.c_str(),
            _port.c_str(), _error.c_str());
        return rc;
    }
    MessageBase* out = _connection->getOutMessage();
    MessageBase* in = _connection->getInMessage();
    out->writeInt32(FT_PROTOCOL_1);
    out->writeString(_loginUser.c_str());
    out->writeString(_dravikaUser.c_str());
    ftWriteCommand(out, FT_PROTOCOL_1, FT_WRITE_FILE);
    out->writeString(_path.c_str());
    out->writeInt32(_mode);
    int32_t status = 0;
    if (in->readInt32(&status) != 0) return failWith("I/O Error writing bytes");
    if (status != 0) {
        char* text = nullptr;
        in->readString(&text);
        log(_debug_ft, LOG_ERROR, 0, 0, "FT: error is '%s'", text != nullptr ? text : "");
        failWith(text != nullptr ? text : "I/O Error writing bytes");
        free(text);
        return DirError::E_IO;
    }
    _started = true;
    return 0;
}

int RemoteWriter::write(long long offset, unsigned char* data, int length) {
    if (!_started || _ended || _failed || length < 0) return -1;
    if (offset < 0) {
        failWith("RemoteWriter: negative offset");
        return -1;
    }
    MessageBase* out = _connection->getOutMessage();
    out->writeInt64(offset);
    if (out->writeBytes(data, static_cast<uint32_t>(length)) != 0) {
        failWith("I/O Error writing bytes");
        return -1;
    }
    return length;
}

int RemoteWriter::close() {
    if (!_started || _ended) return _failed ? DirError::E_IO : 0;
    _ended = true;
    MessageBase* out = _connection->getOutMessage();
    MessageBase* in = _connection->getInMessage();
    // The end marker goes out even after a failed write: the peer waits
    // for it before it answers, and the failure is reported all the same.
    out->writeInt64(-1);
    int32_t status = 0;
    if (in->readInt32(&status) != 0) return failWith("I/O Error writing bytes");
    if (status != 0) {
        char* text = nullptr;
        in->readString(&text);
        log(_debug_ft, LOG_ERROR, 0, 0, "FT: RemoteWriter: close() returns an error: %s", text != nullptr ? text : "");
        failWith(text != nullptr ? text : "I/O Error writing bytes");
        free(text);
        return DirError::E_IO;
    }
    return _failed ? DirError::E_IO : 0;
}
