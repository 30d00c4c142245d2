#include "dirbase/acl.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/message.h"
#include "dirbase/string_builder.h"

namespace {

// Splits a copy of text at the delimiter, keeping empty fields.
char** split(char* copy, const char* delimiter, int* count) {
    int capacity = 8;
    char** fields = static_cast<char**>(malloc(sizeof(char*) * capacity));
    int n = 0;
    char* save = nullptr;
    for (char* f = ns_strtok_r(copy, delimiter, &save); f != nullptr; f = ns_strtok_r(nullptr, delimiter, &save)) {
        if (n == capacity) {
            capacity *= 2;
            fields = static_cast<char**>(realloc(fields, sizeof(char*) * capacity));
        }
        fields[n++] = f;
    }
    *count = n;
    return fields;
}

}  // namespace

Acl::Acl(const char* text) : text(text != nullptr ? strdup(text) : nullptr) {}

Acl::Acl(const Acl& other) : Translatable(), text(other.text != nullptr ? strdup(other.text) : nullptr) {}

Acl::~Acl() {
    free(text);
}

char* Acl::toString(Parser*) {
    return strdup(text != nullptr ? text : "null");
}

unsigned int Acl::getObjectID() const {
    return OBJ_ACL_ID;
}

int Acl::clone(const Principal*, Translatable** result) const {
    *result = new Acl(*this);
    return 0;
}

int Acl::isEqual(const Principal*, bool* result, const Translatable* other) const {
    *result = false;
    if (other == nullptr || other->getObjectID() != OBJ_ACL_ID) return 0;
    const char* o = static_cast<const Acl*>(other)->text;
    *result = text == nullptr || o == nullptr ? text == o : strcmp(text, o) == 0;
    return 0;
}

bool Acl::listContains(const char* list, const char* name) {
    // An empty name is nobody's: it would otherwise match an empty list, or
    // an empty place in one, and a principal without a user name would own
    // every list that has one.
    if (list == nullptr || name == nullptr || name[0] == '\0') return false;
    size_t n = strlen(name);
    for (const char* p = list;;) {
        const char* comma = strchr(p, ',');
        size_t length = comma != nullptr ? static_cast<size_t>(comma - p) : strlen(p);
        if (length == n && strncmp(p, name, n) == 0) return true;
        if (comma == nullptr) return false;
        p = comma + 1;
    }
}

bool Acl::splitPattern(const char* pattern, char* name, size_t nameSize, char* domain, size_t domainSize) {
    if (pattern == nullptr || nameSize == 0 || domainSize == 0) return false;
    const char* at = strchr(pattern, '@');
    if (at == nullptr) return false;
    const char* rest = at + 1;
    size_t n = strlen(rest);
    if (n < 3 || rest[n - 2] != '/') return false;
    size_t nameLength = static_cast<size_t>(at - pattern);
    if (nameLength >= nameSize) nameLength = nameSize - 1;
    memcpy(name, pattern, nameLength);
    name[nameLength] = '\0';
    size_t domainLength = n - 2;
    if (domainLength >= domainSize) domainLength = domainSize - 1;
    memcpy(domain, rest, domainLength);
    domain[domainLength] = '\0';
    return true;
}

AclFields::AclFields(const char* text) : _copy(strdup(text != nullptr ? text : "")), _fields(nullptr), _count(0) {
    _fields = split(_copy, "`", &_count);
}

AclFields::~AclFields() {
    free(_fields);
    free(_copy);
}

AclEntry::AclEntry(const char* text) : _copy(strdup(text != nullptr ? text : "")), _items(nullptr), _count(0) {
    _items = split(_copy, ",", &_count);
}

AclEntry::~AclEntry() {
    free(_items);
    free(_copy);
}

bool AclEntry::hasPermission(const char* name) const {
    if (name == nullptr) return false;
    for (int i = 2; i < _count; i++)
        if (strcmp(_items[i], name) == 0) return true;
    return false;
}

int AclXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) return m->writeStringField(1, static_cast<const Acl*>(*obj)->text) != 0 ? -1 : 0;
    *obj = nullptr;
    char* text;
    if (m->readStringField(1, &text) != 0) return -1;
    Acl* acl = new Acl(nullptr);
    acl->text = text;
    *obj = acl;
    return 0;
}
