// Parses arbitrary text as a directory name and as a name entry. Whatever
// parses must print, hash, copy, and come back equal from its encoding.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"

namespace {

template <class T>
void check(unsigned int id, T* parsed) {
    free(parsed->toString(nullptr));
    (void)parsed->hashValue();
    T copy(*parsed);
    if (!(copy == *parsed)) abort();
    Message m(0);
    if (m.writeObject(id, parsed) != 0) abort();
    m.switchToRead();
    Translatable* back = nullptr;
    if (m.readObject(id, &back) != 0 || back == nullptr) abort();
    if (!(*static_cast<T*>(back) == *parsed)) abort();
    delete back;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
        return true;
    }();
    (void)ready;
    std::string text(reinterpret_cast<const char*>(data), size);
    int error = 0;
    DirName* name = DirName::createFromString(text.c_str(), &error);
    if (name != nullptr) {
        check(OBJ_DIRNAME_ID, name);
        delete name;
    } else if (error < 1 || error > 8) {
        abort();
    }
    DirNameEntry* entry = DirNameEntry::createFromString(text.c_str(), &error);
    if (entry != nullptr) {
        check(OBJ_DIRNAMEENTRY_ID, entry);
        delete entry;
    } else if (error < 1 || error > 8) {
        abort();
    }
    return 0;
}
