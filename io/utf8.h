// UTF-8 text functions on plain C strings and byte buffers: stepping over
// characters, counting them, converting between code points and UTF-8, and the
// display escaping used for messages and JSON text. None of them allocates
// memory; the caller owns every buffer. All are pure functions on their
// arguments (u8_printf writes to standard output) and safe from any thread.
//
// Malformed text is never an error here: every function decodes some value
// for it and none reads before the start of its text, past a terminator, or
// past a given length, nor writes past a given size.
#ifndef DRV_IO_UTF8_H
#define DRV_IO_UTF8_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Length in bytes of the sequence that starts at s, judged by its lead byte
// alone (1 to 6); the bytes that follow are not looked at.
int u8_seqlen(const char* s);

// Decodes the character at byte index *i and advances *i past it. Bytes are
// taken while the next one is a continuation byte (10xxxxxx) and not the
// terminator, at most six in all, so malformed text decodes to some value and
// never reads past the terminator. s[*i] must not be the terminator.
uint32_t u8_nextchar(const char* s, int* i);

// Number of characters up to the terminator; stops early at a character that
// decodes to 0 (an overlong encoding of NUL).
int u8_strlen(const char* s);

// Byte index of character number n (from 0); the index of the terminator when
// the text is shorter; 0 for n below 1.
int u8_offset(const char* s, int n);

// Number of characters that start before byte index offset.
int u8_charnum(const char* s, int offset);

// Move *i to the start of the next character (not past the terminator) or
// of the previous one (not before index 0).
void u8_inc(const char* s, int* i);
void u8_dec(const char* s, int* i);

// Writes the 1 to 4 byte encoding of ch to dest (no terminator) and returns
// the count; 0, with nothing written, for a value above 0x10FFFF.
int u8_wc_toutf8(char* dest, uint32_t ch);

// Converts n code points from src (n negative: up to a 0 code point) into at
// most size bytes of dest. Stops before a sequence that would not fit; values
// above 0x10FFFF are skipped. Adds a terminator when there is room. Returns
// the number of code points consumed.
int u8_toutf8n(char* dest, int size, const uint32_t* src, int n);
// The same as u8_toutf8n.
int u8_toutf8(char* dest, int size, const uint32_t* src, int n);

// Decodes len bytes of src (len -1: up to the terminator) into at most
// size - 1 code points of dest and terminates dest with a 0 code point. A
// sequence cut short by the end of the text is not converted. Returns the
// number of code points written (the terminator not counted).
int u8_toucs(uint32_t* dest, int size, const char* src, int len);

// Writes the display form of ch into buf (at most size bytes, terminated
// when size > 0): the seven C control escapes ("\n", "\t", "\r", "\b", "\f",
// "\v", "\a"), a doubled backslash, printable ASCII as itself, "\uXXXX" for
// 128..65535, "\UXXXXXXXX" above, and "\xH" (no leading zeros) for any other
// control character. Returns the length of the display form, which exceeds
// size - 1 when it did not fit (as snprintf does).
int u8_escape_wchar(char* buf, int size, uint32_t ch);

// Escapes the UTF-8 text src character by character into buf; with
// escape_quotes a double quote becomes backslash-quote. A character whose
// escape does not fit is left out together with the rest of the text. buf is
// terminated when size > 0. Returns the number of bytes written (the
// terminator not counted).
int u8_escape(char* buf, int size, const char* src, int escape_quotes);

// Reads one escape sequence; str points just after the backslash. Handles
// the seven control letters, up to three octal digits, "x" with up to two,
// "u" with up to four and "U" with up to eight hex digits; any other
// character (all of its bytes), and "x", "u" or "U" without digits, stands
// for itself. Stores the code point in *dest and returns the number of bytes
// of str used. str[0] must not be the terminator.
int u8_read_escape_sequence(const char* str, uint32_t* dest);

// Reverses u8_escape: escape sequences become their UTF-8 encoding, other
// bytes are copied unchanged, a backslash at the very end stays itself. Stops
// before a character that would not fit in size bytes. Terminates buf when
// there is room and returns the number of bytes written.
int u8_unescape(char* buf, int size, const char* src);

// Finds the code point ch in the terminated text s (u8_strchr) or in the sz
// bytes at s (u8_memchr); returns a pointer to its first byte, or null, and
// stores in *charn the character index of the match (or the number of
// characters looked at).
const char* u8_strchr(const char* s, uint32_t ch, int* charn);
const char* u8_memchr(const char* s, uint32_t ch, size_t sz, int* charn);

// True when the character-set part of a locale name ("en_US.UTF-8@euro") is
// UTF-8, spelt "UTF-8" or "utf8" in either case. False for null.
bool u8_is_locale_utf8(const char* locale);

// Formats into a 4096-byte stack buffer (longer output is cut), converts the
// text to code points and prints them with the wide-character format, which
// uses the current locale's character set. Returns the number of characters.
int u8_vfprintf(FILE* out, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int u8_vprintf(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
int u8_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
