// drvft get and drvft put: one file from or to a drvftd, through FileCopy
// and RemoteWriter.
#include "tools/drvft_getput.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "ft/file_copy.h"
#include "ft/ft_protocol.h"
#include "ft/remote_writer.h"

namespace {

const int kExitFailed = 1;
const int kExitUsage = 64;
const int kPutBlock = 1 << 20;

// Receives the fetched bytes into a temporary file beside the local name.
class LocalFeeder : public InputFeeder {
public:
    explicit LocalFeeder(int fd) : _fd(fd) {}
    void appendData(unsigned char* data, long long newLength, int count) override {
        if (newLength < 0) {
            _error = "transfer terminated";
            return;
        }
        if (count <= 0 || data == nullptr) {
            _complete = true;
            return;
        }
        while (count > 0 && _error.empty()) {
            ssize_t n = ::write(_fd, data, static_cast<size_t>(count));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                _error = strerror(errno);
                return;
            }
            data += n;
            count -= static_cast<int>(n);
            _bytes += n;
        }
    }
    void handleError(int, const char* text) override {
        if (_error.empty()) _error = text != nullptr && *text != '\0' ? text : "transfer failed";
    }
    bool complete() const { return _complete && _error.empty(); }
    const std::string& error() const { return _error; }
    long long bytes() const { return _bytes; }

private:
    int _fd;
    bool _complete = false;
    long long _bytes = 0;
    std::string _error;
};

}  // namespace

bool drvft_splitRemote(const std::string& text, std::string* host, std::string* port, std::string* path) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    *host = text.substr(0, colon);
    std::string rest = text.substr(colon + 1);
    *port = FT_DEFAULT_PORT;
    size_t second = rest.find(':');
    if (second != std::string::npos && second > 0 &&
        rest.find_first_not_of("0123456789") == second) {
        *port = rest.substr(0, second);
        rest = rest.substr(second + 1);
    }
    *path = rest;
    return !path->empty();
}

int drvft_get(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: drvft get HOST[:PORT]:PATH LOCAL\n");
        return kExitUsage;
    }
    std::string host, port, path;
    if (!drvft_splitRemote(argv[1], &host, &port, &path)) {
        fprintf(stderr, "drvft get: %s: expected HOST[:PORT]:PATH\n", argv[1]);
        return kExitUsage;
    }
    std::string local = argv[2];
    std::string temp = local + ".drvft-part";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "drvft get: %s: %s\n", local.c_str(), strerror(errno));
        return kExitFailed;
    }
    LocalFeeder feeder(fd);
    {
        FileCopy copy(host.c_str(), port.c_str(), path.c_str(), nullptr, nullptr, nullptr, &feeder);
        copy.start();
        copy.join();
    }
    bool ok = feeder.complete() && ::close(fd) == 0;
    if (!ok || ::rename(temp.c_str(), local.c_str()) != 0) {
        if (ok) feeder.handleError(0, strerror(errno));
        ::unlink(temp.c_str());
        fprintf(stderr, "drvft get: %s: %s\n", path.c_str(), feeder.error().c_str());
        return kExitFailed;
    }
    printf("%s: %lld bytes\n", local.c_str(), feeder.bytes());
    return 0;
}

int drvft_put(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: drvft put LOCAL HOST[:PORT]:PATH\n");
        return kExitUsage;
    }
    std::string host, port, path;
    if (!drvft_splitRemote(argv[2], &host, &port, &path)) {
        fprintf(stderr, "drvft put: %s: expected HOST[:PORT]:PATH\n", argv[2]);
        return kExitUsage;
    }
    const char* local = argv[1];
    int fd = ::open(local, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "drvft put: %s: %s\n", local, fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0) ::close(fd);
        return kExitFailed;
    }
    RemoteWriter writer(host.c_str(), port.c_str(), path.c_str(), nullptr, nullptr, nullptr,
                        static_cast<int>(st.st_mode & 0777));
    if (writer.start() != 0) {
        fprintf(stderr, "drvft put: %s: %s\n", path.c_str(), writer.errorText().c_str());
        ::close(fd);
        return kExitFailed;
    }
    std::vector<unsigned char> buf(kPutBlock);
    long long offset = 0;
    std::string problem;
    for (;;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) problem = std::string(local) + ": " + strerror(errno);
        if (n <= 0) break;
        if (writer.write(offset, buf.data(), static_cast<int>(n)) != n) {
            problem = path + ": " + writer.errorText();
            break;
        }
        offset += n;
    }
    ::close(fd);
    // Without the end marker the service drops what it received, so a put
    // that could not read its file whole leaves the remote file as it was.
    int rc = problem.empty() ? writer.close() : 0;
    if (!problem.empty() || rc != 0) {
        fprintf(stderr, "drvft put: %s\n", !problem.empty() ? problem.c_str() : (path + ": " + writer.errorText()).c_str());
        return kExitFailed;
    }
    printf("%s: %lld bytes\n", path.c_str(), offset);
    return 0;
}
