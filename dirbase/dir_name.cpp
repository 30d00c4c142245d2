#include "dirbase/dir_name.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/any.h"

DirNameEntry::DirNameEntry(const char* className)
    : className(className != nullptr ? strdup(className) : nullptr), classIsExpression(0), head(nullptr),
      tail(nullptr) {}

DirNameEntry::DirNameEntry(const char* className, const char* attr, const char* value) : DirNameEntry(className) {
    setAttribute(attr, value);
}

DirNameEntry::DirNameEntry(const char* className, const char* attr1, const char* value1, const char* attr2,
                           const char* value2)
    : DirNameEntry(className) {
    setAttribute(attr1, value1);
    setAttribute(attr2, value2);
}

DirNameEntry::~DirNameEntry() {
    while (head != nullptr) {
        AttrList* next = head->next;
        free(head->name);
        delete head->value;
        delete head;
        head = next;
    }
    free(className);
}

void DirNameEntry::addAttribute(const char* name, Any* value, bool isExpression) {
    AttrList* item = new AttrList{strdup(name), isExpression ? 1 : 0, value, nullptr};
    if (tail != nullptr)
        tail->next = item;
    else
        head = item;
    tail = item;
}

void DirNameEntry::setAttribute(const char* name, const char* value) {
    addAttribute(name, new Any(value), false);
}

Any* DirNameEntry::getAttributeValue(const char* name) const {
    for (AttrList* a = head; a != nullptr; a = a->next)
        if (strcmp(a->name, name) == 0) return a->value;
    return nullptr;
}

const char* DirNameEntry::getStringAttributeValue(const char* name) const {
    Any* value = getAttributeValue(name);
    return value != nullptr && value->getType() == ANY_STRING ? value->getString() : nullptr;
}

unsigned int DirNameEntry::getObjectID() const {
    return OBJ_DIRNAMEENTRY_ID;
}
