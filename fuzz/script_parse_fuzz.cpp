// Arbitrary bytes through the script parser: as a script and as one
// expression, in code and in template mode, with a low nesting limit so
// the limit itself is exercised. A failure must leave a recorded syntax
// error and no tree; a success is dumped, which walks the whole tree.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/log.h"
#include "script/error.h"
#include "script/parser.h"

namespace {

class Discard : public ParserOutput {
public:
    int write(const char*, size_t length) override {
        total += length;
        return 0;
    }
    size_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static bool quiet = (setLog(""), setLogDir(""), true);
    (void)quiet;
    bool templateMode = data[0] & 1;
    bool expression = data[0] & 2;
    std::string source(reinterpret_cast<const char*>(data) + 1, size - 1);

    Parser parser("fuzz.js", source.c_str(), nullptr, 1, 0, templateMode);
    parser.setMaxNesting(40 + (data[0] >> 2));
    Discard debug;
    parser.setDebugStream(&debug);
    parser.setDebugLevel(2);
    bool ok = expression ? parser.parse() : parser.parseScript();
    if (ok) {
        AstNode* tree = expression ? static_cast<AstNode*>(parser.getExpression()) : parser.getScript();
        if (parser.hasError() || tree == nullptr) abort();
        parser.dump();
        if (debug.total == 0) abort();
    } else {
        const Error* error = parser.getError();
        if (error == nullptr || error->type != Error::SyntaxError || error->firstLocation() == nullptr) abort();
        if (parser.getScript() != nullptr || parser.getExpression() != nullptr) abort();
    }
    return 0;
}
