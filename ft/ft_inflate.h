// Inflating a zlib (or gzip) stream that arrives in pieces, with stored
// blocks taken the short way: their bytes are handed on where they lie in
// the input, and the stream's Adler-32 is checked with the vectorised sum
// of ft_checksum.h. Incompressible files, the bulk of a transfer, are sent
// as stored blocks; running them through zlib only copied every byte once
// more and summed it with a slower checksum.
//
// A compressed block (or any block after one) goes to zlib in raw mode,
// primed with the last 32 KiB of output it may refer back to; the trailer
// is checked here either way. A gzip stream goes to zlib whole.
//
// Thread-safety: one thread uses an inflater.
#ifndef DRV_FT_FT_INFLATE_H
#define DRV_FT_FT_INFLATE_H

#include <stddef.h>
#include <stdint.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

class FtInflater {
public:
    // Takes n inflated bytes (valid only during the call); false stops the
    // stream with the problem "output refused".
    using Sink = std::function<bool(const unsigned char* data, size_t n)>;

    FtInflater();
    ~FtInflater();
    FtInflater(const FtInflater&) = delete;
    FtInflater& operator=(const FtInflater&) = delete;

    // Starts a new stream.
    void reset();
    // The next n bytes of the stream. 0, or -1 once the stream is found
    // corrupt, the sink refused, or bytes follow its end (problem() says
    // which; every later feed fails too).
    int feed(const unsigned char* data, size_t n, const Sink& sink);
    // Whether the whole stream, trailer included, has been read and checked.
    bool finished() const { return _state == DONE; }
    const std::string& problem() const { return _problem; }
    long long produced() const { return _produced; }

private:
    // HEADER: the two zlib header bytes. DICTIONARY_ID: the id of a preset
    // dictionary, which no sender uses. BLOCK: a block's first byte, on a
    // byte boundary. STORED_LENGTH: the four length bytes of a stored block.
    // STORED: its data. ZLIB_RAW: everything from the first compressed block
    // on, in zlib. TRAILER: the four Adler-32 bytes. GZIP: a gzip stream, in
    // zlib. DONE and FAILED end the stream.
    enum State { HEADER, DICTIONARY_ID, BLOCK, STORED_LENGTH, STORED, ZLIB_RAW, TRAILER, GZIP, DONE, FAILED };

    int fail(const std::string& why);
    bool emit(const unsigned char* data, size_t n, const Sink& sink);
    // Runs zlib over the input; on its end moves to TRAILER (raw) or DONE.
    int runZlib(const unsigned char** data, size_t* n, const Sink& sink);
    // Remembers the newest output for a later compressed block.
    void keepWindow(const unsigned char* data, size_t n);

    State _state = HEADER;
    unsigned char _pending[4];
    size_t _pendingCount = 0;
    bool _finalBlock = false;
    size_t _storedLeft = 0;
    uint32_t _adler = 1;
    long long _produced = 0;
    z_stream _z;
    bool _zActive = false;
    std::vector<unsigned char> _out;
    // The last (up to) 32 KiB of output while stored blocks are read.
    std::vector<unsigned char> _window;
    // Output pieces of the current feed that still lie in its input.
    std::vector<std::pair<const unsigned char*, size_t>> _pieces;
    std::string _problem;
};

#endif
