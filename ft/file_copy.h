// FileCopy: fetches one file from a peer's file-transfer service and feeds
// its bytes to an InputFeeder (usually an Input that readers pull from), on
// a thread of its own ("file-copy").
//
// The exchange: the protocol 1 opening, FT_GET_FILE with the remote path,
// then chunks (a 64-bit length and a byte block of that length) until the
// length -1, which is followed by a 32-bit status and a text. A peer that
// cannot serve the file answers FT_FAIL with its reason instead.
//
// Ownership: the FileCopy references the feeder, which must outlive it (an
// Input owns its FileCopy and deletes it before itself). The destructor
// cancels and joins the thread.
//
// Thread-safety: start, cancel and the destructor may be called from any
// thread; the feeder is called only from the copy thread.
#ifndef DRV_FT_FILE_COPY_H
#define DRV_FT_FILE_COPY_H

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>

#include "common/sem.h"
#include "io/input.h"

class FileCopyThread;
class Principal;
class StreamConnection;

class FileCopy : public InputProducer {
public:
    // cert and key (may be null: an anonymous certificate is made) are
    // referenced and must outlive the copy.
    FileCopy(const char* host, const char* port, const char* path, const Principal* principal, X509* cert,
             EVP_PKEY* key, InputFeeder* feeder);
    ~FileCopy() override;
    FileCopy(const FileCopy&) = delete;
    FileCopy& operator=(const FileCopy&) = delete;

    // Starts the copy thread. 0, or -1 when already started.
    int start();
    // Stops the transfer as soon as possible: unless the whole file had
    // arrived, the feeder hears the error "FileCopy: transfer cancelled".
    // May be called more than once.
    void cancel() override;
    // Waits for the copy thread to end (from the thread that started it;
    // later calls return at once).
    void join();

    // The copy's own run, on the copy thread.
    void runCopy();

    // Set once the copy thread has ended: 0 when the whole file arrived,
    // else a connection error code (negative) or a shared error code.
    int result() const { return _result.load(); }
    long long bytesReceived() const { return _received.load(); }

private:
    void fail(int code, const char* text);

    char* _host;
    char* _port;
    char* _path;
    char* _loginUser;
    char* _dravikaUser;
    X509* _cert;
    EVP_PKEY* _key;
    InputFeeder* _feeder;
    FileCopyThread* _thread = nullptr;
    bool _joined = false;
    std::atomic<bool> _cancelled{false};
    std::atomic<int> _result{0};
    std::atomic<long long> _received{0};
    CriticalBlock _connectionLock;
    StreamConnection* _connection GUARDED_BY(_connectionLock) = nullptr;
};

// Routes Directory::openForRead and openForWrite through this service: a
// file of a local provider is read with a FileCopy (into a new Input) or
// written with a RemoteWriter (behind a new Output) from the local
// file-transfer service, "127.0.0.1" port "14001". Remote providers reach
// their own peers and are not routed here (21, "Not Implemented").
void ft_installFileOpener();
// Where local files are served from (tests point it at their own service).
void ft_setLocalFileService(const char* host, const char* port);

#endif
