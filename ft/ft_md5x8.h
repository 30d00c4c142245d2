// MD5 of eight (or sixteen) equally long byte ranges at once, lane by lane
// in the 32-bit slots of AVX2 (or AVX-512) registers: the block digests of a partial update are
// independent of each other, and MD5 itself cannot go faster than one
// dependent step after another.
//
// Thread-safety: pure functions.
#ifndef DRV_FT_FT_MD5X8_H
#define DRV_FT_FT_MD5X8_H

#include <stddef.h>

// Whether md5x8 runs vectorised on this processor (otherwise it computes
// the eight digests one by one, with the same results).
bool ft_md5x8Fast();
// out[i] receives the MD5 of the n bytes at data[i].
void ft_md5x8(const unsigned char* const data[8], size_t n, unsigned char out[8][16]);

// How many equally long ranges ft_md5Many hashes at once on this processor
// (16 with AVX-512, 8 with AVX2, else 1): callers that can, collect that
// many.
int ft_md5Width();
// out[i] receives the MD5 of the n bytes at data[i], for every i < count.
void ft_md5Many(const unsigned char* const* data, size_t count, size_t n, unsigned char (*out)[16]);

#endif
