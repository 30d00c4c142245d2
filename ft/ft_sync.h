// The exchanges of a partial update inside a file entry whose body form is
// SYNC (ft/ft_entry.h). Every code is a plain int32.
//
// Gross changes (the destination's copy is newer by more than 1000 ms, or
// longer than the source): FT_SYNC_END, true, DATA.
//
// Append check (algorithm 1):
//   S: FT_SYNC_FIND_MD5, offset (int64 0), length (int32 min(size, 4096))
//   R: FT_SYNC_FIND_MD5_REPLY, status (int32, 0 when the range was read),
//      digest (string, 32 hex digits, of that range of the destination's file)
//   S, when the digests differ: FT_SYNC_END, true, DATA
//   S, when they agree: FT_SYNC_WRITE for the bytes from the destination's
//      size to the end (when there are any), then FT_SYNC_END, false, status
// FT_SYNC_WRITE := offset (int64, in the new file), length (int64), byte
//   blocks of one zlib stream holding exactly `length` bytes, empty block.
//
// Rolling checksum (algorithm 2):
//   S: FT_SYNC_ROLLING_START, int64 0, int64 -1, block size (int32), seed (int32)
//   R: FT_SYNC_SIGNATURES, the destination's size (int64), block count
//      (int32, -1 when the file cannot be read), then per block its weak
//      checksum (int32, adler_checksum with the seed) and MD5 (16-byte block).
//      The last block may be short.
//   S, with count -1: FT_SYNC_END, true, DATA
//   S, otherwise, in the order of the new file's bytes:
//      FT_SYNC_COPY_BLOCKS, first block (int32), count (int32)  - old blocks
//      FT_SYNC_WRITE ...                                         - literals
//   then FT_SYNC_NEW_DIGEST (16-byte MD5 of the whole new file), and
//   FT_SYNC_END, false, status.
//   The receiver builds the new file beside the old one, checks the digest
//   (a mismatch is an FT_ERROR naming the file, and the old file stays) and
//   renames it into place with the entry's mode and time.
//
// Thread-safety: plain functions; the caller owns the file and vector.
#ifndef DRV_FT_FT_SYNC_H
#define DRV_FT_FT_SYNC_H

#include <stdint.h>

#include <vector>

class SfsFile;

struct FtBlockSignature {
    uint32_t weak;
    unsigned char digest[16];
};

// Reads a file of `size` bytes from its current position and appends one
// signature per block of blockSize bytes (the last may be short). 0, or -1
// when the file cannot be read whole.
int ft_computeSignatures(SfsFile* file, long long size, int blockSize, uint32_t seed,
                         std::vector<FtBlockSignature>* out);

#endif
