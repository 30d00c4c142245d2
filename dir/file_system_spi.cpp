#include "dir/file_system_spi.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/future_result.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"

const char* const FileSystemSPI::kClass = "filesystem";

namespace {

const size_t kMaxPath = 4096;

// The path's components, or false (with the refusal) for one that would
// leave the served folder or is too long to be a path.
bool components(const char* path, std::vector<std::string>* out, int* error, std::string* why) {
    if (strlen(path) > kMaxPath) {
        *error = DirError::E_NAME_TOO_LONG;
        *why = "the path is too long";
        return false;
    }
    std::string part;
    for (const char* p = path;; p++) {
        if (*p != '/' && *p != '\0') {
            part += *p;
            continue;
        }
        if (part == "..") {
            *error = DirError::E_PERMISSION_DENIED;
            *why = "a path may not leave the served folder";
            return false;
        }
        if (!part.empty() && part != ".") out->push_back(part);
        part.clear();
        if (*p == '\0') break;
    }
    if (out->empty()) {
        *error = DirError::E_IS_DIRECTORY;
        *why = "the served folder itself is not a file";
        return false;
    }
    return true;
}

void fromErrno(int err, int* error, std::string* why) {
    *error = DirError::fromPosix(err);
    // A link met on the way is refused, not followed.
    *why = err == ELOOP ? "symbolic links are not followed" : strerror(err);
}

}  // namespace

FileSystemSPI::FileSystemSPI(const char* root) : _root(root != nullptr ? root : "") {}

FileSystemSPI::~FileSystemSPI() {}

bool FileSystemSPI::isMine(const DirectoryObject* object) const {
    return object != nullptr && object->className != nullptr && strcmp(object->className, getDomainGuid()) == 0;
}

int FileSystemSPI::resolve(const Endpoint*, const Principal*, DirectoryObject* current, const DirNameEntry* entry,
                           DirectoryObject*& out) {
    out = nullptr;
    // One object, and nothing below it: files are named by "readBytes".
    if (isMine(current) || entry == nullptr || entry->getClassName() == nullptr ||
        strcmp(entry->getClassName(), kClass) != 0)
        return 0;
    out = new DirectoryObject(getDomainGuid(), nullptr);
    return 0;
}

int FileSystemSPI::search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject*, const DirNameEntry*,
                          char*, DirectoryEnumeration*) {
    return 0;
}

int FileSystemSPI::openBelowRoot(const char* path, int* error, std::string* why) const {
    std::vector<std::string> parts;
    if (path == nullptr || !components(path, &parts, error, why)) {
        if (path == nullptr) {
            *error = DirError::E_MISSING_ARGUMENTS;
            *why = "no path";
        }
        return -1;
    }
    // Links in the served folder's own name are the choice of whoever
    // named it; below it none is followed.
    int dir = ::open(_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        fromErrno(errno, error, why);
        return -1;
    }
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        int next = ::openat(dir, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int err = errno;
        ::close(dir);
        if (next < 0) {
            fromErrno(err, error, why);
            return -1;
        }
        dir = next;
    }
    // Non-blocking, so that a FIFO cannot hold the request; refused below.
    int fd = ::openat(dir, parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int err = errno;
    ::close(dir);
    if (fd < 0) {
        fromErrno(err, error, why);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        bool isDir = S_ISDIR(st.st_mode);
        ::close(fd);
        *error = isDir ? DirError::E_IS_DIRECTORY : DirError::E_ILLEGAL_ARGUMENT;
        *why = isDir ? "is a folder" : "not a regular file";
        return -1;
    }
    return fd;
}

FileIo* FileSystemSPI::readBlock(const char* path, long long offset) const {
    if (offset < 0) return new FileIo(DirError::E_ILLEGAL_ARGUMENT, "negative offset");
    int error = 0;
    std::string why;
    int fd = openBelowRoot(path, &error, &why);
    if (fd < 0) {
        log(LOG_DEBUG, 0, 0, "FileSystemSPI: %s: %s", path != nullptr ? path : "NULL", why.c_str());
        return new FileIo(error, why.c_str());
    }
    struct stat st;
    FileIo* block = nullptr;
    if (::fstat(fd, &st) != 0) {
        int e = 0;
        fromErrno(errno, &e, &why);
        block = new FileIo(e, why.c_str());
    } else {
        long long size = st.st_size;
        long long want = std::max(0LL, std::min<long long>(kBlockSize, size - offset));
        std::vector<unsigned char> buffer(static_cast<size_t>(want));
        long long got = 0;
        while (got < want) {
            ssize_t n = ::pread(fd, buffer.data() + got, static_cast<size_t>(want - got), offset + got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int e = 0;
                fromErrno(errno, &e, &why);
                block = new FileIo(e, why.c_str());
                break;
            }
            if (n == 0) break;  // the file shrank: what is there is the block
            got += n;
        }
        if (block == nullptr) block = new FileIo(offset, size, static_cast<int>(got), buffer.data());
    }
    ::close(fd);
    return block;
}

int FileSystemSPI::execute(const Principal*, DirectoryObject* object, const char* operation, Any** args,
                           FutureResult* result) {
    if (!isMine(object)) return DirError::E_OBJECT_NOT_FOUND;
    if (operation == nullptr || strcmp(operation, "readBytes") != 0) return DirError::E_NOT_IMPLEMENTED;
    long long offset = 0;
    const char* path = args != nullptr && args[0] != nullptr ? args[0]->getString() : nullptr;
    if (path == nullptr || args[1] == nullptr || !args[1]->convertToInt64(offset)) return DirError::E_MISSING_ARGUMENTS;
    Any* value = new Any();
    value->setObject(readBlock(path, offset));
    result->setResult(value);
    return 0;
}

int FileSystemSPI::getAttributes(const Principal*, DirectoryObject*, Attributes*& out) {
    out = new Attributes();
    out->setAttribute("root", _root.c_str());
    out->setAttribute("blockSize", kBlockSize);
    return 0;
}

int FileSystemSPI::getAcl(const Principal*, DirectoryObject*, Acl*& out) {
    out = new Acl("R`Administrators`Administrators`-`-`A,everyone@builtin/x,Read");
    return 0;
}

char* FileSystemSPI::toString() const {
    return strdup(("filesystem SPI of " + _root).c_str());
}
