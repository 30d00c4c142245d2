// Building one received file: a staged temporary file written front to
// back with its MD5 digest kept as it grows, fed from deflated blocks or
// from ranges of the previous version of the file.
//
// Thread-safety: one session thread uses a writer.
#ifndef DRV_TOOLS_FTD_FTD_WRITER_H
#define DRV_TOOLS_FTD_FTD_WRITER_H

#include <openssl/evp.h>
#include <sys/uio.h>

#include <memory>
#include <string>
#include <vector>

#include "ft/ft_filesum.h"
#include "ft/ft_inflate.h"
#include "tools/ftd/ftd_direct.h"
#include "tools/ftd/ftd_tree.h"

class FtdFileWriter {
public:
    FtdFileWriter();
    ~FtdFileWriter();
    FtdFileWriter(const FtdFileWriter&) = delete;
    FtdFileWriter& operator=(const FtdFileWriter&) = delete;

    // Starts the temporary file for rel (its folder found through cache,
    // which may be null). 0 or -1 with errno.
    int open(const FtdTree& tree, const std::string& rel, FtdDirCache* cache = nullptr);
    // See FtdStagedFile.
    void expectSize(long long size) { _staged.expectSize(size); }
    int settle() { return _staged.settle(); }
    // The digest kept of what is appended (default MD5, the index's). None
    // for files whose digest nobody checks now: the index takes it later,
    // only if asked, instead of every received byte paying for it. The
    // FtFileSum for a rebuilt file that the sender's sum checks. Before the
    // first byte.
    enum Digest { DIGEST_NONE, DIGEST_MD5, DIGEST_FILESUM };
    void setDigest(Digest kind);
    Digest digestKind() const { return _kind; }
    bool isOpen() const { return _staged.fd() >= 0; }
    // The folder of the file being built, and the final name in it.
    int dirFd() const { return _staged.dirFd(); }
    int fd() const { return _staged.fd(); }
    const std::string& leaf() const { return _staged.leaf(); }
    long long written() const { return _staged.written(); }

    // Appends bytes (and adds them to the digest). 0 or -1 with errno.
    int append(const unsigned char* data, size_t n);
    // Appends length bytes of fd from offset (the page cache is used where
    // they are in it, ftd_direct.h). 0, or -1 (errno set, or 0 when fd ended
    // first).
    int copyFrom(int fd, long long offset, long long length);

    // Inflating: begin() starts a zlib stream, inflate() feeds one block and
    // appends what comes out, at most `limit` bytes in all since begin();
    // end() says whether the stream was complete. Errors are described in
    // problem() and make the writer refuse further data.
    void begin(long long limit);
    int inflate(const unsigned char* data, size_t n);
    bool end();
    const std::string& problem() const { return _problem; }
    long long inflated() const { return _inflated; }

    // The digest of everything appended: its bytes (16 for both kinds;
    // returns the length, 0 for none), or for MD5 the 32 hex digits.
    int digest(unsigned char out[16]);
    std::string digestText();

    // Installs with mode and time (ms); *st (when not null) gets the
    // installed file's status. 0 or -1 with errno.
    int install(int mode, long long mtimeMs, struct stat* st);
    void discard();

private:
    void addToDigest(const unsigned char* data, size_t n);

    FtdStagedFile _staged;
    std::vector<struct iovec> _gathered;
    // copyFrom()'s reader, kept for the file's next range.
    std::unique_ptr<FtdRangeReader> _copyReader;
    EVP_MD_CTX* _md;
    FtFileSum _sum;
    Digest _kind = DIGEST_MD5;
    bool _digestDone = false;
    unsigned char _digest[16] = {};
    unsigned int _digestLength = 0;
    FtInflater _inflater;
    bool _inflating = false;
    long long _limit = 0;
    long long _inflated = 0;
    std::string _problem;
};

#endif
