// UTF-8 text functions on plain C strings. None of them allocates memory.
#ifndef DRV_IO_UTF8_H
#define DRV_IO_UTF8_H

#include <stdint.h>

// Length in bytes of the sequence that starts at s, judged by its lead byte
// alone (1 to 6); the bytes that follow are not looked at.
int u8_seqlen(const char* s);

// Decodes the character at byte index *i and advances *i past it. Bytes are
// taken while the next one is a continuation byte (10xxxxxx) and not the
// terminator, at most six in all, so malformed text decodes to some value and
// never reads past the terminator.
uint32_t u8_nextchar(const char* s, int* i);

#endif
