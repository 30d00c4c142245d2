// The translator registry: which function encodes and decodes the objects
// of each id. Each library registers its own translators once, at start-up
// (dirbase_registerTranslators and its siblings, called from Directory::init);
// lookups happen on every object read or written, from any thread, without
// a lock.
//
// Thread-safety: registration and unregisterAll take _xlatorLock; a lookup
// reads the current table through one atomic pointer. Registration publishes
// a new table instead of changing the one readers may be walking, and keeps
// the old ones until unregisterAll (which no lookup may overlap).
#include <stdlib.h>

#include "common/sem.h"
#include "common/thread_annotations.h"
#include "dirbase/message.h"

std::atomic<XlatorFn> MessageBase::_principalXlator{nullptr};
std::atomic<const MessageBase::XlatorTable*> MessageBase::_xlatorTable{nullptr};

namespace {

CriticalBlock _xlatorLock{LOCK_RANK_NONE, kProcessLifetime};

// The registrations, newest first; the table answers lookups over them.
struct XlatorEntry {
    unsigned int id;
    XlatorFn fn;
    InPlaceFn inPlace;
    XlatorEntry* next;
};
XlatorEntry* _xlatorList GUARDED_BY(_xlatorLock) = nullptr;
size_t _xlatorCount GUARDED_BY(_xlatorLock) = 0;

// Tables replaced by newer ones; a reader may still be walking one.
struct RetiredTable {
    MessageBase::XlatorTable* table;
    RetiredTable* next;
};
RetiredTable* _retired GUARDED_BY(_xlatorLock) = nullptr;

MessageBase::XlatorTable* newTable(size_t size) {
    auto* t = static_cast<MessageBase::XlatorTable*>(
        calloc(1, sizeof(MessageBase::XlatorTable) + size * sizeof(MessageBase::XlatorSlot)));
    t->mask = size - 1;
    return t;
}

void tableInsert(MessageBase::XlatorTable* t, const MessageBase::XlatorSlot& slot) {
    size_t i = MessageBase::xlatorHash(slot.id) & t->mask;
    while (t->slots[i].used && t->slots[i].id != slot.id) i = (i + 1) & t->mask;
    t->slots[i] = slot;
}

}  // namespace

void MessageBase::registerObjectXlator(unsigned int id, XlatorFn fn, InPlaceFn inPlace) {
    CriticalSection lock(_xlatorLock);
    XlatorEntry* e = static_cast<XlatorEntry*>(malloc(sizeof(XlatorEntry)));
    e->id = id;
    e->fn = fn;
    e->inPlace = inPlace;
    e->next = _xlatorList;
    _xlatorList = e;
    _xlatorCount++;

    // A copy with the new pair, at most half full, replaces the current one.
    const XlatorTable* old = _xlatorTable.load(std::memory_order_relaxed);
    size_t size = old == nullptr ? 64 : old->mask + 1;
    while (_xlatorCount * 2 > size) size *= 2;
    XlatorTable* table = newTable(size);
    if (old != nullptr)
        for (size_t i = 0; i <= old->mask; i++)
            if (old->slots[i].used) tableInsert(table, old->slots[i]);
    // The newest registration of an id is the one that answers.
    tableInsert(table, XlatorSlot{id, fn, inPlace, true});
    _xlatorTable.store(table, std::memory_order_release);
    if (old != nullptr) {
        RetiredTable* r = static_cast<RetiredTable*>(malloc(sizeof(RetiredTable)));
        r->table = const_cast<XlatorTable*>(old);
        r->next = _retired;
        _retired = r;
    }
}

void MessageBase::unregisterAll() {
    CriticalSection lock(_xlatorLock);
    while (_xlatorList != nullptr) {
        XlatorEntry* next = _xlatorList->next;
        free(_xlatorList);
        _xlatorList = next;
    }
    _xlatorCount = 0;
    free(const_cast<XlatorTable*>(_xlatorTable.exchange(nullptr)));
    while (_retired != nullptr) {
        RetiredTable* next = _retired->next;
        free(_retired->table);
        free(_retired);
        _retired = next;
    }
}

void MessageBase::setPrincipalXlator(XlatorFn fn) {
    _principalXlator.store(fn, std::memory_order_release);
}
