// Decodes arbitrary bytes as every registered object id, both as an object
// and as a container, and uses whatever comes out: its text forms, a copy,
// and encoding it again, which must succeed. Ids with an in-place decoder
// are also read through their translator alone (registered again under a
// mirror id), and both ways must give the same result.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/any.h"
#include "dirbase/message.h"

namespace {

// Every object id the system knows; those the libraries below the file
// transfer register are the ones decoded.
const unsigned int kKnownIds[] = {7,    97,   99,   1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009,
                                  1010, 1011, 1012, 1013, 1014, 1016, 1017, 1020, 1021, 1022, 1030, 2000, 2003,
                                  2055, 2101, 2102, 2103, 2104, 2105, 2106, 2107, 2108, 2109, 2110, 2111, 2112,
                                  2390, 2391, 2392, 2393, 2400, 2401, 2402, 2430, 2431, 2602, 2605, 2606, 2607,
                                  2608, 2996, 4000, 4001, 4881, 4882, 4883, 4980, 4987, 5667, 5668, 5669, 50501};
std::vector<unsigned int> registeredIds;

void use(unsigned int id, Translatable* obj) {
    free(obj->toString(nullptr));
    free(obj->toJSON(nullptr));
    Translatable* copy = nullptr;
    if (obj->clone(nullptr, &copy) == 0) delete copy;
    Message again(0);
    if (again.writeObject(id, obj) != 0) abort();
    again.switchToRead();
    Translatable* back = nullptr;
    if (again.readObject(id, &back) != 0) abort();
    delete back;
}

// The translator of an id with an in-place decoder, without it.
const unsigned int kMirror = 0x7F000000;

// rc, sticky error and text of reading one object.
std::string outcome(const std::string& bytes, unsigned int id) {
    Message m(bytes.data(), bytes.size());
    Translatable* obj = nullptr;
    int rc = m.readObject(id, &obj);
    std::string out = std::to_string(rc) + "/" + std::to_string(m.getError());
    if (obj != nullptr) {
        char* text = obj->toString(nullptr);
        out += text != nullptr ? text : "(null)";
        free(text);
        delete obj;
    }
    return out;
}

void compareWithTranslator(unsigned int id, const uint8_t* data, size_t size) {
    if (size < 5 || data[0] != 9 || getBE32(data + 1) != id) return;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string mirrored = bytes;
    putBE32(reinterpret_cast<unsigned char*>(&mirrored[1]), kMirror + id);
    if (outcome(bytes, id) != outcome(mirrored, kMirror + id)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
        for (unsigned int id : kKnownIds)
            if (MessageBase::findXlatorFn(id) != nullptr) registeredIds.push_back(id);
        for (unsigned int id : registeredIds)
            if (MessageBase::findInPlaceFn(id) != nullptr)
                MessageBase::registerObjectXlator(kMirror + id, MessageBase::findXlatorFn(id));
        return true;
    }();
    (void)ready;
    const char* bytes = reinterpret_cast<const char*>(data);
    for (unsigned int id : registeredIds) {
        Message asObject(bytes, size);
        Translatable* obj = nullptr;
        if (asObject.readObject(id, &obj) == 0 && obj != nullptr) {
            use(id, obj);
            delete obj;
        }
        Message asList(bytes, size);
        Translatable* head = nullptr;
        if (asList.readContainer(id, &head) == 0) delete head;
        if (MessageBase::findInPlaceFn(id) != nullptr) compareWithTranslator(id, data, size);
    }
    return 0;
}
