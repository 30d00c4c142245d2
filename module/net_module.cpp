#include "module/net_module.h"

#include <stdio.h>
#include <string.h>

#include "common/error_codes.h"
#include "dir/search_helper.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "hostrt/dravika.h"
#include "module/net_object.h"

namespace {
const char* const kAdapterClass = "networkAdapter";
}

NetModule* _netMod = nullptr;

int moduleMain() {
    NetModule* module = new NetModule();
    _netMod = module;
    return static_cast<Module*>(module)->start();
}

NetModule::NetModule() : _manager(new NetObjectManager()) {
    Dravika::instance()->registerManagedObjectManager(_manager);
}

NetModule::~NetModule() {}

int NetModule::start() {
    return HostSPI::federate(kAdapterClass, false, this);
}

int NetModule::resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                       DirectoryObject*& out) {
    Any* key = new Any();
    // A missing entry is answered like a foreign class: an object under the
    // domain without a key text, rather than a crash in the provider.
    const char* className = entry != nullptr ? entry->getClassName() : nullptr;
    if (className != nullptr && strcmp(className, kAdapterClass) == 0) {
        // The key is built in a fixed buffer, so it holds at most 79 characters.
        char text[80];
        const char* name = entry->getStringAttributeValue("name");
        snprintf(text, sizeof(text), "n/%s", name != nullptr ? name : "(null)");
        key->set(text);
    }
    out = new DirectoryObject(getDomainGuid(), key);
    return 0;
}

int NetModule::search(const Endpoint*, const Principal*, SearchHelper* helper, DirectoryObject*, const DirNameEntry*,
                      char*, DirectoryEnumeration*) {
    // Adapters are reached by name only; a search learns nothing whatever the class.
    if (helper != nullptr) helper->classMatches(kAdapterClass);
    return 0;
}

int NetModule::execute(const Principal*, DirectoryObject*, const char*, Any**, FutureResult*) {
    return DirError::E_NOT_IMPLEMENTED;
}

int NetModule::getAttributes(const Principal*, DirectoryObject*, Attributes*&) {
    return 0;
}

int NetModule::getAcl(const Principal*, DirectoryObject*, Acl*&) {
    return 0;
}
