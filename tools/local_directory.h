// The in-process directory of the command-line programs (drvdir, drvscript
// --directory): a server directory over the host stand-in's root provider,
// with the network module loaded and started as drvhost does and the
// host's own "mount" provider federated beside it.
//
// Ownership: owns the providers and the Directory it starts.
// Thread-safety: built and ended by the program's main thread; the
// Directory itself may then be used from any thread.
#ifndef DRV_TOOLS_LOCAL_DIRECTORY_H
#define DRV_TOOLS_LOCAL_DIRECTORY_H

#include "host/demo_provider.h"
#include "hostrt/host_directory.h"

class Directory;

class LocalDirectory {
public:
    // mountTable: the file the mount provider reads (/proc/self/mounts).
    explicit LocalDirectory(const char* mountTable);
    // stop().
    ~LocalDirectory();
    LocalDirectory(const LocalDirectory&) = delete;
    LocalDirectory& operator=(const LocalDirectory&) = delete;

    // Loads the module at modulePath and runs its entry point, federates the
    // mount provider and starts the directory. False with the reason
    // printed on standard error as "PROGRAM: ...".
    bool start(const char* program, const char* modulePath);

    Directory* directory() const { return _directory; }
    // Disposes the directory (the providers stay federated until this
    // object ends).
    void stop();

private:
    MountProvider _mounts;
    HostDirectorySPI _root;
    Directory* _directory;
};

#endif
