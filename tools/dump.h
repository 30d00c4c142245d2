// The reader behind drvdump: prints an encoded byte stream as a tree of
// tagged values with field numbers and object ids, or decodes one object
// through its registered translator and prints its text form. Input is read
// and output written as the walk goes. Malformed
// input stops the walk with the encoding error code of what went wrong and
// the byte offset where it did.
#ifndef DRV_TOOLS_DUMP_H
#define DRV_TOOLS_DUMP_H

#include <stddef.h>
#include <stdio.h>

#include <string>

struct DumpOptions {
    enum Framing { AUTO, BARE, FRAMED };
    Framing framing = AUTO;
    // Prefix every value with its byte offset.
    bool offsets = false;
    // Print byte blocks whole instead of their first 16 bytes.
    bool fullBlocks = false;
    // Decode an object of this id through its translator instead of dumping.
    bool decodeObject = false;
    unsigned int objectId = 0;
};

struct DumpResult {
    // 0, or the encoding error code (-11..-19) where reading stopped, or -1
    // for a frame header that cannot be right.
    int code = 0;
    // Byte offset from the start of the input.
    size_t offset = 0;
    // What was expected there.
    std::string reason;
};

// Appends what it read to out, even when it stops early.
DumpResult dumpEncoding(const unsigned char* data, size_t n, const DumpOptions& options, std::string& out);
// The same over a stream, printed to out as it is read: memory holds the
// value being read (a framed message's body, or with decodeObject the whole
// record, counts as one value), not the input. *readError is set when
// reading in failed.
DumpResult dumpStream(FILE* in, const DumpOptions& options, FILE* out, bool* readError);

// The class an object id belongs to ("Any", "DirName", ...), or null.
const char* objectIdName(unsigned int id);

// Whether bytes look like a framed message: code 3, a body length from 1
// that matches the bytes that follow, and a message type up to 0xFFFFFF.
bool looksFramed(const unsigned char* data, size_t n);

#endif
