// Decodes arbitrary bytes as one of the records of records/ (the first byte
// picks which) and uses whatever comes out: its text form, and encoding it
// again, which must succeed and read back; what reads back must encode to
// the same bytes, so that no field is lost or changed on its way through a
// decode and an encode.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/message.h"
#include "records/records.h"
#include "records/stats_file.h"

namespace {

const unsigned int kIds[] = {
    OBJ_TASKDATA_ID,     OBJ_UPTIMEDATA_ID,    OBJ_STATSFILE_ID,      OBJ_USERPROMPT_ID,   OBJ_USERPROMPT_LIST_ID,
    OBJ_USERPROMPT_ENTRY_ID, OBJ_JAVAOBJECT_ID, OBJ_RULE_ID,          OBJ_RULESET_ID,      OBJ_RULESET_RULES_ID,
    OBJ_RULESET_ASSETS_ID, OBJ_RULESET_ASSET_ID, OBJ_CI_ID,            OBJ_CIUPDATE_ID,     OBJ_CIUPDATE_LIST_ID,
    OBJ_ALERT_ID,        OBJ_DRVEVENT_ID,      OBJ_EMBDEVICECHALLENGE_ID,
};
const size_t kIdCount = sizeof(kIds) / sizeof(kIds[0]);

void use(unsigned int id, Translatable* obj) {
    free(obj->toString(nullptr));
    if (id == OBJ_STATSFILE_ID) {
        StatsFile* f = static_cast<StatsFile*>(obj);
        if (f->decode() == 0) f->findLatestContainingClsid(30);
    }
    Message again(0);
    if (again.writeObject(id, obj) != 0) abort();
    size_t n1 = 0;
    unsigned char* b1 = again.copyBytes(&n1);
    again.switchToRead();
    Translatable* back = nullptr;
    if (again.readObject(id, &back) != 0) abort();
    Message third(0);
    if (third.writeObject(id, back) != 0) abort();
    // Both messages hold the same frame header, so the whole buffers compare.
    size_t n2 = 0;
    unsigned char* b2 = third.copyBytes(&n2);
    if (n1 != n2 || memcmp(b1, b2, n1) != 0) abort();
    free(b1);
    free(b2);
    delete back;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
        StatsFile::_maxBodyBytes = 1 << 20;
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    unsigned int id = kIds[data[0] % kIdCount];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    Message asObject(bytes, size - 1);
    Translatable* obj = nullptr;
    if (asObject.readObject(id, &obj) == 0 && obj != nullptr) {
        use(id, obj);
        delete obj;
    }
    Message asList(bytes, size - 1);
    Translatable* head = nullptr;
    if (asList.readContainer(id, &head) == 0) delete head;
    return 0;
}
