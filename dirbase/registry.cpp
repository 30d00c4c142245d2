#include "dirbase/registry.h"

#include <stdlib.h>
#include <string.h>

Registry::Entry* Registry::_registry = nullptr;

void Registry::registerObject(const char* name, void* obj) {
    Entry* e = static_cast<Entry*>(malloc(sizeof(Entry)));
    e->name = strdup(name != nullptr ? name : "");
    e->object = obj;
    e->next = _registry;
    _registry = e;
}

void* Registry::getObject(const char* name) {
    if (name == nullptr) return nullptr;
    for (Entry* e = _registry; e != nullptr; e = e->next)
        if (strcmp(e->name, name) == 0) return e->object;
    return nullptr;
}

void Registry::unregisterObject(void* obj) {
    Entry** at = &_registry;
    while (*at != nullptr) {
        Entry* e = *at;
        if (e->object == obj) {
            *at = e->next;
            free(e->name);
            free(e);
        } else {
            at = &e->next;
        }
    }
}
