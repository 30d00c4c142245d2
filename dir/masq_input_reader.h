// MasqInputReader: pulls a remote file through directory operations when the
// asset is reached through another provider (masquerade) or over a reversed
// connection, where no file-transfer connection can be opened to it. One
// thread ("masq-input-reader") per file: it runs "readBytes" on the asset's
// "filesystem:" object with the path and the next offset, waits for each
// answer (a FileIo block) and hands the bytes to its sink, until the whole
// file has been read, an error ends it, or it is cancelled.
//
// Ownership: the reader owns its copies of the principal, asset id and
// path; the sink is the caller's and must outlive the thread, which calls
// its finished() exactly once as its last act (the object then deletes
// itself).
//
// Thread-safety: cancel() may be called from any thread; everything else
// runs on the reader's thread.
#ifndef DRV_DIR_MASQ_INPUT_READER_H
#define DRV_DIR_MASQ_INPUT_READER_H

#include <string>

#include "common/daemon_thread.h"
#include "common/sem.h"

class Directory;
class Principal;

class MasqInputReader : public DaemonThread {
public:
    // Where the blocks go (the input stream that the caller reads).
    class Sink {
    public:
        // A block at offset of a file of size bytes in all; false stops the reading.
        virtual bool deliver(const unsigned char* bytes, int length, long long offset, long long size) = 0;
        // The end: 0 after the last block, else the error code.
        virtual void finished(int error) = 0;

    protected:
        ~Sink() = default;
    };

    // Copies principal, assetId and path.
    MasqInputReader(Directory* directory, const Principal* principal, const char* assetId, const char* path,
                    Sink* sink);
    ~MasqInputReader() override;

    void run() override;
    // Stops the reading at the next block; the sink still hears finished().
    void cancel();

    // Seconds each block may take.
    static const int kBlockTimeoutSeconds = 40;

private:
    bool cancelled();

    Directory* _directory;
    Principal* _principal;
    std::string _assetId;
    std::string _path;
    Sink* _sink;
    CondBlock _lock;
    bool _cancelled GUARDED_BY(_lock);
};

#endif
