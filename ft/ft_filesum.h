// The whole-file check of a partial update: a 128-bit sum of the rebuilt
// file that both sides take as the bytes stream past, so that a block
// matched by mistake (or a previous version that changed under the
// receiver) is caught before the new file replaces the old one.
//
// It guards against accidents, not against the peer, who chooses the bytes
// anyway: a keyed multiply-accumulate over eight 64-bit lanes in the manner
// of the xxHash family, vectorised with AVX2, finished with 128-bit
// multiplications. It costs a small fraction of a cryptographic digest,
// which matters when a re-sync of a large file hashes every byte on both
// sides.
//
// The sum depends only on the bytes, not on how update() cut them.
//
// Thread-safety: one thread uses a sum.
#ifndef DRV_FT_FT_FILESUM_H
#define DRV_FT_FT_FILESUM_H

#include <stddef.h>
#include <stdint.h>

class FtFileSum {
public:
    static const size_t kLength = 16;

    // vectorised: false computes the same sum without AVX2 (as on a
    // processor that lacks it).
    explicit FtFileSum(bool vectorised = true);
    void reset();
    void update(const void* data, size_t n);
    // The sum of everything given so far (the state is left as it was).
    void final(unsigned char out[kLength]) const;

private:
    static const size_t kStripe = 64;
    static const int kStripesPerRound = 16;

    void stripes(const unsigned char* p, size_t count);

    uint64_t _acc[8];
    unsigned char _partial[kStripe];
    size_t _partialLength;
    unsigned _stripe;  // stripe index inside the current round
    unsigned long long _length;
    bool _vector;
};

#endif
