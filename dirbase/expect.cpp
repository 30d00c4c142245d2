#include "dirbase/expect.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/build_json.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"

namespace {

char* dupOrNull(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

}  // namespace

ExpectEntry::ExpectEntry(const char* expected, const char* send, bool isRegex, const char* actual)
    : expected(dupOrNull(expected)), send(dupOrNull(send)), isRegex(isRegex), actual(dupOrNull(actual)) {}

ExpectEntry::~ExpectEntry() {
    free(expected);
    free(send);
    free(actual);
}

char* ExpectEntry::toString(Parser*) {
    return buildJSON("sbs", "send", send, "isRegex", isRegex ? 1 : 0, "actual", actual);
}

unsigned int ExpectEntry::getObjectID() const {
    return OBJ_EXPECTENTRY_ID;
}

ExpectList::ExpectEntryList::ExpectEntryList(ExpectEntry* entry) : entry(entry), next(nullptr) {}

ExpectList::ExpectEntryList::~ExpectEntryList() {
    delete entry;
    deleteChain(this);
}

char* ExpectList::ExpectEntryList::toString(Parser* parser) {
    return entry != nullptr ? entry->toString(parser) : strdup("null");
}

unsigned int ExpectList::ExpectEntryList::getObjectID() const {
    return OBJ_EXPECTLIST_NODE_ID;
}

ExpectList::ExpectList() : head(nullptr) {}

ExpectList::~ExpectList() {
    delete head;
}

void ExpectList::append(ExpectEntry* entry) {
    ExpectEntryList* node = new ExpectEntryList(entry);
    ExpectEntryList* last = lastOf(head);
    if (last != nullptr)
        last->next = node;
    else
        head = node;
}

int ExpectList::size() const {
    int n = 0;
    for (ExpectEntryList* e = head; e != nullptr; e = e->next) n++;
    return n;
}

ExpectEntry* ExpectList::get(int i) const {
    if (i < 0) return nullptr;
    for (ExpectEntryList* e = head; e != nullptr; e = e->next, i--)
        if (i == 0) return e->entry;
    return nullptr;
}

char* ExpectList::toString(Parser* parser) {
    size_t capacity = 64, at = 0;
    char* out = static_cast<char*>(malloc(capacity));
    auto add = [&](const char* s) {
        size_t n = strlen(s);
        if (at + n + 1 > capacity) {
            while (at + n + 1 > capacity) capacity *= 2;
            out = static_cast<char*>(realloc(out, capacity));
        }
        memcpy(out + at, s, n + 1);
        at += n;
    };
    add("[");
    for (ExpectEntryList* e = head; e != nullptr; e = e->next) {
        if (e != head) add(", ");
        char* text = e->toString(parser);
        add(text);
        free(text);
    }
    add("]");
    return out;
}

unsigned int ExpectList::getObjectID() const {
    return OBJ_EXPECTLIST_ID;
}

int ExpectEntryXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const ExpectEntry* e = static_cast<const ExpectEntry*>(*obj);
        m->writeStringField(1, e->expected);
        m->writeStringField(2, e->send);
        m->writeBoolField(3, e->isRegex);
        return m->writeStringField(4, e->actual) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char *expected = nullptr, *send = nullptr, *actual = nullptr;
    bool isRegex = false;
    if (m->readStringField(1, &expected) != 0 || m->readStringField(2, &send) != 0 ||
        m->readBoolField(3, &isRegex) != 0 || m->readStringField(4, &actual) != 0) {
        free(expected);
        free(send);
        return -1;
    }
    ExpectEntry* e = new ExpectEntry(nullptr, nullptr, isRegex, nullptr);
    e->expected = expected;
    e->send = send;
    e->actual = actual;
    *obj = e;
    return 0;
}

int ExpectListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return m->writeContainerField(1, OBJ_EXPECTLIST_LIST_ID, static_cast<const ExpectList*>(*obj)->head) ? -1 : 0;
    *obj = nullptr;
    Translatable* head;
    if (m->readContainerField(1, OBJ_EXPECTLIST_LIST_ID, &head) != 0) return -1;
    ExpectList* list = new ExpectList();
    list->head = static_cast<ExpectList::ExpectEntryList*>(head);
    *obj = list;
    return 0;
}

int ExpectListNodeListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_EXPECTLIST_NODE_ID, static_cast<const ExpectList::ExpectEntryList*>(*obj));
    return decodeList<ExpectList::ExpectEntryList>(m, OBJ_EXPECTLIST_NODE_ID, obj);
}

int ExpectListNodeXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return m->writeObjectField(1, OBJ_EXPECTENTRY_ID, static_cast<const ExpectList::ExpectEntryList*>(*obj)->entry)
                   ? -1
                   : 0;
    *obj = nullptr;
    Translatable* entry;
    if (m->readObjectField(1, OBJ_EXPECTENTRY_ID, &entry) != 0) return -1;
    *obj = new ExpectList::ExpectEntryList(static_cast<ExpectEntry*>(entry));
    return 0;
}

