// StringStream: a LexStream over a string for the script tests, delivering
// it in reads of at most `chunk` bytes, then -1 (or -2 when failAtEnd is set).
#ifndef DRV_TESTS_SCRIPT_STRING_STREAM_H
#define DRV_TESTS_SCRIPT_STRING_STREAM_H

#include <string.h>

#include <algorithm>
#include <string>

#include "script/lex.h"

class StringStream : public LexStream {
public:
    StringStream(std::string data, int chunk, bool failAtEnd = false)
        : _data(std::move(data)), _chunk(chunk), _failAtEnd(failAtEnd) {}
    int read(unsigned char* buffer, int length) override {
        size_t n = std::min({static_cast<size_t>(length), static_cast<size_t>(_chunk), _data.size() - _pos});
        if (n == 0) return _failAtEnd ? -2 : -1;
        memcpy(buffer, _data.data() + _pos, n);
        _pos += n;
        return static_cast<int>(n);
    }

private:
    std::string _data;
    size_t _pos = 0;
    int _chunk;
    bool _failAtEnd;
};

#endif
