// Placeholders for the operations that the execution and listener code
// define (directory_exec.cpp, directory_listen.cpp); this file goes away when
// those land. Each answers 21 ("Not Implemented") or does nothing.
#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"

CriticalBlock Directory::_listenerCb(LOCK_RANK_DIR_LISTENERS, kProcessLifetime);
ListenerEntry* Directory::_listeners = nullptr;
CriticalBlock DirectorySPI::_dCb(LOCK_RANK_DIR_SPI_LISTENERS, kProcessLifetime);
DirectorySPI::DirListenerEntry* DirectorySPI::_dirListeners = nullptr;

FutureResult* Directory::execute(const DirName*, FutureResultListener*, const char*, Any**) {
    return nullptr;
}
FutureResult* Directory::executeWithLengthyOp(const DirName*, const char*, FutureResultListener*, const char*,
                                              Any**) {
    return nullptr;
}
void Directory::executeComplete(long long, int) {}
void Directory::executeComplete(long long, FutureResult*) {}
void Directory::executeUpdated(long long, ExecuteUpdate*) {}
void Directory::spiConnected(const char*) {}
void Directory::startExecThread(bool) {}
void Directory::stopExecThreadIfClient() {}
int Directory::lookupAssetForOpen(const char*, FutureResult**, FutureResultListener*, Asset** out) {
    *out = nullptr;
    return DirError::E_NOT_IMPLEMENTED;
}
int Directory::lookupEndpointForOpen(const char*, FutureResult**, FutureResultListener*, Endpoint** out) {
    *out = nullptr;
    return DirError::E_NOT_IMPLEMENTED;
}

int Directory::addListener(const DirName*, DirectoryListener*, int* err) {
    if (err != nullptr) *err = DirError::E_NOT_IMPLEMENTED;
    return DirError::E_NOT_IMPLEMENTED;
}
void Directory::removeListener(DirectoryListener*) {}
void Directory::listenComplete(int, DirectorySPI*) {}
void Directory::processDisconnect(DirectorySPI*) {}
void Directory::retryListeners() {}
void Directory::processDirectoryUpdate(int, int, const DirNameEntry*, const Attributes*, const Acl*) {}
bool Directory::listenerUsesSPI(DirectorySPI*) {
    return false;
}
int Directory::addAlertListener(const DirName*, AlertListener*, int* err) {
    if (err != nullptr) *err = DirError::E_NOT_IMPLEMENTED;
    return DirError::E_NOT_IMPLEMENTED;
}
int Directory::startAssetMonitor(const DirName*, ManagedConnectionListener*, int* err) {
    if (err != nullptr) *err = DirError::E_NOT_IMPLEMENTED;
    return DirError::E_NOT_IMPLEMENTED;
}
int Directory::stopAssetMonitor(const DirName*, int* err) {
    if (err != nullptr) *err = DirError::E_NOT_IMPLEMENTED;
    return DirError::E_NOT_IMPLEMENTED;
}

int DirectorySPI::attachListener(const Principal*, Connection*, const DirectoryObject*, const DirNameEntry*, int,
                                 bool) {
    return 0;
}

// The remote resolve branch needs the execution request's resolve helper;
// until that lands no request passes one.
int Directory::consumeAsyncResolve(ResolveContext*, AsyncResolveHelper*) {
    return 0;
}
int Directory::startAsyncResolve(ResolveContext*, AsyncResolveHelper*) {
    return DirError::E_NOT_CONNECTED;
}
