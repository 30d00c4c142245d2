// The readers of small system and configuration files over arbitrary bytes:
// the chroot.conf lookup, the distribution release files and the boot time
// line of /proc/stat. The first byte chooses the reader and the output size;
// for the lookup, the bytes up to the first newline are the name looked for
// and the rest is the file. Nothing may crash, leak or write past an output.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "common/os.h"

namespace {

struct Scratch {
    std::string dir;
    std::string security;
    std::string conf;
    std::string redhat;
    std::string lsb;
    std::string missing;
    Scratch() {
        char pattern[] = "/tmp/os_files_fuzz.XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        dir = pattern;
        security = dir + "/security";
        if (mkdir(security.c_str(), 0700) != 0) abort();
        conf = security + "/chroot.conf";
        redhat = dir + "/redhat-release";
        lsb = dir + "/lsb-release";
        missing = dir + "/missing";
        setLog("");
        setLogDir("");
    }
    ~Scratch() {
        unlink(conf.c_str());
        unlink(redhat.c_str());
        unlink(lsb.c_str());
        rmdir(security.c_str());
        rmdir(dir.c_str());
    }
};

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    fwrite(data, 1, size, f);
    fclose(f);
}

// An output of exactly len bytes on the heap, so that a write past it is seen.
void checkTerminated(const std::vector<char>& out) {
    if (memchr(out.data(), '\0', out.size()) == nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    if (size < 1) return 0;
    const uint8_t choice = data[0];
    data++;
    size--;
    static const size_t kLengths[] = {1, 2, 8, 80, 81, 4096};
    const size_t len = kLengths[(choice >> 2) % (sizeof(kLengths) / sizeof(kLengths[0]))];
    std::vector<char> out(len, 'x');

    switch (choice & 3) {
    case 0: {
        const uint8_t* nl = static_cast<const uint8_t*>(memchr(data, '\n', size));
        size_t nameLen = nl != nullptr ? static_cast<size_t>(nl - data) : size;
        std::string name(reinterpret_cast<const char*>(data), nameLen);
        name = name.c_str();  // up to an embedded NUL, as a C caller would pass it
        size_t skip = nl != nullptr ? nameLen + 1 : nameLen;
        writeFile(scratch.conf, data + skip, size - skip);
        int rv = s_getchroot(out.data(), out.size(), scratch.dir.c_str(), name.c_str());
        if (rv != 0 && rv != -1) abort();
        if (rv == 0) checkTerminated(out);
        break;
    }
    case 1:
        writeFile(scratch.redhat, data, size);
        s_read_distro(out.data(), out.size(), scratch.redhat.c_str(), scratch.missing.c_str());
        checkTerminated(out);
        break;
    case 2:
        writeFile(scratch.lsb, data, size);
        s_read_distro(out.data(), out.size(), scratch.missing.c_str(), scratch.lsb.c_str());
        checkTerminated(out);
        break;
    default:
        writeFile(scratch.lsb, data, size);
        s_read_boot_time(scratch.lsb.c_str());
        break;
    }
    return 0;
}
