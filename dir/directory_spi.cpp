#include "dir/directory_spi.h"

#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/os.h"
#include "dirbase/any.h"
#include "dirbase/build_json.h"
#include "dirbase/message.h"

DirectoryObject::DirectoryObject(const char* className, Any* value)
    : className(className != nullptr ? strdup(className) : nullptr), value(value) {}

DirectoryObject::DirectoryObject(const DirectoryObject& other)
    : Translatable(other),
      className(other.className != nullptr ? strdup(other.className) : nullptr),
      value(other.value != nullptr ? new Any(*other.value) : nullptr) {}

bool DirectoryObject::operator==(const DirectoryObject& other) const {
    if ((className == nullptr) != (other.className == nullptr)) return false;
    if (className != nullptr && strcmp(className, other.className) != 0) return false;
    if ((value == nullptr) != (other.value == nullptr)) return false;
    return value == nullptr || *value == *other.value;
}

unsigned long DirectoryObject::hashValue() const {
    unsigned long h = 5381;
    if (className != nullptr)
        for (const char* c = className; *c != '\0'; c++) h = h * 33 + static_cast<unsigned char>(*c);
    unsigned long v = value != nullptr ? value->hashValue() : 0;
    return h ^ (v + 0x9e3779b97f4a7c15UL + (h << 6) + (h >> 2));
}

DirectoryObject::~DirectoryObject() {
    free(className);
    delete value;
}

char* DirectoryObject::toString(Parser*) {
    return buildJSON("so", "className", className, "value", static_cast<Translatable*>(value));
}

unsigned int DirectoryObject::getObjectID() const {
    return OBJ_DIRECTORYOBJECT_ID;
}

int DirectoryObjectXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const DirectoryObject* o = static_cast<const DirectoryObject*>(*obj);
        m->writeStringField(1, o->className);
        return writeAnyField(m, 2, o->value) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char* className;
    Any* value;
    if (m->readStringField(1, &className) != 0) return -1;
    if (readAnyField(m, 2, &value) != 0) {
        free(className);
        return -1;
    }
    DirectoryObject* o = new DirectoryObject(nullptr, value);
    o->className = className;
    *obj = o;
    return 0;
}

DirectorySPI::DirectorySPI()
    : lock(LOCK_RANK_DIR_SPI), _locks(0), markedForDeletion(false), temporary(false), domainGuid(nullptr) {
    char* guid = makeGuid();
    if (guid != nullptr) {
        size_t len = strlen(guid);
        domainGuid = static_cast<char*>(malloc(len + 2));
        domainGuid[0] = 'G';
        memcpy(domainGuid + 1, guid, len + 1);
        freeGuid(guid);
    }
}

DirectorySPI::~DirectorySPI() {
    // Records and disconnect listeners know their provider only by address:
    // left behind, they would be matched against a provider made later in
    // the same memory, and a client's record would hold its connection.
    closeListenersOfProvider();
    free(domainGuid);
}

void DirectorySPI::addLock() {
    // A provider may lock itself after the sweep marked it (a callback
    // still at work), which only delays its end; a resolution must never
    // take a marked provider, and ResolveContext checks that.
    CriticalSection cs(lock);
    _locks++;
}

bool DirectorySPI::tryAddLock() {
    CriticalSection cs(lock);
    if (isMarkedForDeletion()) return false;
    _locks++;
    return true;
}

void DirectorySPI::removeLock() {
    CriticalSection cs(lock);
    _locks--;
    DRV_ASSERT(_locks >= 0);
}

int DirectorySPI::lockCount() {
    CriticalSection cs(lock);
    return _locks;
}

int DirectorySPI::list(const Principal*, DirectoryObject*, ClassEnumeration*) {
    return 0;
}

int DirectorySPI::listen(const Principal* principal, DirectoryObject* object, const DirNameEntry* filter,
                         int listenerId) {
    attachListener(principal, nullptr, object, filter, listenerId, false);
    return 0;
}

int DirectorySPI::openForRead(const Principal*, const DirectoryObject*, const char*, Input**) {
    return DirError::E_NOT_IMPLEMENTED;
}

int DirectorySPI::openForWrite(const Principal*, const DirectoryObject*, Output**) {
    return DirError::E_NOT_IMPLEMENTED;
}

bool DirectorySPI::isIdle() {
    return false;
}

bool DirectorySPI::isNetworkSPI() {
    return false;
}

void DirectorySPI::closeDirectory() {}

char* DirectorySPI::toString() const {
    return strdup("generic SPI");
}
