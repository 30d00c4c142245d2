// Hierarchical directory names: a DirNameEntry is one component (a class
// name plus attribute values), a DirName a path of entries.
//
// Name syntax: an optional leading "/" (absolute) or "//" (host-rooted),
// then entries separated by "/". An entry is a class name and a colon,
// followed by attributes separated by ",", each a name, "=" and a value.
// Double quotes group text that may hold delimiters; the quotes themselves
// are dropped. A class or value written in "<" and ">" is an expression.
//   //host:id="%s"/filesystem:      /endpoint:id="%s"
#ifndef DRV_DIRBASE_DIR_NAME_H
#define DRV_DIRBASE_DIR_NAME_H

#include "dirbase/translatable.h"

class Any;
class MessageBase;

const unsigned int OBJ_DIRNAMEENTRY_ID = 1004;
const unsigned int OBJ_DIRNAMEENTRY_ATTR_ID = 1005;
const unsigned int OBJ_DIRNAMEENTRY_ATTR_LIST_ID = 1006;
const unsigned int OBJ_DIRNAME_ID = 1007;
const unsigned int OBJ_DIRNAME_NODE_ID = 1008;
const unsigned int OBJ_DIRNAME_NODE_LIST_ID = 1009;

// Results of DirNameEntry::parseNextString and the name errors built on
// them; the texts are those of the shared error table.
enum DirNameResult {
    NAME_DELIMITER = 0,          // stopped at a delimiter
    NAME_UNMATCHED_QUOTE = 1,    // "Unmatched quote"
    NAME_END_OF_TEXT = 2,        // "Deliminer not found": the end of the text
    NAME_TOO_LONG = 3,           // "Missing or buffer too small"
    NAME_MISSING_COLON = 4,      // "Missing colon"
    NAME_MISSING_EQUAL = 5,      // "Missing equal sign"
    NAME_MISSING_DOMAIN = 6,     // "Missing domain name" (name resolution)
    NAME_MISSING_HOST = 7,       // "Missing host name" (name resolution)
    NAME_UNMATCHED_ANGLE = 8,    // "Unmatched '<'"
};

// Tokens are cut into buffers of this size, terminator included.
const int kNameTokenSize = 256;

class DirNameEntry : public Translatable {
public:
    // One attribute of an entry; items keep insertion order.
    class AttrList : public Translatable {
    public:
        // Copies name; takes ownership of value.
        AttrList(const char* name, Any* value, bool isExpression);
        // Also frees the items after this one.
        ~AttrList() override;
        AttrList(const AttrList&) = delete;
        AttrList& operator=(const AttrList&) = delete;

        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override;

        char* name;
        int isExpression;
        Any* value;
        AttrList* next;
    };

    explicit DirNameEntry(const char* className);
    DirNameEntry(const char* className, const char* attr, const char* value);
    DirNameEntry(const char* className, const char* attr1, const char* value1, const char* attr2,
                 const char* value2);
    // Deep copy.
    DirNameEntry(const DirNameEntry& other);
    DirNameEntry& operator=(const DirNameEntry&) = delete;
    ~DirNameEntry() override;

    // Parses one entry; null with *error set (1, 3, 4, 5 or 8) on failure.
    static DirNameEntry* createFromString(const char* text, int* error);
    // Copies bytes from text[*pos] into out until a delimiter outside double
    // quotes (the quotes are dropped). Returns NAME_DELIMITER with *pos past
    // the delimiter, NAME_END_OF_TEXT at the end, NAME_UNMATCHED_QUOTE at the
    // end inside a quote, NAME_TOO_LONG when the token does not fit outSize
    // bytes with its terminator.
    static int parseNextString(const char* text, int* pos, const char* delimiters, char* out, int outSize);

    const char* getClassName() const { return className; }
    // Appends; takes ownership of value.
    void addAttribute(const char* name, Any* value, bool isExpression);
    // Each appends a non-expression attribute (strings with hint 1).
    void setAttribute(const char* name, bool value);
    void setAttribute(const char* name, int value);
    void setAttribute(const char* name, long long value);
    void setAttribute(const char* name, float value);
    void setAttribute(const char* name, double value);
    void setAttribute(const char* name, const char* value);
    // Appends a string attribute marked as an expression.
    void setAttributeExpression(const char* name, const char* text);

    int getAttributeCount() const;
    // The i-th attribute's name or value, null when i is out of range.
    const char* getAttributeName(int i) const;
    Any* getAttributeValue(int i) const;
    // The value of the first attribute of that name, or null.
    Any* getAttributeValue(const char* name) const;
    // The text of the first attribute of that name when it is a string, else null.
    const char* getStringAttributeValue(const char* name) const;

    unsigned long hashValue() const;
    bool operator==(const DirNameEntry& other) const;
    bool operator!=(const DirNameEntry& other) const { return !(*this == other); }

    // "class:name=\"value\",name=<expression>"; null without a class name.
    char* toString(Parser* parser = nullptr) override;
    unsigned int getObjectID() const override;
    int clone(const Principal* principal, Translatable** result) const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;

    char* className;
    int classIsExpression;
    AttrList* head;
    AttrList* tail;

private:
    AttrList* findAttribute(const char* name) const;
};

class DirName : public Translatable {
public:
    class NameList : public Translatable {
    public:
        // Takes ownership of entry.
        explicit NameList(DirNameEntry* entry);
        // Also frees the nodes after this one.
        ~NameList() override;
        NameList(const NameList&) = delete;
        NameList& operator=(const NameList&) = delete;

        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override;

        DirNameEntry* entry;
        NameList* next;
    };

    DirName();
    // Deep copy.
    DirName(const DirName& other);
    DirName& operator=(const DirName&) = delete;
    ~DirName() override;

    // Parses a whole name; null with *error set on failure.
    static DirName* createFromString(const char* text, int* error);

    // Both take ownership of entry.
    void append(DirNameEntry* entry);
    void prepend(DirNameEntry* entry);
    // The i-th entry, or null when i is out of range.
    DirNameEntry* get(int i) const;
    int size() const { return count; }

    unsigned long hashValue() const;
    // Same flags and pairwise equal entries.
    bool operator==(const DirName& other) const;
    bool operator!=(const DirName& other) const { return !(*this == other); }

    char* toString(Parser* parser = nullptr) override;
    unsigned int getObjectID() const override;
    int clone(const Principal* principal, Translatable** result) const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;

    bool absolute;
    bool hostRooted;
    NameList* head;
    NameList* tail;
    int count;
};

int DirNameEntryXlator(MessageBase* message, Translatable** obj, int direction);
int DirNameEntryAttrXlator(MessageBase* message, Translatable** obj, int direction);
int DirNameEntryAttrListXlator(MessageBase* message, Translatable** obj, int direction);
int DirNameXlator(MessageBase* message, Translatable** obj, int direction);
int DirNameNodeXlator(MessageBase* message, Translatable** obj, int direction);
int DirNameNodeListXlator(MessageBase* message, Translatable** obj, int direction);

#endif
