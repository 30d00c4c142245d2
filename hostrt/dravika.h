// libdravika-rt (hostrt/), the host runtime library that modules build
// against: the host singleton and its directory federation entry point, as
// the agent host offers them to modules. The stand-in also lets programs and
// tests see what a module registered and federated, and choose what
// federation answers.
//
// Thread-safety: none of its own. Modules register and federate from their
// moduleMain, which the host runs on its main thread, and the host collects
// on that same thread; routing (routeFor, findProvider, federations) may be
// read from any thread once start-up is over.
#ifndef DRV_HOSTRT_DRAVIKA_H
#define DRV_HOSTRT_DRAVIKA_H

#include <string>
#include <vector>

class DirectorySPI;
class ManagedObjectManager;
class StatEntry;

class Dravika {
public:
    static Dravika* instance();

    // Takes the manager into the host's set; from then on the host calls its
    // virtual operations. The manager stays alive for the process. Returns 0;
    // E_ILLEGAL_ARGUMENT for a null manager and E_ALREADY_EXISTS for one
    // already in the set (it would be collected twice per pass), neither of
    // which changes the set.
    int registerManagedObjectManager(ManagedObjectManager* manager);

    int getManagerCount() const { return static_cast<int>(_managers.size()); }
    // The i-th manager in registration order, or null when there is none.
    ManagedObjectManager* getManager(int i) const {
        return i >= 0 && i < getManagerCount() ? _managers[static_cast<size_t>(i)] : nullptr;
    }
    ManagedObjectManager* findManager(const char* name) const;
    // Asks every registered manager to collect into entry, in registration
    // order. Each manager's objects are first marked not present, so that
    // after its pass only what the pass found is marked present.
    void collectAll(StatEntry* entry);

    // Loads a module with its symbols kept local (each module carries and
    // hides its own runtime). Returns the handle, or null with "cannot load
    // module: <the loader's reason>" in *error. A shared object without
    // moduleMain is no module: it is let go again and refused with "<path>
    // has no moduleMain", before the caller starts anything for it. So is an
    // empty path, which the loader would take for the program itself. The
    // module stays loaded for the process.
    static void* loadModule(const char* path, std::string* error);
    // Runs a loaded module's entry point, through which it registers its
    // managers and federates its providers. Returns 0, or -1 when the module
    // has no moduleMain, or what moduleMain returned (a shared error code)
    // when it failed; *error then says which.
    static int startModule(void* handle, const char* path, std::string* error);

private:
    Dravika() = default;
    std::vector<ManagedObjectManager*> _managers;
};

class HostSPI {
public:
    struct Federation {
        std::string className;
        bool flag;
        DirectorySPI* provider;
        int result;  // what federate answered; only 0 routes
    };

    // Routes names of className to provider (see hostrt/host_directory.h:
    // the host's root provider hands entries of that class, and everything
    // below the objects they resolve to, to provider); returns the
    // configured result (0 unless setFederateResult chose otherwise). A
    // provider is recorded whatever the result, so that a refused federation
    // can be inspected, but only an accepted one routes. A null class name
    // or provider is refused with E_ILLEGAL_ARGUMENT and not recorded.
    static int federate(const char* className, bool flag, DirectorySPI* provider);

    static void setFederateResult(int result);
    static const std::vector<Federation>& federations();
    // The provider most recently federated for className, or null.
    static DirectorySPI* findProvider(const char* className);
    // The provider that names of className reach: the most recent accepted
    // federation of that class, or null.
    static DirectorySPI* routeFor(const char* className);
};

// What a module did to the host, in call order: "register:<manager name>"
// and "federate:<class name>" entries.
const std::vector<std::string>& hostCallLog();

#endif
