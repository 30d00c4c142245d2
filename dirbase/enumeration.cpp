#include "dirbase/enumeration.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dirbase/acl.h"
#include "dirbase/attributes.h"
#include "dirbase/build_json.h"
#include "dirbase/dir_name.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"
#include "dirbase/string_builder.h"

// --- ClassEnumeration ----------------------------------------------------

ClassEnumeration::EnumEntry::EnumEntry(const char* className)
    : className(className != nullptr ? strdup(className) : nullptr), next(nullptr) {}

ClassEnumeration::EnumEntry::~EnumEntry() {
    free(className);
    deleteChain(this);
}

char* ClassEnumeration::EnumEntry::toString(Parser*) {
    if (className == nullptr) return strdup("null");
    size_t n = strlen(className) + 3;
    char* out = static_cast<char*>(malloc(n));
    snprintf(out, n, "\"%s\"", className);
    return out;
}

unsigned int ClassEnumeration::EnumEntry::getObjectID() const {
    return OBJ_CLASSENUMERATION_ENTRY_ID;
}

ClassEnumeration::ClassEnumeration() : head(nullptr), tail(nullptr), cursor(nullptr), _started(false) {}

ClassEnumeration::~ClassEnumeration() {
    delete head;
}

void ClassEnumeration::append(const char* name) {
    EnumEntry* e = new EnumEntry(name);
    if (tail != nullptr)
        tail->next = e;
    else
        head = e;
    tail = e;
}

bool ClassEnumeration::next() {
    cursor = _started ? (cursor != nullptr ? cursor->next : nullptr) : head;
    _started = true;
    return cursor != nullptr;
}

void ClassEnumeration::takeContents(ClassEnumeration* other) {
    if (other == nullptr || other == this || other->head == nullptr) return;
    if (tail != nullptr)
        tail->next = other->head;
    else
        head = other->head;
    tail = other->tail;
    other->head = other->tail = other->cursor = nullptr;
    other->_started = false;
}

int ClassEnumeration::size() const {
    int n = 0;
    for (EnumEntry* e = head; e != nullptr; e = e->next) n++;
    return n;
}

char* ClassEnumeration::toString(Parser* parser) {
    return joinNodeTexts(head, parser, "[ ", ", ", " ]");
}

unsigned int ClassEnumeration::getObjectID() const {
    return OBJ_CLASSENUMERATION_ID;
}

// --- DirectoryEnumeration ------------------------------------------------

DirectoryEnumeration::EnumEntry::EnumEntry(DirNameEntry* name, Attributes* attributes, Acl* acl)
    : name(name), attributes(attributes), acl(acl), next(nullptr) {}

DirectoryEnumeration::EnumEntry::~EnumEntry() {
    delete name;
    delete attributes;
    delete acl;
    deleteChain(this);
}

char* DirectoryEnumeration::EnumEntry::toString(Parser*) {
    char* nameText = name != nullptr ? name->toString(nullptr) : nullptr;
    Translatable* a = attributes;
    Translatable* l = acl;
    char* text = buildJSON("saa", "name", nameText, "attributes", &a, "acl", &l);
    free(nameText);
    return text;
}

unsigned int DirectoryEnumeration::EnumEntry::getObjectID() const {
    return OBJ_DIRECTORYENUMERATION_ENTRY_ID;
}

DirectoryEnumeration::DirectoryEnumeration()
    : head(nullptr),
      tail(nullptr),
      cursor(nullptr),
      count(0),
      _started(false),
      _searchName(nullptr),
      _directory(nullptr) {}

DirectoryEnumeration::~DirectoryEnumeration() {
    delete head;
    delete _searchName;
}

void DirectoryEnumeration::setOrigin(const DirName* searchName, Translatable* directory) {
    DirName* copy = searchName != nullptr ? new DirName(*searchName) : nullptr;
    delete _searchName;
    _searchName = copy;
    _directory = directory;
}

void DirectoryEnumeration::append(DirNameEntry* name, Attributes* attributes, Acl* acl) {
    EnumEntry* e = new EnumEntry(name, attributes, acl);
    if (tail != nullptr)
        tail->next = e;
    else
        head = e;
    tail = e;
    count++;
}

bool DirectoryEnumeration::next() {
    cursor = _started ? (cursor != nullptr ? cursor->next : nullptr) : head;
    _started = true;
    return cursor != nullptr;
}

DirNameEntry* DirectoryEnumeration::getName() const {
    return cursor != nullptr ? cursor->name : nullptr;
}

Attributes* DirectoryEnumeration::getAttributes() const {
    return cursor != nullptr ? cursor->attributes : nullptr;
}

Acl* DirectoryEnumeration::getAcl() const {
    return cursor != nullptr ? cursor->acl : nullptr;
}

char* DirectoryEnumeration::toString(Parser* parser) {
    return joinNodeTexts(head, parser, "[ ", ", ", " ]");
}

unsigned int DirectoryEnumeration::getObjectID() const {
    return OBJ_DIRECTORYENUMERATION_ID;
}

// --- translators ---------------------------------------------------------

int ClassEnumerationXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return m->writeContainerField(1, OBJ_CLASSENUMERATION_LIST_ID, static_cast<const ClassEnumeration*>(*obj)->head)
                   ? -1
                   : 0;
    *obj = nullptr;
    Translatable* head;
    if (m->readContainerField(1, OBJ_CLASSENUMERATION_LIST_ID, &head) != 0) return -1;
    ClassEnumeration* e = new ClassEnumeration();
    e->head = static_cast<ClassEnumeration::EnumEntry*>(head);
    e->tail = lastOf(e->head);
    *obj = e;
    return 0;
}

int ClassEnumerationEntryListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_CLASSENUMERATION_ENTRY_ID, static_cast<const ClassEnumeration::EnumEntry*>(*obj));
    return decodeList<ClassEnumeration::EnumEntry>(m, OBJ_CLASSENUMERATION_ENTRY_ID, obj);
}

int ClassEnumerationEntryXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return m->writeStringField(1, static_cast<const ClassEnumeration::EnumEntry*>(*obj)->className) ? -1 : 0;
    *obj = nullptr;
    char* name;
    if (m->readStringField(1, &name) != 0) return -1;
    ClassEnumeration::EnumEntry* e = new ClassEnumeration::EnumEntry(nullptr);
    e->className = name;
    *obj = e;
    return 0;
}

int DirectoryEnumerationXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return m->writeContainerField(1, OBJ_DIRECTORYENUMERATION_LIST_ID,
                                      static_cast<const DirectoryEnumeration*>(*obj)->head)
                   ? -1
                   : 0;
    *obj = nullptr;
    Translatable* head;
    if (m->readContainerField(1, OBJ_DIRECTORYENUMERATION_LIST_ID, &head) != 0) return -1;
    DirectoryEnumeration* e = new DirectoryEnumeration();
    e->head = static_cast<DirectoryEnumeration::EnumEntry*>(head);
    for (DirectoryEnumeration::EnumEntry* n = e->head; n != nullptr; n = n->next) {
        e->tail = n;
        e->count++;
    }
    *obj = e;
    return 0;
}

int DirectoryEnumerationEntryListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_DIRECTORYENUMERATION_ENTRY_ID,
                          static_cast<const DirectoryEnumeration::EnumEntry*>(*obj));
    return decodeList<DirectoryEnumeration::EnumEntry>(m, OBJ_DIRECTORYENUMERATION_ENTRY_ID, obj);
}

int DirectoryEnumerationEntryXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const DirectoryEnumeration::EnumEntry* e = static_cast<const DirectoryEnumeration::EnumEntry*>(*obj);
        m->writeObjectField(1, OBJ_DIRNAMEENTRY_ID, e->name);
        m->writeObjectField(2, OBJ_ATTRIBUTES_ID, e->attributes);
        return m->writeObjectField(3, OBJ_ACL_ID, e->acl) != 0 || m->getError() != 0 ? -1 : 0;
    }
    *obj = nullptr;
    Translatable *name, *attributes = nullptr, *acl = nullptr;
    if (m->readObjectField(1, OBJ_DIRNAMEENTRY_ID, &name) != 0) return -1;
    if (m->readObjectField(2, OBJ_ATTRIBUTES_ID, &attributes) != 0 || m->readObjectField(3, OBJ_ACL_ID, &acl) != 0) {
        delete name;
        delete attributes;
        return -1;
    }
    *obj = new DirectoryEnumeration::EnumEntry(static_cast<DirNameEntry*>(name), static_cast<Attributes*>(attributes),
                                               static_cast<Acl*>(acl));
    return 0;
}
