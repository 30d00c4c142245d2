// HostDirectorySPI: the root provider of the host's own directory. It owns
// no objects of its own beyond the root; every class that a module
// federated through HostSPI::federate is routed to the provider that
// federated it: an entry of that class is resolved by that provider, and
// every later operation on the objects it returned (their class name is the
// provider's domain identifier) goes back to it.
//
// The root object itself answers: list gives the federated classes;
// getAttributes the host name and the number of federations; getAcl a list
// that lets everyone read; search asks every federated provider (or the one
// whose class the pattern names exactly).
//
// Ownership: the providers belong to the modules that federated them.
//
// Thread-safety: federations are made during start-up, before names are
// resolved; afterwards any number of threads may resolve through the root.
#ifndef DRV_HOSTRT_HOST_DIRECTORY_H
#define DRV_HOSTRT_HOST_DIRECTORY_H

#include "dir/directory_spi.h"

class HostDirectorySPI : public DirectorySPI {
public:
    HostDirectorySPI();
    ~HostDirectorySPI() override;

    int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                const DirNameEntry* entry, DirectoryObject*& out) override;
    int search(const Endpoint* target, const Principal* principal, SearchHelper* helper, DirectoryObject* current,
               const DirNameEntry* entry, char* filter, DirectoryEnumeration* result) override;
    int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                FutureResult* result) override;
    int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) override;
    int list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result) override;
    int listen(const Principal* principal, DirectoryObject* object, const DirNameEntry* filter,
               int listenerId) override;
    int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) override;
    char* toString() const override;

    // The federated provider whose objects carry this class name, or null.
    static DirectorySPI* ownerOf(const DirectoryObject* object);
};

#endif
