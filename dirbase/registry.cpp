#include "dirbase/registry.h"

#include <stdlib.h>
#include <string.h>

#include "common/sem.h"

namespace {

struct Pair {
    char* name;
    void* object;
    Pair* next;
};

CriticalBlock _registryCb(LOCK_RANK_NONE, kProcessLifetime);
Pair* _pairs = nullptr;

}  // namespace

void Registry::registerObject(const char* name, void* object) {
    if (name == nullptr) return;
    Pair* p = new Pair{strdup(name), object, nullptr};
    CriticalSection cs(_registryCb);
    p->next = _pairs;
    _pairs = p;
}

void* Registry::getObject(const char* name) {
    if (name == nullptr) return nullptr;
    CriticalSection cs(_registryCb);
    for (Pair* p = _pairs; p != nullptr; p = p->next)
        if (strcmp(p->name, name) == 0) return p->object;
    return nullptr;
}

void Registry::unregisterObject(void* object) {
    CriticalSection cs(_registryCb);
    Pair** link = &_pairs;
    while (*link != nullptr) {
        Pair* p = *link;
        if (p->object == object) {
            *link = p->next;
            free(p->name);
            delete p;
        } else {
            link = &p->next;
        }
    }
}
