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

DirectorySPI::DirectorySPI() : _locks(0), markedForDeletion(false), temporary(false), domainGuid(nullptr) {
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
    free(domainGuid);
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

int DirectorySPI::attachListener(const Principal*, Connection*, const DirectoryObject*, const DirNameEntry*, int,
                                 bool) {
    // Provider-side listener records arrive with change notification; until
    // then a listener has nothing to record and nothing to be told.
    return 0;
}

bool DirectorySPI::isNetworkSPI() {
    return false;
}

void DirectorySPI::closeDirectory() {}

char* DirectorySPI::toString() const {
    return strdup("generic SPI");
}
