// RemoteWriter: writes one file on a peer through its file-transfer service
// (FT_WRITE_FILE): the protocol 1 opening, the path and mode, then blocks
// of (64-bit offset, byte block), and -1 as the end marker, after which the
// peer installs the file and answers a status. It is the writer behind an
// Output (io/output.h).
//
// Thread-safety: one thread uses a writer at a time.
#ifndef DRV_FT_REMOTE_WRITER_H
#define DRV_FT_REMOTE_WRITER_H

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "io/output.h"

class Principal;
class StreamConnection;

class RemoteWriter : public OutputWriter {
public:
    // mode: the new file's permission bits. cert and key may be null.
    RemoteWriter(const char* host, const char* port, const char* path, const Principal* principal, X509* cert,
                 EVP_PKEY* key, int mode);
    ~RemoteWriter() override;
    RemoteWriter(const RemoteWriter&) = delete;
    RemoteWriter& operator=(const RemoteWriter&) = delete;

    // Connects and opens the remote file. 0, a connection error code
    // (negative), or 28 when the peer refuses (errorText() says why).
    int start();
    // Sends length bytes for offset. Returns length, or -1 once failed. A
    // negative offset fails the writer (the peer would take it for the end
    // marker).
    int write(long long offset, unsigned char* data, int length) override;
    // Once started, always sends the end marker and waits for the peer's
    // status, even after a failed write, so that the peer's side of the
    // exchange ends in step: 0 when the file was installed and every write
    // went out, else 28 with errorText() set.
    int close() override;
    // The Output this writer stands behind (kept for its owner; not used to write).
    void setOutput(Output* output) { _output = output; }
    Output* getOutput() const { return _output; }

    const std::string& errorText() const { return _error; }

private:
    int failWith(const char* text);

    std::string _host;
    std::string _port;
    std::string _path;
    std::string _loginUser;
    std::string _dravikaUser;
    X509* _cert;
    EVP_PKEY* _key;
    int _mode;
    StreamConnection* _connection = nullptr;
    // start() succeeded; the end marker went out; something failed.
    bool _started = false;
    bool _ended = false;
    bool _failed = false;
    std::string _error;
    Output* _output = nullptr;
};

#endif
