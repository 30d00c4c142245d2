// Arbitrary bytes as a credential child's answer: the first byte picks the
// operation the parent asked for (any value, known or not), the rest is what
// the child wrote. The parent must refuse a short or lying answer without
// reading past it or allocating without bound, and whatever it accepts must
// be exactly what a well-behaved child would have sent for that answer.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "creds/creds_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int operation = data[0] % 10;  // 1..8 and two codes no child answers
    // An exact-size copy, so that a read past the answer is caught.
    std::string answerBytes(reinterpret_cast<const char*>(data + 1), size - 1);
    CredsMemorySource in(answerBytes.data(), answerBytes.size());
    CredsAnswer answer;
    int step = decodeCredsAnswer(operation, in, answer);
    if (step != 0) {
        if (credsIsOperation(operation) == (step == 9)) abort();
        return 0;
    }
    if (answer.user.groups.size() > kCredsMaxGroups) abort();
    if (answer.groups.size() + answer.users.size() > kCredsMaxItems) abort();
    std::string again;
    encodeCredsAnswer(operation, answer, again);
    size_t consumed = answerBytes.size() - in.left();
    if (again.size() != consumed || memcmp(again.data(), answerBytes.data(), consumed) != 0) abort();
    return 0;
}
