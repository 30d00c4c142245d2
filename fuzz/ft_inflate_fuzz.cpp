// The receiver's inflater against zlib itself. The first byte picks the
// input's use: either the rest is a stream as a peer might send it, or it
// is data that zlib deflates with changing levels (stored and compressed
// blocks mixed) and that one byte of corruption may then hit. Fed in pieces
// cut at random, the inflater must agree with zlib's inflate over the whole
// stream: the same output for a complete stream, and no success where zlib
// fails or has not finished.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <string>

#include "ft/ft_inflate.h"

namespace {

enum Outcome { COMPLETE, INCOMPLETE, FAILED };

// zlib's verdict on the whole stream at once.
Outcome reference(const std::string& stream, std::string* out) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 32) != Z_OK) abort();
    z.next_in = reinterpret_cast<unsigned char*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    unsigned char buf[16384];
    Outcome result = INCOMPLETE;
    for (;;) {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        int rc = inflate(&z, Z_NO_FLUSH);
        out->append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
        if (rc == Z_STREAM_END) {
            result = z.avail_in == 0 ? COMPLETE : FAILED;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            result = FAILED;
            break;
        }
        if (z.avail_out != 0) break;
    }
    inflateEnd(&z);
    return result;
}

std::string deflateMixed(const uint8_t* data, size_t size) {
    z_stream z{};
    if (deflateInit(&z, 0) != Z_OK) abort();
    std::string out;
    unsigned char buf[65536];
    size_t at = 0;
    while (at < size) {
        // Each piece: a level byte, then up to 4 KiB of data.
        int level = data[at] % 10;
        size_t n = std::min<size_t>(size - at - 1, 64 + (data[at] * 16));
        at++;
        z.avail_in = 0;
        z.next_out = buf;
        z.avail_out = sizeof buf;
        deflateParams(&z, level, Z_DEFAULT_STRATEGY);
        out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
        z.next_in = const_cast<uint8_t*>(data + at);
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in > 0) {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            deflate(&z, Z_NO_FLUSH);
            out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
        }
        at += n;
    }
    int rc;
    do {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = deflate(&z, Z_FINISH);
        out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
    } while (rc != Z_STREAM_END);
    deflateEnd(&z);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t mode = data[0];
    uint32_t cuts = data[1] * 2654435761u + 1;
    std::string stream;
    if ((mode & 1) == 0) {
        stream.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
    } else {
        stream = deflateMixed(data + 2, size - 2);
        // Perhaps one byte hit.
        if ((mode & 2) != 0 && !stream.empty()) stream[(mode * 131u + size) % stream.size()] ^= static_cast<char>(data[1] | 1);
    }
    std::string expected;
    Outcome ref = reference(stream, &expected);

    static FtInflater inf;
    inf.reset();
    std::string got;
    bool failed = false;
    for (size_t at = 0; at < stream.size() && !failed;) {
        cuts = cuts * 1103515245u + 12345u;
        size_t n = std::min<size_t>(stream.size() - at, 1 + (cuts >> 16) % 9000);
        failed = inf.feed(reinterpret_cast<const unsigned char*>(stream.data()) + at, n,
                          [&got](const unsigned char* p, size_t k) {
                              got.append(reinterpret_cast<const char*>(p), k);
                              return true;
                          }) != 0;
        at += n;
    }
    Outcome ours = failed ? FAILED : inf.finished() ? COMPLETE : INCOMPLETE;
    if (ours != ref) {
        fprintf(stderr, "outcome differs: ours %d, zlib %d (%s)\n", ours, ref, inf.problem().c_str());
        abort();
    }
    if (ours == COMPLETE && (got != expected || inf.produced() != static_cast<long long>(got.size()))) abort();
    // Up to a failure both have given out the same bytes so far, or ours fewer.
    if (ours != COMPLETE && expected.compare(0, std::min(got.size(), expected.size()), got, 0,
                                             std::min(got.size(), expected.size())) != 0)
        abort();
    return 0;
}
