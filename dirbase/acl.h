// Acl: an access-control list kept as one text of backquote-separated
// fields: 0 a kind character, 1 the owners and 2 the group owners (each a
// comma-separated list), 3 and 4 the mode fields that map the list to UNIX
// permission bits, and 5 onward the access entries. An access entry is a
// comma-separated list: item 0 begins with "A" for allow (anything else
// denies), item 1 is the principal pattern, items 2 onward permission names.
// A principal pattern is name@domain/x.
#ifndef DRV_DIRBASE_ACL_H
#define DRV_DIRBASE_ACL_H

#include <stddef.h>

#include "dirbase/translatable.h"

class MessageBase;

const unsigned int OBJ_ACL_ID = 1014;

class Acl : public Translatable {
public:
    // Copies text (null allowed).
    explicit Acl(const char* text);
    Acl(const Acl& other);
    Acl& operator=(const Acl&) = delete;
    ~Acl() override;

    const char* getText() const { return text; }

    // The text, newly allocated ("null" without one).
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    int clone(const Principal* principal, Translatable** result) const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;

    // Whether name is one of the items of a comma-separated list; an empty
    // name is in none.
    static bool listContains(const char* list, const char* name);
    // Splits a principal pattern into its name and domain; false when it
    // has no "@", or the part after it is shorter than 3 characters or does
    // not have "/" as its second-to-last character.
    static bool splitPattern(const char* pattern, char* name, size_t nameSize, char* domain, size_t domainSize);

    char* text;
};

// The fields of an ACL text, split once.
class AclFields {
public:
    static const int OWNERS = 1;
    static const int GROUP_OWNERS = 2;
    static const int FIRST_ENTRY = 5;

    explicit AclFields(const char* text);
    ~AclFields();
    AclFields(const AclFields&) = delete;
    AclFields& operator=(const AclFields&) = delete;

    int count() const { return _count; }
    // Field i, or null past the end.
    const char* field(int i) const { return i >= 0 && i < _count ? _fields[i] : nullptr; }
    const char* owners() const { return field(OWNERS); }
    const char* groupOwners() const { return field(GROUP_OWNERS); }
    int entryCount() const { return _count > FIRST_ENTRY ? _count - FIRST_ENTRY : 0; }
    const char* entry(int i) const { return field(FIRST_ENTRY + i); }

private:
    char* _copy;
    char** _fields;
    int _count;
};

// One access entry, split at its commas.
class AclEntry {
public:
    explicit AclEntry(const char* text);
    ~AclEntry();
    AclEntry(const AclEntry&) = delete;
    AclEntry& operator=(const AclEntry&) = delete;

    bool isAllow() const { return _count > 0 && _items[0][0] == 'A'; }
    // The principal pattern, or null.
    const char* pattern() const { return _count > 1 ? _items[1] : nullptr; }
    int permissionCount() const { return _count > 2 ? _count - 2 : 0; }
    const char* permission(int i) const { return i >= 0 && i + 2 < _count ? _items[i + 2] : nullptr; }
    bool hasPermission(const char* name) const;

private:
    char* _copy;
    char** _items;
    int _count;
};

int AclXlator(MessageBase* message, Translatable** obj, int direction);

#endif
