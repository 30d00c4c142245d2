// InputLexStream: the lexer's stream over an io Input, so that a script can
// be read from a local file, a file still arriving from another agent, or
// text converted from another character set, through the lexer's window
// instead of being loaded whole first. Input::read already answers as the
// lexer expects (a count, -1 at the end, -2 on an error or a time-out).
//
// Ownership: borrows the Input, which must outlive the stream.
// Thread-safety: as Input::read (any thread).
#ifndef DRV_SCRIPT_INPUT_STREAM_H
#define DRV_SCRIPT_INPUT_STREAM_H

#include "io/input.h"
#include "script/lex.h"

class InputLexStream : public LexStream {
public:
    explicit InputLexStream(Input* in) : _in(in) {}
    int read(unsigned char* buffer, int length) override { return _in->read(buffer, length); }

private:
    Input* _in;
};

#endif
