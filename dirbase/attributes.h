// Attributes: a set of named values, newest first. A lookup by name finds
// the newest entry of that name; older entries of the same name stay.
#ifndef DRV_DIRBASE_ATTRIBUTES_H
#define DRV_DIRBASE_ATTRIBUTES_H

#include <stddef.h>

#include "dirbase/any.h"
#include "dirbase/translatable.h"

class Location;
class MessageBase;

const unsigned int OBJ_ATTRLIST_ID = 1002;
const unsigned int OBJ_ATTRLIST_LIST_ID = 1003;

class Attributes : public Translatable {
public:
    // One entry; its ObjRef part holds a count on the value, except for
    // entries that do not own their value. The name is the entry's own: in
    // the entry's allocation when made by create, else a malloc'd string.
    class AttrList final : public ObjRef, public Translatable {
    public:
        // A new entry holding a copy of the first length bytes of name in
        // its own allocation (one allocation for both, as sets are built by
        // the hundred thousand when large documents are read); counts value
        // when owns is set.
        static AttrList* create(const char* name, size_t length, Any* value, int displayHint, bool owns = true);
        // Copies name; counts value when owns is set.
        AttrList(const char* name, Any* value, int displayHint, bool owns);
        // Takes over name (allocated with malloc) instead of copying it.
        struct AdoptName {};
        AttrList(AdoptName, char* name, Any* value, int displayHint);
        // Also frees the entries after this one.
        ~AttrList() override;
        AttrList(const AttrList&) = delete;
        AttrList& operator=(const AttrList&) = delete;

        static void* operator new(size_t size) { return ::operator new(size); }
        static void operator delete(void* p) { ::operator delete(p); }

        Any* getValue() const { return static_cast<Any*>(object); }
        // Replaces the value; the entry owns the new one.
        void replaceValue(Any* value);

        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override;

        char* name;
        int displayHint;
        bool owns;
        AttrList* next;

    private:
        // Room for the name after the entry itself.
        struct NameRoom {
            size_t bytes;
        };
        static void* operator new(size_t size, NameRoom room) { return ::operator new(size + room.bytes); }
        static void operator delete(void* p, NameRoom) { ::operator delete(p); }
        struct InlineName {};
        AttrList(InlineName, const char* name, size_t length, Any* value, int displayHint, bool owns);
        bool _nameInline = false;
    };

    Attributes();
    // Deep copy, entries in the same order, every entry owning its copy.
    Attributes(const Attributes& other);
    Attributes& operator=(const Attributes&) = delete;
    ~Attributes() override;

    // Each adds a new entry at the head (strings with hint 1), without
    // removing an older entry of the same name.
    void setAttribute(const char* name, bool v, int displayHint = 0);
    void setAttribute(const char* name, int v, int displayHint = 0);
    void setAttribute(const char* name, long long v, int displayHint = 0);
    void setAttribute(const char* name, float v, int displayHint = 0);
    void setAttribute(const char* name, double v, int displayHint = 0);
    void setAttribute(const char* name, const char* v, int displayHint = 0);
    // Takes ownership of value.
    void addAttribute(const char* name, Any* value, int displayHint = 0);
    // Replaces the value of the newest entry of that name (which then owns
    // it), else adds at the head. Takes ownership of value.
    void addOrSetAttribute(const char* name, Any* value, int displayHint = 0);
    // Adds an entry that does not own value: the caller keeps it alive.
    void setAttributeDontFree(const char* name, Any* value, int displayHint = 0);

    Any* getAttribute(const char* name) const;
    // The text of the newest entry of that name whose value is a string.
    const char* getStringAttribute(const char* name) const;
    // The stored value, or when absent a new undefined value that the
    // caller deletes (*created tells which, when given).
    Any* getAttributeOrUndefined(const char* name, bool* created = nullptr) const;
    bool isDefined(const char* name) const;
    // 0 when absent.
    int getDisplayHint(const char* name) const;
    int size() const;
    // A new null-terminated array of copies of the names, in list order.
    char** getKeys() const;
    static void freeKeys(char** keys);
    void clear();
    // Where a script built this set, for its error reports.
    void setLocation(Location* location) { _location = location; }
    Location* getLocation() const { return _location; }

    bool operator==(const Attributes& other) const;
    bool operator!=(const Attributes& other) const { return !(*this == other); }

    int getField(Parser* parser, Any** result, const char* name) const override;
    int setField(Parser* parser, const char* name, Any* value) override;
    int getArrayElement(Parser* parser, Any** result, const Any* index) const override;
    int setArrayElement(Parser* parser, const Any* index, Any* value) override;
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    int clone(const Principal* principal, Translatable** result) const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;

    AttrList* head;

private:
    AttrList* find(const char* name) const;
    Location* _location;
};

int AttributesXlator(MessageBase* message, Translatable** obj, int direction);
int AttributesEntryXlator(MessageBase* message, Translatable** obj, int direction);
int AttributesEntryListXlator(MessageBase* message, Translatable** obj, int direction);
// In-place decoder of an attribute set (see InPlaceFn in message.h).
Translatable* AttributesInPlace(const unsigned char* p, size_t available, size_t* used);

#endif
