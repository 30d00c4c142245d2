// Arbitrary bytes as the request a credential child reads on its standard
// input. The child must refuse a short or lying request without reading past
// it or allocating without bound, and whatever it accepts for a known
// operation must be what the parent's encoder writes for that request (the
// access-only word of a login counts any non-zero value as set).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "creds/creds_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read past the request is caught.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    CredsMemorySource in(bytes.data(), bytes.size());
    CredsRequest request;
    if (!readCredsRequest(in, request)) return 0;
    if (request.name.size() > kCredsMaxText || request.password.size() > kCredsMaxText ||
        request.service.size() > kCredsMaxText)
        abort();
    if (!credsIsOperation(request.operation)) return 0;
    std::string again;
    if (!encodeCredsRequest(request, again)) abort();
    size_t consumed = bytes.size() - in.left();
    if (again.size() != consumed) abort();
    size_t compared = consumed;
    if (request.operation == CREDS_OP_LOGIN) {
        int32_t access;
        memcpy(&access, bytes.data() + consumed - sizeof(access), sizeof(access));
        if ((access != 0) != request.accessOnly) abort();
        compared -= sizeof(access);
    }
    if (memcmp(again.data(), bytes.data(), compared) != 0) abort();
    return 0;
}
