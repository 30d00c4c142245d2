// Reads arbitrary bytes as a statistics file: with the first byte even as
// the body of a file (its buffer form), with it odd as a whole file (the
// magic line, then what should be a gzip stream), through the same reader
// that opens files on disk. What reads is written again and must read back.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "records/stats_file.h"

namespace {

void use(StatsFile* f) {
    f->findLatestContainingClsid(30);
    char* buf = nullptr;
    size_t len = 0;
    if (f->writeToBuffer(&buf, &len) != 0) abort();
    StatsFile* back = StatsFile::readFromBuffer(buf, len);
    if (back == nullptr || back->count != f->count) abort();
    delete back;
    free(buf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = [] {
        _log_level = LOG_CRITICAL + 1;
        // A small input cannot claim a large body (and each claim costs
        // an allocation of its size).
        StatsFile::_maxBodyBytes = 1 << 16;
        return memfd_create("stats-fuzz", 0);
    }();
    if (size < 1 || fd < 0) return 0;
    StatsFile* f = nullptr;
    if (data[0] % 2 == 0) {
        f = StatsFile::readFromBuffer(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        std::string content = StatsFile::kMagic;
        content.append(reinterpret_cast<const char*>(data + 1), size - 1);
        if (ftruncate(fd, 0) != 0 || pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
            return 0;
        char path[64];
        snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
        char why[256];
        int err = 0;
        f = StatsFile::readFromFile(path, why, sizeof(why), &err);
    }
    if (f != nullptr) use(f);
    delete f;
    return 0;
}
