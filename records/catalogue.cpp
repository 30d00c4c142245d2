#include "records/catalogue.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dirbase/build_json.h"
#include "dirbase/message.h"
#include "records/alert.h"
#include "records/ci_update.h"
#include "records/record_util.h"
#include "records/rule.h"
#include "records/stats_file.h"
#include "records/task_data.h"

JavaObject::JavaObject(const void* data, size_t n) : bytes(static_cast<unsigned char*>(malloc(n > 0 ? n : 1))), length(n) {
    if (n > 0) memcpy(bytes, data, n);
}

JavaObject::~JavaObject() {
    free(bytes);
}

char* JavaObject::toString(Parser*) {
    // Enough to recognise the object (a Java stream starts AC ED 00 05).
    const size_t kShown = 32;
    char hex[kShown * 2 + 1];
    size_t shown = length < kShown ? length : kShown;
    for (size_t i = 0; i < shown; i++) snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    hex[2 * shown] = '\0';
    return buildJSON("is", "length", static_cast<int>(length), "bytes", hex);
}

int JavaObjectXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const JavaObject* j = static_cast<const JavaObject*>(*obj);
        return m->writeBytesField(1, j->bytes, static_cast<uint32_t>(j->length)) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    unsigned char* data = nullptr;
    uint32_t n = 0;
    if (m->readBytesField(1, &data, &n) != 0) return -1;
    JavaObject* j = new JavaObject(nullptr, 0);
    free(j->bytes);
    j->bytes = data;
    j->length = n;
    *obj = j;
    return 0;
}

EmbDeviceChallenge::EmbDeviceChallenge(const char* deviceId, const char* serial, const char* challenge,
                                       const char* publicKey, const char* signature)
    : texts{dupOrNull(deviceId), dupOrNull(serial), dupOrNull(challenge), dupOrNull(publicKey),
            dupOrNull(signature)} {}

EmbDeviceChallenge::~EmbDeviceChallenge() {
    for (char* t : texts) free(t);
}

char* EmbDeviceChallenge::toString(Parser*) {
    return buildJSON("sssss", "deviceId", texts[0], "serial", texts[1], "challenge", texts[2], "publicKey", texts[3],
                     "signature", texts[4]);
}

int EmbDeviceChallengeXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const EmbDeviceChallenge* c = static_cast<const EmbDeviceChallenge*>(*obj);
        for (int i = 0; i < 5; i++) m->writeStringField(i + 1, c->texts[i]);
        return m->getError() != 0 ? -1 : 0;
    }
    *obj = nullptr;
    EmbDeviceChallenge* c = new EmbDeviceChallenge(nullptr, nullptr, nullptr, nullptr, nullptr);
    for (int i = 0; i < 5; i++) {
        if (m->readStringField(i + 1, &c->texts[i]) != 0) {
            delete c;
            return -1;
        }
    }
    *obj = c;
    return 0;
}

void records_registerTranslators() {
    MessageBase::registerObjectXlator(OBJ_TASKDATA_ID, TaskDataXlator);
    MessageBase::registerObjectXlator(OBJ_UPTIMEDATA_ID, UptimeDataXlator);
    MessageBase::registerObjectXlator(OBJ_STATSFILE_ID, StatsFileXlator);
    MessageBase::registerObjectXlator(OBJ_USERPROMPT_ID, UserPromptXlator);
    MessageBase::registerObjectXlator(OBJ_USERPROMPT_LIST_ID, UserPromptListXlator);
    MessageBase::registerObjectXlator(OBJ_USERPROMPT_ENTRY_ID, UserPromptEntryXlator);
    MessageBase::registerObjectXlator(OBJ_JAVAOBJECT_ID, JavaObjectXlator);
    MessageBase::registerObjectXlator(OBJ_RULE_ID, RuleXlator);
    MessageBase::registerObjectXlator(OBJ_RULESET_ID, RuleSetXlator);
    MessageBase::registerObjectXlator(OBJ_RULESET_RULES_ID, RuleSetLXlator);
    MessageBase::registerObjectXlator(OBJ_RULESET_ASSETS_ID, RuleSetL2Xlator);
    MessageBase::registerObjectXlator(OBJ_RULESET_ASSET_ID, RuleSetAssetListXlator);
    MessageBase::registerObjectXlator(OBJ_CI_ID, CiXlator);
    MessageBase::registerObjectXlator(OBJ_CIUPDATE_ID, CiUpdateXlator);
    MessageBase::registerObjectXlator(OBJ_CIUPDATE_LIST_ID, CiUpdateEntryLXlator);
    MessageBase::registerObjectXlator(OBJ_ALERT_ID, AlertXlator);
    MessageBase::registerObjectXlator(OBJ_DRVEVENT_ID, DrvEventXlator);
    MessageBase::registerObjectXlator(OBJ_EMBDEVICECHALLENGE_ID, EmbDeviceChallengeXlator);
}
