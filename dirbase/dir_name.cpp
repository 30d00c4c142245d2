#include "dirbase/dir_name.h"


#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/os.h"
#include "dirbase/any.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"

namespace {

// A growing text for the name forms.
class Text {
public:
    Text() : _data(static_cast<char*>(malloc(64))), _length(0), _capacity(64) { _data[0] = '\0'; }
    ~Text() { free(_data); }
    void add(const char* s) {
        size_t n = strlen(s);
        if (_length + n + 1 > _capacity) {
            while (_length + n + 1 > _capacity) _capacity *= 2;
            _data = static_cast<char*>(realloc(_data, _capacity));
        }
        memcpy(_data + _length, s, n + 1);
        _length += n;
    }
    char* take() {
        char* d = _data;
        _data = nullptr;
        return d;
    }

private:
    char* _data;
    size_t _length;
    size_t _capacity;
};

// Strips the "<" and ">" of an expression in place; false when the text
// opens with "<" but does not close with ">".
bool stripExpression(char* text, bool* isExpression) {
    *isExpression = false;
    if (text[0] != '<') return true;
    size_t n = strlen(text);
    if (n < 2 || text[n - 1] != '>') return false;
    memmove(text, text + 1, n - 2);
    text[n - 2] = '\0';
    *isExpression = true;
    return true;
}

// Attribute values compare by Any's rule; an absent value only matches an
// absent one.
bool sameValue(const Any* a, const Any* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return *a == *b;
}

// Entries with up to this many attributes on the right are compared by
// walking them.
const int kLinearCompareMax = 16;

}  // namespace

// --- attribute items -----------------------------------------------------

DirNameEntry::AttrList::AttrList(const char* name, Any* value, bool isExpression)
    : name(strdup(name != nullptr ? name : "")), isExpression(isExpression ? 1 : 0), value(value), next(nullptr) {}

DirNameEntry::AttrList::~AttrList() {
    free(name);
    delete value;
    deleteChain(this);
}

char* DirNameEntry::AttrList::toString(Parser*) {
    const char* text = value != nullptr && value->getHint() == HINT_STRING ? value->getString() : nullptr;
    if (text == nullptr) text = "null";
    size_t n = strlen(name) + strlen(text) + 4;
    char* out = static_cast<char*>(malloc(n));
    if (isExpression)
        snprintf(out, n, "%s=<%s>", name, text);
    else
        snprintf(out, n, "%s=\"%s\"", name, text);
    return out;
}

unsigned int DirNameEntry::AttrList::getObjectID() const {
    return OBJ_DIRNAMEENTRY_ATTR_ID;
}

// --- DirNameEntry --------------------------------------------------------

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

DirNameEntry::DirNameEntry(const DirNameEntry& other)
    : Translatable(), className(other.className != nullptr ? strdup(other.className) : nullptr),
      classIsExpression(other.classIsExpression), head(nullptr), tail(nullptr) {
    for (const AttrList* a = other.head; a != nullptr; a = a->next)
        addAttribute(a->name, a->value != nullptr ? new Any(*a->value) : nullptr, a->isExpression != 0);
}

DirNameEntry::~DirNameEntry() {
    delete head;
    free(className);
}

void DirNameEntry::addAttribute(const char* name, Any* value, bool isExpression) {
    AttrList* item = new AttrList(name, value, isExpression);
    if (tail != nullptr)
        tail->next = item;
    else
        head = item;
    tail = item;
}

void DirNameEntry::setAttribute(const char* name, bool value) {
    addAttribute(name, new Any(value), false);
}

void DirNameEntry::setAttribute(const char* name, int value) {
    addAttribute(name, new Any(value), false);
}

void DirNameEntry::setAttribute(const char* name, long long value) {
    addAttribute(name, new Any(value), false);
}

void DirNameEntry::setAttribute(const char* name, float value) {
    addAttribute(name, new Any(value), false);
}

void DirNameEntry::setAttribute(const char* name, double value) {
    addAttribute(name, new Any(value), false);
}

void DirNameEntry::setAttribute(const char* name, const char* value) {
    addAttribute(name, new Any(value), false);
}

void DirNameEntry::setAttributeExpression(const char* name, const char* text) {
    addAttribute(name, new Any(text), true);
}

int DirNameEntry::getAttributeCount() const {
    int n = 0;
    for (AttrList* a = head; a != nullptr; a = a->next) n++;
    return n;
}

const char* DirNameEntry::getAttributeName(int i) const {
    if (i < 0) return nullptr;
    for (AttrList* a = head; a != nullptr; a = a->next, i--)
        if (i == 0) return a->name;
    return nullptr;
}

Any* DirNameEntry::getAttributeValue(int i) const {
    if (i < 0) return nullptr;
    for (AttrList* a = head; a != nullptr; a = a->next, i--)
        if (i == 0) return a->value;
    return nullptr;
}

DirNameEntry::AttrList* DirNameEntry::findAttribute(const char* name) const {
    if (name == nullptr) return nullptr;
    for (AttrList* a = head; a != nullptr; a = a->next)
        if (strcmp(a->name, name) == 0) return a;
    return nullptr;
}

Any* DirNameEntry::getAttributeValue(const char* name) const {
    AttrList* a = findAttribute(name);
    return a != nullptr ? a->value : nullptr;
}

const char* DirNameEntry::getStringAttributeValue(const char* name) const {
    Any* value = getAttributeValue(name);
    return value != nullptr && !value->isEncoded() && value->getType() == ANY_STRING ? value->getString() : nullptr;
}

int DirNameEntry::parseNextString(const char* text, int* pos, const char* delimiters, char* out, int outSize) {
    int i = *pos;
    int o = 0;
    bool quoted = false;
    for (;;) {
        char c = text[i];
        if (c == '\0') {
            out[o] = '\0';
            *pos = i;
            return quoted ? NAME_UNMATCHED_QUOTE : NAME_END_OF_TEXT;
        }
        if (c == '"') {
            quoted = !quoted;
            i++;
            continue;
        }
        if (!quoted && strchr(delimiters, c) != nullptr) {
            out[o] = '\0';
            *pos = i + 1;
            return NAME_DELIMITER;
        }
        if (o + 1 >= outSize) {
            out[o] = '\0';
            *pos = i;
            return NAME_TOO_LONG;
        }
        out[o++] = c;
        i++;
    }
}

DirNameEntry* DirNameEntry::createFromString(const char* text, int* error) {
    *error = 0;
    if (text == nullptr) {
        *error = NAME_MISSING_COLON;
        return nullptr;
    }
    char token[kNameTokenSize];
    int pos = 0;
    int rc = parseNextString(text, &pos, ":", token, sizeof(token));
    if (rc != NAME_DELIMITER) {
        *error = rc == NAME_END_OF_TEXT ? NAME_MISSING_COLON : rc;
        return nullptr;
    }
    bool expression;
    if (!stripExpression(token, &expression)) {
        *error = NAME_UNMATCHED_ANGLE;
        return nullptr;
    }
    DirNameEntry* entry = new DirNameEntry(token);
    entry->classIsExpression = expression ? 1 : 0;

    int length = static_cast<int>(strlen(text));
    while (pos < length) {
        char attribute[kNameTokenSize];
        rc = parseNextString(text, &pos, ",", attribute, sizeof(attribute));
        if (rc != NAME_DELIMITER && rc != NAME_END_OF_TEXT) {
            *error = rc;
            break;
        }
        char name[kNameTokenSize];
        int at = 0;
        int nrc = parseNextString(attribute, &at, "=", name, sizeof(name));
        if (nrc != NAME_DELIMITER) {
            *error = nrc == NAME_END_OF_TEXT ? NAME_MISSING_EQUAL : nrc;
            break;
        }
        char* value = attribute + at;
        if (!stripExpression(value, &expression)) {
            *error = NAME_UNMATCHED_ANGLE;
            break;
        }
        entry->addAttribute(name, new Any(value), expression);
        if (rc == NAME_END_OF_TEXT) break;
    }
    if (*error != 0) {
        delete entry;
        return nullptr;
    }
    return entry;
}

unsigned long DirNameEntry::hashValue() const {
    // Unsigned throughout: the hash is meant to wrap.
    unsigned long hash = static_cast<unsigned long>(getHashValue(className));
    for (const AttrList* a = head; a != nullptr; a = a->next)
        hash = hash * 59 + (a->value != nullptr ? a->value->hashValue() : 0) +
               33 * static_cast<unsigned long>(getHashValue(a->name));
    return hash;
}

bool DirNameEntry::operator==(const DirNameEntry& other) const {
    if (className == nullptr || other.className == nullptr) {
        if (className != other.className) return false;
    } else if (strcmp(className, other.className) != 0) {
        return false;
    }
    // Every attribute on the left needs one of the same name and an equal
    // value on the right (names may repeat, so not just the first of them).
    // A long right side is grouped by name first, so that each attribute
    // looks only at those of its own name.
    int rightCount = 0;
    for (const AttrList* b = other.head; b != nullptr && rightCount <= kLinearCompareMax; b = b->next) rightCount++;
    std::unordered_map<std::string_view, std::vector<const AttrList*>> byName;
    if (rightCount > kLinearCompareMax)
        for (const AttrList* b = other.head; b != nullptr; b = b->next) byName[b->name].push_back(b);
    for (const AttrList* a = head; a != nullptr; a = a->next) {
        bool matched = false;
        if (rightCount > kLinearCompareMax) {
            auto named = byName.find(a->name);
            if (named != byName.end())
                for (size_t i = 0; i < named->second.size() && !matched; i++)
                    matched = sameValue(a->value, named->second[i]->value);
        } else {
            for (const AttrList* b = other.head; b != nullptr && !matched; b = b->next)
                matched = strcmp(a->name, b->name) == 0 && sameValue(a->value, b->value);
        }
        if (!matched) return false;
    }
    return true;
}

char* DirNameEntry::toString(Parser* parser) {
    if (className == nullptr) return nullptr;
    Text text;
    text.add(className);
    text.add(":");
    for (AttrList* a = head; a != nullptr; a = a->next) {
        if (a != head) text.add(",");
        char* item = a->toString(parser);
        text.add(item);
        free(item);
    }
    return text.take();
}

unsigned int DirNameEntry::getObjectID() const {
    return OBJ_DIRNAMEENTRY_ID;
}

int DirNameEntry::clone(const Principal*, Translatable** result) const {
    *result = new DirNameEntry(*this);
    return 0;
}

int DirNameEntry::isEqual(const Principal*, bool* result, const Translatable* other) const {
    *result = other != nullptr && other->getObjectID() == OBJ_DIRNAMEENTRY_ID &&
              *this == *static_cast<const DirNameEntry*>(other);
    return 0;
}

// --- DirName -------------------------------------------------------------

DirName::NameList::NameList(DirNameEntry* entry) : entry(entry), next(nullptr) {}

DirName::NameList::~NameList() {
    delete entry;
    deleteChain(this);
}

char* DirName::NameList::toString(Parser* parser) {
    char* text = entry != nullptr ? entry->toString(parser) : nullptr;
    return text != nullptr ? text : strdup("null");
}

unsigned int DirName::NameList::getObjectID() const {
    return OBJ_DIRNAME_NODE_ID;
}

DirName::DirName() : absolute(false), hostRooted(false), head(nullptr), tail(nullptr), count(0) {}

DirName::DirName(const DirName& other)
    : Translatable(), absolute(other.absolute), hostRooted(other.hostRooted), head(nullptr), tail(nullptr),
      count(0) {
    for (const NameList* n = other.head; n != nullptr; n = n->next)
        append(n->entry != nullptr ? new DirNameEntry(*n->entry) : nullptr);
}

DirName::~DirName() {
    delete head;
}

void DirName::append(DirNameEntry* entry) {
    NameList* node = new NameList(entry);
    if (tail != nullptr)
        tail->next = node;
    else
        head = node;
    tail = node;
    count++;
}

void DirName::prepend(DirNameEntry* entry) {
    NameList* node = new NameList(entry);
    node->next = head;
    head = node;
    if (tail == nullptr) tail = node;
    count++;
}

DirNameEntry* DirName::get(int i) const {
    if (i < 0) return nullptr;
    for (NameList* n = head; n != nullptr; n = n->next, i--)
        if (i == 0) return n->entry;
    return nullptr;
}

DirName* DirName::createFromString(const char* text, int* error) {
    *error = 0;
    if (text == nullptr) text = "";
    DirName* name = new DirName();
    int pos = 0;
    if (text[0] == '/' && text[1] == '/') {
        name->hostRooted = true;
        pos = 2;
    } else if (text[0] == '/') {
        name->absolute = true;
        pos = 1;
    }
    int length = static_cast<int>(strlen(text));
    while (pos < length) {
        char token[kNameTokenSize];
        int rc = DirNameEntry::parseNextString(text, &pos, "/", token, sizeof(token));
        if (rc != NAME_DELIMITER && rc != NAME_END_OF_TEXT) {
            *error = rc;
            break;
        }
        DirNameEntry* entry = DirNameEntry::createFromString(token, error);
        if (entry == nullptr) break;
        name->append(entry);
        if (rc == NAME_END_OF_TEXT) break;
    }
    if (*error != 0) {
        delete name;
        return nullptr;
    }
    return name;
}

unsigned long DirName::hashValue() const {
    unsigned long hash = 0;
    for (const NameList* n = head; n != nullptr; n = n->next)
        hash = hash * 33 + (n->entry != nullptr ? n->entry->hashValue() : 0);
    return hash;
}

bool DirName::operator==(const DirName& other) const {
    if (absolute != other.absolute || hostRooted != other.hostRooted || count != other.count) return false;
    for (const NameList *a = head, *b = other.head; a != nullptr && b != nullptr; a = a->next, b = b->next) {
        if (a->entry == nullptr || b->entry == nullptr) {
            if (a->entry != b->entry) return false;
        } else if (!(*a->entry == *b->entry)) {
            return false;
        }
    }
    return true;
}

char* DirName::toString(Parser* parser) {
    Text text;
    if (hostRooted)
        text.add("//");
    else if (absolute)
        text.add("/");
    for (NameList* n = head; n != nullptr; n = n->next) {
        if (n != head) text.add("/");
        char* item = n->toString(parser);
        text.add(item);
        free(item);
    }
    return text.take();
}

unsigned int DirName::getObjectID() const {
    return OBJ_DIRNAME_ID;
}

int DirName::clone(const Principal*, Translatable** result) const {
    *result = new DirName(*this);
    return 0;
}

int DirName::isEqual(const Principal*, bool* result, const Translatable* other) const {
    *result = other != nullptr && other->getObjectID() == OBJ_DIRNAME_ID && *this == *static_cast<const DirName*>(other);
    return 0;
}

// --- translators ---------------------------------------------------------

int DirNameEntryXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const DirNameEntry* e = static_cast<const DirNameEntry*>(*obj);
        m->writeStringField(1, e->className);
        m->writeInt32Field(2, e->classIsExpression);
        return m->writeContainerField(3, OBJ_DIRNAMEENTRY_ATTR_LIST_ID, e->head) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char* className;
    int32_t expression;
    Translatable* head;
    if (m->readStringField(1, &className) != 0) return -1;
    if (m->readInt32Field(2, &expression) != 0 ||
        m->readContainerField(3, OBJ_DIRNAMEENTRY_ATTR_LIST_ID, &head) != 0) {
        free(className);
        return -1;
    }
    DirNameEntry* e = new DirNameEntry(nullptr);
    e->className = className;
    e->classIsExpression = expression;
    e->head = static_cast<DirNameEntry::AttrList*>(head);
    e->tail = lastOf(e->head);
    *obj = e;
    return 0;
}

int DirNameEntryAttrListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_DIRNAMEENTRY_ATTR_ID, static_cast<const DirNameEntry::AttrList*>(*obj));
    return decodeList<DirNameEntry::AttrList>(m, OBJ_DIRNAMEENTRY_ATTR_ID, obj);
}

int DirNameEntryAttrXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const DirNameEntry::AttrList* a = static_cast<const DirNameEntry::AttrList*>(*obj);
        m->writeStringField(1, a->name);
        m->writeInt32Field(2, a->isExpression);
        return writeAnyField(m, 3, a->value) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char* name;
    int32_t expression;
    Any* value;
    if (m->readStringField(1, &name) != 0) return -1;
    if (name == nullptr || m->readInt32Field(2, &expression) != 0 || readAnyField(m, 3, &value) != 0) {
        free(name);
        return -1;
    }
    DirNameEntry::AttrList* a = new DirNameEntry::AttrList(name, value, expression != 0);
    a->isExpression = expression;
    free(name);
    *obj = a;
    return 0;
}

int DirNameXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const DirName* n = static_cast<const DirName*>(*obj);
        m->writeInt32Field(1, n->absolute ? 1 : 0);
        m->writeInt32Field(2, n->hostRooted ? 1 : 0);
        return m->writeContainerField(3, OBJ_DIRNAME_NODE_LIST_ID, n->head) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    int32_t absolute, hostRooted;
    Translatable* head;
    if (m->readInt32Field(1, &absolute) != 0 || m->readInt32Field(2, &hostRooted) != 0 ||
        m->readContainerField(3, OBJ_DIRNAME_NODE_LIST_ID, &head) != 0)
        return -1;
    DirName* n = new DirName();
    n->absolute = absolute != 0;
    n->hostRooted = hostRooted != 0;
    n->head = static_cast<DirName::NameList*>(head);
    for (DirName::NameList* node = n->head; node != nullptr; node = node->next) {
        n->tail = node;
        n->count++;
    }
    *obj = n;
    return 0;
}

int DirNameNodeListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_DIRNAME_NODE_ID, static_cast<const DirName::NameList*>(*obj));
    return decodeList<DirName::NameList>(m, OBJ_DIRNAME_NODE_ID, obj);
}

int DirNameNodeXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return m->writeObjectField(1, OBJ_DIRNAMEENTRY_ID, static_cast<const DirName::NameList*>(*obj)->entry) != 0
                   ? -1
                   : 0;
    *obj = nullptr;
    Translatable* entry;
    if (m->readObjectField(1, OBJ_DIRNAMEENTRY_ID, &entry) != 0) return -1;
    *obj = new DirName::NameList(static_cast<DirNameEntry*>(entry));
    return 0;
}
