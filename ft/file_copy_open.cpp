// The directory's file routing: files of local providers come from and go to
// the local file-transfer service, files of a remote provider's asset to the
// file-transfer service on that asset's host.
#include <string>

#include "common/error_codes.h"
#include "common/sem.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "ft/file_copy.h"
#include "ft/ft_protocol.h"
#include "ft/remote_writer.h"
#include "io/input.h"
#include "io/output.h"

namespace {

CriticalBlock _serviceLock;
std::string _serviceHost GUARDED_BY(_serviceLock) = "127.0.0.1";
std::string _servicePort GUARDED_BY(_serviceLock) = FT_DEFAULT_PORT;

int openFile(Directory* directory, DirectorySPI* spi, const char* remotePath, bool write, int mode, void** stream) {
    *stream = nullptr;
    std::string host;
    std::string port;
    if (spi != nullptr && spi->isNetworkSPI()) {
        if (Directory::_remote == nullptr || !Directory::_remote->fileServiceOf(spi, &host, &port))
            return DirError::E_NOT_IMPLEMENTED;
    } else {
        CriticalSection hold(_serviceLock);
        host = _serviceHost;
        port = _servicePort;
    }
    std::shared_ptr<const Principal> principal = directory->findPrincipal();
    if (!write) {
        Input* input = new Input(-1, nullptr, nullptr);
        FileCopy* copy = new FileCopy(host.c_str(), port.c_str(), remotePath, principal.get(), directory->certificate,
                                      directory->privateKey, input);
        input->setFileCopy(copy);
        copy->start();
        *stream = input;
        return 0;
    }
    RemoteWriter* writer = new RemoteWriter(host.c_str(), port.c_str(), remotePath, principal.get(),
                                            directory->certificate, directory->privateKey, mode);
    int rc = writer->start();
    if (rc != 0) {
        delete writer;
        return rc > 0 ? rc : DirError::E_NOT_CONNECTED;
    }
    Output* output = new Output(writer, mode);
    writer->setOutput(output);
    *stream = output;
    return 0;
}

}  // namespace

void ft_installFileOpener() {
    Directory::_openFile = openFile;
}

void ft_setLocalFileService(const char* host, const char* port) {
    CriticalSection hold(_serviceLock);
    _serviceHost = host != nullptr ? host : "127.0.0.1";
    _servicePort = port != nullptr ? port : FT_DEFAULT_PORT;
}
