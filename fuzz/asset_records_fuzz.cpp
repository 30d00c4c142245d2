// Decodes arbitrary bytes as an Asset (first byte even) or an Endpoint (odd).
// A decoded record must give its text, survive a copy, and encode to bytes
// that decode to a record encoding the same way again.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "dir/asset.h"
#include "dir/directory.h"
#include "dirbase/message.h"

namespace {

unsigned char* encode(unsigned int id, const Translatable* obj, size_t* n) {
    Message m(0);
    if (m.writeObject(id, obj) != 0) abort();
    return m.copyBytes(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    unsigned int id = data[0] % 2 == 0 ? OBJ_ASSET_ID : OBJ_ENDPOINT_ID;
    Message in(reinterpret_cast<const char*>(data + 1), size - 1);
    Translatable* obj = nullptr;
    if (in.readObject(id, &obj) != 0 || obj == nullptr) {
        delete obj;
        return 0;
    }
    if (obj->getObjectID() != id) abort();
    free(obj->toString(nullptr));
    Translatable* copy = nullptr;
    if (obj->clone(nullptr, &copy) != 0 || copy == nullptr) abort();
    if (id == OBJ_ASSET_ID) (void)static_cast<Asset*>(copy)->getDravikaVersion();

    size_t n1, n2;
    unsigned char* first = encode(id, copy, &n1);
    // Skip the frame header the message reserves in front.
    Message again(reinterpret_cast<const char*>(first) + 9, n1 - 9);
    Translatable* back = nullptr;
    if (again.readObject(id, &back) != 0 || back == nullptr) abort();
    unsigned char* second = encode(id, back, &n2);
    if (n1 != n2 || memcmp(first, second, n1) != 0) abort();
    free(first);
    free(second);
    delete back;
    delete copy;
    delete obj;
    return 0;
}
