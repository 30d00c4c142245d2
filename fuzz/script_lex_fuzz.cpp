// Arbitrary bytes through the script lexer, as a string and as a stream read
// in small pieces, in code and in template mode. Every token but END must
// consume input, so the lexer reaches END within one token per byte; and the
// two source forms must agree token for token.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "script/lex.h"

namespace {

class BytesStream : public LexStream {
public:
    BytesStream(const std::string& data, int chunk) : _data(data), _chunk(chunk) {}
    int read(unsigned char* buffer, int length) override {
        size_t n = std::min({static_cast<size_t>(length), static_cast<size_t>(_chunk), _data.size() - _pos});
        if (n == 0) return -1;
        memcpy(buffer, _data.data() + _pos, n);
        _pos += n;
        return static_cast<int>(n);
    }

private:
    const std::string& _data;
    size_t _pos = 0;
    int _chunk;
};

std::vector<std::string> lexAll(Lex& lex, size_t limit) {
    std::vector<std::string> out;
    Token t;
    bool regexAllowed = false;
    for (size_t i = 0; i <= limit; ++i) {
        t.regexAllowed = regexAllowed;
        lex.nextToken(&t);
        char* value = t.value.toString(nullptr);
        std::string text = std::to_string(t.type) + "@" + std::to_string(t.line) + ":" + std::to_string(t.column) +
                           " " + (value != nullptr ? value : "") + (t.text != nullptr ? "|T|" : "") +
                           std::string(t.text != nullptr ? t.text : "", t.textLength);
        free(value);
        out.push_back(text);
        if (t.type == TOKEN_END) return out;
        regexAllowed = t.type == TOKEN_PUNCT && !t.isPunct(')');
    }
    abort();  // no END after a token per byte: the lexer stopped consuming
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool templateMode = data[0] & 1;
    int chunk = 1 + (data[0] >> 1);
    // The string form ends at the first NUL; both forms read the same bytes.
    std::string source(reinterpret_cast<const char*>(data) + 1, size - 1);
    source = source.c_str();

    Lex fromString(source.c_str(), 1, 0, templateMode);
    std::vector<std::string> a = lexAll(fromString, source.size() + 2);
    BytesStream in(source, chunk);
    Lex fromStream(&in, 1, 0, templateMode);
    std::vector<std::string> b = lexAll(fromStream, source.size() + 2);
    // A regular-expression attempt longer than the window is given up on a
    // stream only, so the comparison holds for sources below that size.
    if (source.size() < static_cast<size_t>(Lex::kWindow) - Lex::kRefillBelow && a != b) abort();

    long long i;
    double d;
    Lex::convertToInt64(source.c_str(), i);
    Lex::convertToDouble(source.c_str(), d);
    return 0;
}
