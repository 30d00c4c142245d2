#include "dirbase/attributes.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>
#include <unordered_map>

#include "common/error_codes.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"
#include "dirbase/string_builder.h"
#include "dirbase/wire.h"

// --- entries -------------------------------------------------------------

Attributes::AttrList::AttrList(const char* name, Any* value, int displayHint, bool owns)
    : ObjRef(owns ? value : nullptr), name(strdup(name != nullptr ? name : "")), displayHint(displayHint),
      owns(owns), next(nullptr) {
    if (!owns) object = value;
}

Attributes::AttrList::AttrList(AdoptName, char* name, Any* value, int displayHint)
    : ObjRef(value), name(name), displayHint(displayHint), owns(true), next(nullptr) {}

Attributes::AttrList::AttrList(InlineName, const char* name, size_t length, Any* value, int displayHint, bool owns)
    : ObjRef(owns ? value : nullptr), name(reinterpret_cast<char*>(this + 1)), displayHint(displayHint), owns(owns),
      next(nullptr), _nameInline(true) {
    if (!owns) object = value;
    if (length > 0) memcpy(this->name, name, length);
    this->name[length] = '\0';
}

Attributes::AttrList* Attributes::AttrList::create(const char* name, size_t length, Any* value, int displayHint,
                                                   bool owns) {
    if (name == nullptr) length = 0;
    return new (NameRoom{length + 1}) AttrList(InlineName(), name, length, value, displayHint, owns);
}

Attributes::AttrList::~AttrList() {
    // A value that is not ours is not released by the ObjRef part.
    if (!owns) object = nullptr;
    if (!_nameInline) free(name);
    deleteChain(this);
}

void Attributes::AttrList::replaceValue(Any* value) {
    if (!owns) object = nullptr;
    owns = true;
    set(value);
}

char* Attributes::AttrList::toString(Parser* parser) {
    char* text = getValue() != nullptr ? getValue()->toString(parser) : nullptr;
    size_t n = strlen(name) + (text != nullptr ? strlen(text) : 4) + 8;
    char* out = static_cast<char*>(malloc(n));
    snprintf(out, n, "\"%s\" : %s", name, text != nullptr ? text : "null");
    free(text);
    return out;
}

unsigned int Attributes::AttrList::getObjectID() const {
    return OBJ_ATTRLIST_ID;
}

// --- the set -------------------------------------------------------------

Attributes::Attributes() : head(nullptr), _location(nullptr) {}

Attributes::Attributes(const Attributes& other) : Translatable(), head(nullptr), _location(other._location) {
    AttrList* tail = nullptr;
    for (const AttrList* e = other.head; e != nullptr; e = e->next) {
        Any* copy = e->getValue() != nullptr ? new Any(*e->getValue()) : nullptr;
        AttrList* n = AttrList::create(e->name, strlen(e->name), copy, e->displayHint);
        if (tail != nullptr)
            tail->next = n;
        else
            head = n;
        tail = n;
    }
}

Attributes::~Attributes() {
    delete head;
}

void Attributes::clear() {
    delete head;
    head = nullptr;
}

void Attributes::addAttribute(const char* name, Any* value, int displayHint) {
    AttrList* e = AttrList::create(name, name != nullptr ? strlen(name) : 0, value, displayHint);
    e->next = head;
    head = e;
}

void Attributes::setAttributeDontFree(const char* name, Any* value, int displayHint) {
    AttrList* e = AttrList::create(name, name != nullptr ? strlen(name) : 0, value, displayHint, false);
    e->next = head;
    head = e;
}

void Attributes::addOrSetAttribute(const char* name, Any* value, int displayHint) {
    AttrList* e = find(name);
    if (e != nullptr)
        e->replaceValue(value);
    else
        addAttribute(name, value, displayHint);
}

void Attributes::setAttribute(const char* name, bool v, int displayHint) {
    addAttribute(name, new Any(v), displayHint);
}

void Attributes::setAttribute(const char* name, int v, int displayHint) {
    addAttribute(name, new Any(v), displayHint);
}

void Attributes::setAttribute(const char* name, long long v, int displayHint) {
    addAttribute(name, new Any(v), displayHint);
}

void Attributes::setAttribute(const char* name, float v, int displayHint) {
    addAttribute(name, new Any(v), displayHint);
}

void Attributes::setAttribute(const char* name, double v, int displayHint) {
    addAttribute(name, new Any(v), displayHint);
}

void Attributes::setAttribute(const char* name, const char* v, int displayHint) {
    addAttribute(name, new Any(v), displayHint);
}

Attributes::AttrList* Attributes::find(const char* name) const {
    if (name == nullptr) return nullptr;
    for (AttrList* e = head; e != nullptr; e = e->next)
        if (strcmp(e->name, name) == 0) return e;
    return nullptr;
}

Any* Attributes::getAttribute(const char* name) const {
    AttrList* e = find(name);
    return e != nullptr ? e->getValue() : nullptr;
}

const char* Attributes::getStringAttribute(const char* name) const {
    if (name == nullptr) return nullptr;
    for (AttrList* e = head; e != nullptr; e = e->next) {
        const Any* v = e->getValue();
        if (strcmp(e->name, name) == 0 && v != nullptr && !v->isEncoded() && v->getType() == ANY_STRING)
            return v->getString();
    }
    return nullptr;
}

Any* Attributes::getAttributeOrUndefined(const char* name, bool* created) const {
    Any* v = getAttribute(name);
    if (created != nullptr) *created = v == nullptr;
    return v != nullptr ? v : Any::makeUndefined();
}

bool Attributes::isDefined(const char* name) const {
    return find(name) != nullptr;
}

int Attributes::getDisplayHint(const char* name) const {
    AttrList* e = find(name);
    return e != nullptr ? e->displayHint : 0;
}

int Attributes::size() const {
    int n = 0;
    for (AttrList* e = head; e != nullptr; e = e->next) n++;
    return n;
}

char** Attributes::getKeys() const {
    char** keys = static_cast<char**>(malloc(sizeof(char*) * (size() + 1)));
    int i = 0;
    for (AttrList* e = head; e != nullptr; e = e->next) keys[i++] = strdup(e->name);
    keys[i] = nullptr;
    return keys;
}

void Attributes::freeKeys(char** keys) {
    if (keys == nullptr) return;
    for (char** k = keys; *k != nullptr; k++) free(*k);
    free(keys);
}

namespace {

bool valuesEqual(const Any* a, const Any* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return *a == *b;
}

// Each name's first (newest) entry, for comparing large sets by name in one
// pass instead of a walk of the other set per entry.
typedef std::unordered_map<std::string_view, const Attributes::AttrList*> FirstOfName;

FirstOfName firstOfEachName(const Attributes::AttrList* head) {
    FirstOfName first;
    for (const Attributes::AttrList* e = head; e != nullptr; e = e->next) first.emplace(e->name, e);
    return first;
}

// Sets up to this size are compared by walking them.
const int kSmallSet = 16;

bool longerThan(const Attributes::AttrList* e, int n) {
    for (; e != nullptr; e = e->next)
        if (n-- == 0) return true;
    return false;
}

}  // namespace

bool Attributes::operator==(const Attributes& other) const {
    // Each name on either side needs the same name on the other, and the
    // values of the first entries of that name must be equal.
    if (!longerThan(head, kSmallSet) && !longerThan(other.head, kSmallSet)) {
        for (AttrList* e = head; e != nullptr; e = e->next) {
            AttrList* o = other.find(e->name);
            if (o == nullptr || !valuesEqual(find(e->name)->getValue(), o->getValue())) return false;
        }
        for (AttrList* o = other.head; o != nullptr; o = o->next)
            if (find(o->name) == nullptr) return false;
        return true;
    }
    FirstOfName mine = firstOfEachName(head);
    FirstOfName theirs = firstOfEachName(other.head);
    if (mine.size() != theirs.size()) return false;
    for (const auto& named : mine) {
        auto o = theirs.find(named.first);
        if (o == theirs.end() || !valuesEqual(named.second->getValue(), o->second->getValue())) return false;
    }
    return true;
}

int Attributes::isEqual(const Principal*, bool* result, const Translatable* other) const {
    *result = other != nullptr && other->getObjectID() == OBJ_ATTRIBUTES_ID &&
              *this == *static_cast<const Attributes*>(other);
    return 0;
}

int Attributes::clone(const Principal*, Translatable** result) const {
    *result = new Attributes(*this);
    return 0;
}

unsigned int Attributes::getObjectID() const {
    return OBJ_ATTRIBUTES_ID;
}

int Attributes::getField(Parser* parser, Any** result, const char* name) const {
    *result = nullptr;
    const Any* v = getAttribute(name);
    if (v != nullptr) {
        *result = v->createReferenceOrCopy();
        return 0;
    }
    return Translatable::getField(parser, result, name);
}

int Attributes::setField(Parser*, const char* name, Any* value) {
    if (name == nullptr) {
        delete value;
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    addOrSetAttribute(name, value, 0);
    return 0;
}

int Attributes::getArrayElement(Parser* parser, Any** result, const Any* index) const {
    *result = nullptr;
    if (index == nullptr || index->isEncoded() || index->getType() != ANY_STRING || index->getString() == nullptr)
        return DirError::E_ILLEGAL_ARGUMENT;
    return getField(parser, result, index->getString());
}

int Attributes::setArrayElement(Parser* parser, const Any* index, Any* value) {
    if (index == nullptr || index->isEncoded() || index->getType() != ANY_STRING || index->getString() == nullptr) {
        delete value;
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    return setField(parser, index->getString(), value);
}

char* Attributes::toString(Parser* parser) {
    return joinNodeTexts(head, parser, "{ ", ", ", " }");
}

// --- translators ---------------------------------------------------------

int AttributesXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Attributes* a = static_cast<const Attributes*>(*obj);
        const Translatable* head = a->head;
        return m->writeContainerField(1, OBJ_ATTRLIST_LIST_ID, head) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    Translatable* head;
    if (m->readContainerField(1, OBJ_ATTRLIST_LIST_ID, &head) != 0) return -1;
    Attributes* a = new Attributes();
    a->head = static_cast<Attributes::AttrList*>(head);
    *obj = a;
    return 0;
}

int AttributesEntryListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_ATTRLIST_ID, static_cast<const Attributes::AttrList*>(*obj));
    return decodeList<Attributes::AttrList>(m, OBJ_ATTRLIST_ID, obj);
}

int AttributesEntryXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Attributes::AttrList* e = static_cast<const Attributes::AttrList*>(*obj);
        m->writeStringField(1, e->name);
        m->writeInt32Field(2, e->displayHint);
        return writeAnyField(m, 3, e->getValue()) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char* name;
    int32_t displayHint;
    Any* value;
    if (m->readStringField(1, &name) != 0) return -1;
    if (name == nullptr || m->readInt32Field(2, &displayHint) != 0 || readAnyField(m, 3, &value) != 0) {
        free(name);
        return -1;
    }
    *obj = new Attributes::AttrList(Attributes::AttrList::AdoptName(), name, value, displayHint);
    return 0;
}

namespace {

// One entry (object 1002) in the exact layout AttributesEntryXlator writes:
// name (string), display hint (int32), value (an Any in its own exact
// layout). Null when the bytes are anything else.
Attributes::AttrList* takeCanonicalEntry(WireReader& r) {
    uint32_t length, displayHint;
    const unsigned char* name;
    if (!r.takeObjectHead(OBJ_ATTRLIST_ID) || !r.takeFieldHead(1) || !r.takeTag(TAG_STRING) ||
        !r.takeU32BE(&length) || (name = r.takeBytes(length)) == nullptr || !r.takeInt32Field(2, &displayHint) ||
        !r.takeFieldHead(3))
        return nullptr;
    size_t used;
    Any* value = parseAnyInPlace(r.position(), r.left(), &used);
    if (value == nullptr) return nullptr;
    r.takeBytes(used);
    if (!r.takeTag(TAG_OBJECT_END)) {
        delete value;
        return nullptr;
    }
    return Attributes::AttrList::create(reinterpret_cast<const char*>(name), length, value,
                                        static_cast<int32_t>(displayHint));
}

}  // namespace

Translatable* AttributesInPlace(const unsigned char* p, size_t available, size_t* used) {
    // Only while the list and its entries are read by the translators above.
    if (MessageBase::findXlatorFn(OBJ_ATTRLIST_LIST_ID) != AttributesEntryListXlator ||
        MessageBase::findXlatorFn(OBJ_ATTRLIST_ID) != AttributesEntryXlator)
        return nullptr;
    WireReader r(p, available);
    uint32_t listId;
    if (!r.takeFieldHead(1) || !r.takeTag(TAG_CONTAINER) || !r.takeU32BE(&listId) || listId != OBJ_ATTRLIST_LIST_ID)
        return nullptr;
    Attributes::AttrList* head = nullptr;
    Attributes::AttrList* tail = nullptr;
    while (!r.takeTag(TAG_CONTAINER_END)) {
        Attributes::AttrList* e = takeCanonicalEntry(r);
        if (e == nullptr) {
            delete head;
            return nullptr;
        }
        if (tail != nullptr)
            tail->next = e;
        else
            head = e;
        tail = e;
    }
    if (!r.takeTag(TAG_OBJECT_END)) {
        delete head;
        return nullptr;
    }
    *used = static_cast<size_t>(r.position() - p);
    Attributes* a = new Attributes();
    a->head = head;
    return a;
}
