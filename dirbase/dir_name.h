// Hierarchical directory names: a DirNameEntry is one component (a class
// name plus attribute values), a DirName a path of entries.
#ifndef DRV_DIRBASE_DIR_NAME_H
#define DRV_DIRBASE_DIR_NAME_H

#include "dirbase/translatable.h"

class Any;

const unsigned int OBJ_DIRNAMEENTRY_ID = 1004;

class DirNameEntry : public Translatable {
public:
    // One attribute of an entry; items keep insertion order.
    struct AttrList {
        char* name;
        int isExpression;
        Any* value;
        AttrList* next;
    };

    explicit DirNameEntry(const char* className);
    DirNameEntry(const char* className, const char* attr, const char* value);
    DirNameEntry(const char* className, const char* attr1, const char* value1, const char* attr2,
                 const char* value2);
    ~DirNameEntry() override;
    DirNameEntry(const DirNameEntry&) = delete;
    DirNameEntry& operator=(const DirNameEntry&) = delete;

    const char* getClassName() const { return className; }
    // Appends; takes ownership of value.
    void addAttribute(const char* name, Any* value, bool isExpression);
    // Appends a non-expression string attribute.
    void setAttribute(const char* name, const char* value);
    // The value of the first attribute of that name, or null.
    Any* getAttributeValue(const char* name) const;
    // The text of the first attribute of that name when it is a string, else null.
    const char* getStringAttributeValue(const char* name) const;

    unsigned int getObjectID() const override;

    char* className;
    int classIsExpression;
    AttrList* head;
    AttrList* tail;
};

#endif
