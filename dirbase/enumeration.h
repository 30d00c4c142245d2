// The result lists of directory enumerations: ClassEnumeration (class
// names) and DirectoryEnumeration (name entries with their attributes and
// access lists). Both are walked with a cursor: next() moves to the head on
// its first call and on along the list after that.
#ifndef DRV_DIRBASE_ENUMERATION_H
#define DRV_DIRBASE_ENUMERATION_H

#include "dirbase/translatable.h"

class Acl;
class Attributes;
class DirName;
class DirNameEntry;
class MessageBase;

const unsigned int OBJ_DIRECTORYENUMERATION_ID = 1010;
const unsigned int OBJ_DIRECTORYENUMERATION_ENTRY_ID = 1011;
const unsigned int OBJ_DIRECTORYENUMERATION_LIST_ID = 1012;
const unsigned int OBJ_CLASSENUMERATION_ID = 1020;
const unsigned int OBJ_CLASSENUMERATION_ENTRY_ID = 1021;
const unsigned int OBJ_CLASSENUMERATION_LIST_ID = 1022;

class ClassEnumeration : public Translatable {
public:
    class EnumEntry : public Translatable {
    public:
        // Copies className.
        explicit EnumEntry(const char* className);
        // Also frees the entries after this one.
        ~EnumEntry() override;
        EnumEntry(const EnumEntry&) = delete;
        EnumEntry& operator=(const EnumEntry&) = delete;

        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override;

        char* className;
        EnumEntry* next;
    };

    ClassEnumeration();
    ~ClassEnumeration() override;
    ClassEnumeration(const ClassEnumeration&) = delete;
    ClassEnumeration& operator=(const ClassEnumeration&) = delete;

    // Adds a copy of name at the tail.
    void append(const char* name);
    bool next();
    // The current name, or null.
    const char* getClass() const { return cursor != nullptr ? cursor->className : nullptr; }
    // Moves all of other's entries to the end of this list.
    void takeContents(ClassEnumeration* other);
    int size() const;

    // "[ \"a\", \"b\" ]"
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    EnumEntry* head;
    EnumEntry* tail;
    EnumEntry* cursor;

private:
    bool _started;
};

class DirectoryEnumeration : public Translatable {
public:
    class EnumEntry : public Translatable {
    public:
        // Takes ownership of all three; each may be null.
        EnumEntry(DirNameEntry* name, Attributes* attributes, Acl* acl);
        // Also frees the entries after this one.
        ~EnumEntry() override;
        EnumEntry(const EnumEntry&) = delete;
        EnumEntry& operator=(const EnumEntry&) = delete;

        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override;

        DirNameEntry* name;
        Attributes* attributes;
        Acl* acl;
        EnumEntry* next;
    };

    DirectoryEnumeration();
    ~DirectoryEnumeration() override;
    DirectoryEnumeration(const DirectoryEnumeration&) = delete;
    DirectoryEnumeration& operator=(const DirectoryEnumeration&) = delete;

    // Adds at the tail; takes ownership of all three.
    void append(DirNameEntry* name, Attributes* attributes, Acl* acl);
    // Records what produced the list: a copy of the searched name and the
    // directory that ran the search (not owned: it is the caller's session,
    // valid for as long as the caller keeps it). Neither is encoded.
    void setOrigin(const DirName* searchName, Translatable* directory);
    DirName* getSearchName() const { return _searchName; }
    Translatable* getDirectory() const { return _directory; }
    bool next();
    DirNameEntry* getName() const;
    Attributes* getAttributes() const;
    Acl* getAcl() const;
    int size() const { return count; }

    // "[ " + each entry's text joined by ", " + " ]"
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    EnumEntry* head;
    EnumEntry* tail;
    EnumEntry* cursor;
    int count;

private:
    bool _started;
    DirName* _searchName;     // owned copy, or null
    Translatable* _directory;  // not owned, or null
};

int ClassEnumerationXlator(MessageBase* message, Translatable** obj, int direction);
int ClassEnumerationEntryXlator(MessageBase* message, Translatable** obj, int direction);
int ClassEnumerationEntryListXlator(MessageBase* message, Translatable** obj, int direction);
int DirectoryEnumerationXlator(MessageBase* message, Translatable** obj, int direction);
int DirectoryEnumerationEntryXlator(MessageBase* message, Translatable** obj, int direction);
int DirectoryEnumerationEntryListXlator(MessageBase* message, Translatable** obj, int direction);

#endif
