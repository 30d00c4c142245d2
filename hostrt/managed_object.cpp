#include "hostrt/managed_object.h"

#include <stdlib.h>
#include <string.h>

ManagedObject::ManagedObject() : next(nullptr), present(0), absent(0) {}

ManagedObject::~ManagedObject() {}

ManagedObjectManager::ManagedObjectManager(const char* name)
    : _name(strdup(name != nullptr ? name : "")), _first(nullptr), _last(nullptr), _count(0), _lastContext(nullptr) {}

ManagedObjectManager::~ManagedObjectManager() {
    while (_first != nullptr) {
        ManagedObject* next = _first->next;
        delete _first;
        _first = next;
    }
    free(_name);
}

int ManagedObjectManager::handleEvent(int, ManagedObject*) {
    return 0;
}

void ManagedObjectManager::notifyNewDomainContext(DomainContext* context) {
    _lastContext = context;
}

int ManagedObjectManager::collectData() {
    return 0;
}

const char* ManagedObjectManager::getGlobalRuleClass() {
    return nullptr;
}

void ManagedObjectManager::addObject(ManagedObject* object) {
    if (object == nullptr) return;  // nothing to own
    object->next = nullptr;
    object->present = 1;
    object->absent = 0;
    if (_last != nullptr)
        _last->next = object;
    else
        _first = object;
    _last = object;
    _count++;
}

void ManagedObjectManager::clearPresence() {
    for (ManagedObject* o = _first; o != nullptr; o = o->next) {
        o->present = 0;
        o->absent = 1;
    }
}
