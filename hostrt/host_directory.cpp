#include "hostrt/host_directory.h"

#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/os.h"
#include "dirbase/acl.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dir/search_helper.h"
#include "hostrt/dravika.h"

namespace {

// One federation per routed class: the first one of the provider that the
// class's names reach, so that the order stays put. A provider may federate
// its class again (started anew after a stop), which must not make the root
// list the class twice or search the provider twice.
std::vector<const HostSPI::Federation*> routes() {
    std::vector<const HostSPI::Federation*> list;
    std::set<std::string> seen;
    for (const HostSPI::Federation& f : HostSPI::federations()) {
        if (f.result != 0 || f.provider == nullptr || HostSPI::routeFor(f.className.c_str()) != f.provider) continue;
        if (seen.insert(f.className).second) list.push_back(&f);
    }
    return list;
}

}  // namespace

HostDirectorySPI::HostDirectorySPI() {}

HostDirectorySPI::~HostDirectorySPI() {}

DirectorySPI* HostDirectorySPI::ownerOf(const DirectoryObject* object) {
    if (object == nullptr || object->className == nullptr) return nullptr;
    for (const HostSPI::Federation& f : HostSPI::federations()) {
        if (f.result != 0 || f.provider == nullptr) continue;
        const char* guid = f.provider->getDomainGuid();
        if (guid != nullptr && strcmp(guid, object->className) == 0) return f.provider;
    }
    return nullptr;
}

int HostDirectorySPI::resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                              const DirNameEntry* entry, DirectoryObject*& out) {
    out = nullptr;
    // Below a federated provider's object, that provider goes on resolving.
    DirectorySPI* owner = ownerOf(current);
    if (owner == nullptr && entry != nullptr && entry->getClassName() != nullptr)
        owner = HostSPI::routeFor(entry->getClassName());
    if (owner == nullptr) return 0;
    return owner->resolve(target, principal, current, entry, out);
}

int HostDirectorySPI::search(const Endpoint* target, const Principal* principal, SearchHelper* helper,
                             DirectoryObject* current, const DirNameEntry* entry, char* filter,
                             DirectoryEnumeration* result) {
    DirectorySPI* owner = ownerOf(current);
    if (owner != nullptr) return owner->search(target, principal, helper, current, entry, filter, result);
    // At the root: an exact class goes to its provider alone; a pattern to
    // every provider whose class it matches.
    const char* exact = entry != nullptr && !entry->classIsExpression ? entry->getClassName() : nullptr;
    if (exact != nullptr) {
        DirectorySPI* p = HostSPI::routeFor(exact);
        return p != nullptr ? p->search(target, principal, helper, current, entry, filter, result) : 0;
    }
    for (const HostSPI::Federation* f : routes()) {
        if (helper != nullptr && !helper->classMatches(f->className.c_str())) continue;
        int rv = f->provider->search(target, principal, helper, current, entry, filter, result);
        if (rv != 0) return rv;
    }
    return 0;
}

int HostDirectorySPI::execute(const Principal* principal, DirectoryObject* object, const char* operation,
                              Any** args, FutureResult* result) {
    DirectorySPI* owner = ownerOf(object);
    if (owner == nullptr) return DirError::E_NOT_IMPLEMENTED;
    return owner->execute(principal, object, operation, args, result);
}

int HostDirectorySPI::getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) {
    DirectorySPI* owner = ownerOf(object);
    if (owner != nullptr) return owner->getAttributes(principal, object, out);
    char host[256] = "";
    s_gethostname(host, sizeof(host));
    out = new Attributes();
    out->setAttribute("hostname", host);
    int routed = 0;
    for (const HostSPI::Federation& f : HostSPI::federations())
        if (f.result == 0) routed++;
    out->setAttribute("federations", routed);
    return 0;
}

int HostDirectorySPI::list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result) {
    DirectorySPI* owner = ownerOf(object);
    if (owner != nullptr) return owner->list(principal, object, result);
    for (const HostSPI::Federation* f : routes()) result->append(f->className.c_str());
    return 0;
}

int HostDirectorySPI::listen(const Principal* principal, DirectoryObject* object, const DirNameEntry* filter,
                             int listenerId) {
    DirectorySPI* owner = ownerOf(object);
    if (owner == nullptr && filter != nullptr && filter->getClassName() != nullptr)
        owner = HostSPI::routeFor(filter->getClassName());
    if (owner != nullptr) return owner->listen(principal, object, filter, listenerId);
    return DirectorySPI::listen(principal, object, filter, listenerId);
}

int HostDirectorySPI::getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) {
    DirectorySPI* owner = ownerOf(object);
    if (owner != nullptr) return owner->getAcl(principal, object, out);
    // Owned by the administrators; everyone may read and list the root.
    out = new Acl("R`Administrators`Administrators`-`-`A,everyone@builtin/x,Read,List");
    return 0;
}

char* HostDirectorySPI::toString() const {
    return strdup("host SPI");
}
