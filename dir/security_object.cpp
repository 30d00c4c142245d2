#include "dir/security_object.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/build_json.h"
#include "dirbase/message.h"

namespace {
char* dup(const char* s) { return s != nullptr ? strdup(s) : nullptr; }
}  // namespace

SecurityObject::SecurityObject(const char* kind, const char* user, const char* secret)
    : kind(dup(kind)), user(dup(user)), secret(dup(secret)) {}

SecurityObject::~SecurityObject() {
    free(kind);
    free(user);
    if (secret != nullptr) {
        // The secret does not outlive the record in freed memory.
        volatile char* p = secret;
        while (*p != '\0') *p++ = 0;
        free(secret);
    }
}

char* SecurityObject::toString(Parser*) { return buildJSON("ss", "kind", kind, "user", user); }

unsigned int SecurityObject::getObjectID() const { return OBJ_SECURITYOBJECT_ID; }

int SecurityObjectXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const SecurityObject* s = static_cast<const SecurityObject*>(*obj);
        m->writeStringField(1, s->kind);
        m->writeStringField(2, s->user);
        return m->writeStringField(3, s->secret) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char *kind = nullptr, *user = nullptr, *secret = nullptr;
    if (m->readStringField(1, &kind) != 0 || m->readStringField(2, &user) != 0 ||
        m->readStringField(3, &secret) != 0) {
        free(kind);
        free(user);
        free(secret);
        return -1;
    }
    SecurityObject* s = new SecurityObject(nullptr, nullptr, nullptr);
    s->kind = kind;
    s->user = user;
    s->secret = secret;
    *obj = s;
    return 0;
}
