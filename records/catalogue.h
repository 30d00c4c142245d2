// Two records of the encoding catalogue with no subsystem of their own:
// JavaObject, an opaque serialised object that a peer's embedded runtime
// hands over as one byte block, and EmbDeviceChallenge, the five texts of a
// challenge that an embedded device answers when it enrols.
//
// Ownership: each record owns its bytes and texts. Thread-safety: none.
#ifndef DRV_RECORDS_CATALOGUE_H
#define DRV_RECORDS_CATALOGUE_H

#include <stddef.h>

#include "dirbase/translatable.h"
#include "records/records.h"

class MessageBase;

class JavaObject : public Translatable {
public:
    // Copies the bytes.
    JavaObject(const void* bytes, size_t length);
    ~JavaObject() override;
    JavaObject(const JavaObject&) = delete;
    JavaObject& operator=(const JavaObject&) = delete;

    // { "length" : n, "bytes" : "<hex of the first 32 bytes>" }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_JAVAOBJECT_ID; }

    unsigned char* bytes;
    size_t length;
};

class EmbDeviceChallenge : public Translatable {
public:
    // Copies the texts.
    EmbDeviceChallenge(const char* deviceId, const char* serial, const char* challenge, const char* publicKey,
                       const char* signature);
    ~EmbDeviceChallenge() override;
    EmbDeviceChallenge(const EmbDeviceChallenge&) = delete;
    EmbDeviceChallenge& operator=(const EmbDeviceChallenge&) = delete;

    // { "deviceId", "serial", "challenge", "publicKey", "signature" }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_EMBDEVICECHALLENGE_ID; }

    // Fields 1 to 5, in this order.
    char* texts[5];
};

int JavaObjectXlator(MessageBase* message, Translatable** obj, int direction);
int EmbDeviceChallengeXlator(MessageBase* message, Translatable** obj, int direction);

#endif
