// MasqInputReader: pulls a remote file through directory operations when the
// asset is reached through another provider (masquerade) or over a reversed
// connection, where no file-transfer connection can be opened to it. One
// thread ("masq-input-reader") per file: it runs "readBytes" on the asset's
// "filesystem:" object with the path and the next offset, waits for each
// answer (a FileIo block) and hands the bytes to its sink, until the whole
// file has been read, an error ends it, or it is cancelled. A block that is
// not the next one, or does not fit in the file size it gives, is the
// peer's protocol error (E_PROTOCOL).
//
// Ownership: the reader owns its copies of the principal, asset id and
// path; the sink is the caller's and must outlive the thread, which calls
// its finished() exactly once as its last act (the object then deletes
// itself). openInput hands the reader to an Input through a sink that the
// Input owns: closing the Input cancels the reader, and destroying it waits
// for the reader's end.
//
// A reader reaches its session only inside its calls on it (each block's
// request): a session that ends first makes its readers let go of it
// (endSession), and they stop with E_LOGGED_OUT.
//
// Thread-safety: cancel() and endSession() may be called from any thread;
// everything else runs on the reader's thread. A cancel takes effect within
// kCancelPollMs, even while a block is on its way.
#ifndef DRV_DIR_MASQ_INPUT_READER_H
#define DRV_DIR_MASQ_INPUT_READER_H

#include <string>

#include "common/daemon_thread.h"
#include "common/sem.h"

class Directory;
class DirectorySPI;
class Input;
class Principal;

class MasqInputReader : public DaemonThread {
public:
    // Where the blocks go (the input stream that the caller reads).
    class Sink {
    public:
        // A block at offset of a file of size bytes in all; false stops the reading.
        virtual bool deliver(const unsigned char* bytes, int length, long long offset, long long size) = 0;
        // The end: 0 after the last block, else the error code and what
        // the remote side said of it (may be null).
        virtual void finished(int error, const char* text) = 0;

    protected:
        ~Sink() = default;
    };

    // A new Input fed by a reader of path on asset assetId, reached through
    // provider (which stays locked until the reader ends). Never null; when
    // no reader thread can be started, the Input has already failed with 39.
    static Input* openInput(Directory* directory, DirectorySPI* provider, const Principal* principal,
                            const char* assetId, const char* path);

    // Copies principal, assetId and path.
    MasqInputReader(Directory* directory, const Principal* principal, const char* assetId, const char* path,
                    Sink* sink);
    ~MasqInputReader() override;

    void run() override;
    // Stops the reading; the sink still hears finished(), with E_IO.
    void cancel();
    // Before directory goes: its readers let go of it and stop. With wait,
    // returns once none of them is inside a call on it any more (not on the
    // execution thread, which such a call may wait for).
    static void endSession(Directory* directory, bool wait);

    // How often a reader waiting for a block looks for a cancel (ms).
    static const int kCancelPollMs = 100;

private:
    // The error a stop gives (0 while the reading goes on).
    int stopError();
    void stop(int error);
    // The session for one call on it, or null once it has gone; every
    // non-null answer is followed by leaveSession.
    Directory* enterSession();
    void leaveSession();

    // Guards every reader's hold on its session, and the list of readers.
    // Lock order: _sessions before a reader's _lock (endSession stops the
    // readers it lets go of).
    static CondBlock _sessions;

    Directory* _directory GUARDED_BY(_sessions);  // null once let go of
    Directory* _inCallOn GUARDED_BY(_sessions);   // set while a call is on it
    Principal* _principal;
    std::string _assetId;
    std::string _path;
    Sink* _sink;
    CondBlock _lock;
    int _stopError GUARDED_BY(_lock);
};

#endif
