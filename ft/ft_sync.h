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
//      (int32, -1 when the file cannot be read), strong length L (int32,
//      4 to 16; 0 with a count of -1), then byte blocks holding the
//      signatures, whole records of 4 + L bytes each, until `count` records
//      have come: per block its weak checksum (big-endian, adler_checksum
//      with the seed) and the first L bytes of its MD5. The last block may
//      be short. L grows with the file (ft_strongLength): a wrong block
//      match is caught by the whole file's digest, and stays unlikely.
//   S, with count -1: FT_SYNC_END, true, DATA
//   S, otherwise, in the order of the new file's bytes:
//      FT_SYNC_COPY_BLOCKS, first block (int32), count (int32)  - old blocks
//      FT_SYNC_WRITE ...                                         - literals
//   then FT_SYNC_NEW_DIGEST (a byte block: FT_SUM_FILESUM and the 16-byte
//   FtFileSum of the whole new file, ft/ft_filesum.h; from older senders
//   the 20-byte SHA-1 or the 16-byte MD5 of it), and
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

// The first byte of a FT_SYNC_NEW_DIGEST of 17 bytes: the kind of sum.
const unsigned char FT_SUM_FILESUM = 1;

struct FtBlockSignature {
    uint32_t weak;
    // The MD5, of which only the first strong-length bytes are sent; the
    // rest is zero.
    unsigned char digest[16];
};

class MessageBase;

// Bytes of MD5 sent per block for a file of `size` bytes in blocks of
// blockSize: enough that a wrong match among all the positions the sender
// may try stays far below one in a million, 4 to 16.
int ft_strongLength(long long size, int blockSize);
// Zeroes the digest's bytes past strongLen.
void ft_truncateDigest(unsigned char digest[16], int strongLen);

// Reads a file of `size` bytes from its current position and appends one
// signature per block of blockSize bytes (the last may be short), digests
// cut to strongLen. 0, or -1 when the file cannot be read whole.
int ft_computeSignatures(SfsFile* file, long long size, int blockSize, uint32_t seed,
                         std::vector<FtBlockSignature>* out, int strongLen = 16);
// The signatures of blocks [first, last) of data (a file's bytes in memory,
// size bytes in all) into out[first..last).
void ft_signBlocks(const unsigned char* data, long long size, int blockSize, uint32_t seed, int strongLen,
                   long long first, long long last, FtBlockSignature* out);

// FT_SYNC_SIGNATURES after its code: writes count (-1: none) signatures.
int ft_writeSignatures(MessageBase* out, long long size, int count, int strongLen, const FtBlockSignature* sigs);
// Reads it after its code; at most maxCount signatures. 0, or -1 for a
// reply that does not parse or is out of range.
int ft_readSignatures(MessageBase* in, int maxCount, long long* size, int* count, int* strongLen,
                      std::vector<FtBlockSignature>* sigs);

#endif
