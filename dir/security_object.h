// SecurityObject: a credential carried by the login exchange and by the
// security-object requests of the directory protocol (object id 99). It holds
// what kind of credential it is, for whom, and the secret itself; the
// serving side decides what each kind means ("password" is the one this
// system makes).
//
// Ownership: owns its strings. Thread-safety: a plain record, one thread at a time.
#ifndef DRV_DIR_SECURITY_OBJECT_H
#define DRV_DIR_SECURITY_OBJECT_H

#include "dirbase/translatable.h"

class MessageBase;

const unsigned int OBJ_SECURITYOBJECT_ID = 99;

class SecurityObject : public Translatable {
public:
    // Copies the strings (each may be null).
    SecurityObject(const char* kind, const char* user, const char* secret);
    SecurityObject(const SecurityObject&) = delete;
    SecurityObject& operator=(const SecurityObject&) = delete;
    ~SecurityObject() override;

    // {"kind", "user"}: never the secret.
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    char* kind;
    char* user;
    char* secret;
};

// Fields: 1 kind, 2 user, 3 secret (strings).
int SecurityObjectXlator(MessageBase* message, Translatable** obj, int direction);

#endif
