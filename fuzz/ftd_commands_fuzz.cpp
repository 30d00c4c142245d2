// Feeds arbitrary bytes to the receiving service's command reading, as if a
// peer had sent them after connecting: openings, commands, file lists,
// partial-update exchanges, single-file reads and writes. The service writes
// into a scratch root, which is emptied now and then; nothing may ever
// appear beside it.
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/dravika_init.h"
#include "common/log.h"
#include "dirbase/message.h"
#include "tools/ftd/ftd_server.h"
#include "tools/ftd/ftd_session.h"

namespace {

struct Scratch {
    std::string top;
    std::string root;
    FtdServer* server;
    Scratch() {
        dravika_init();
        setLog("/dev/null");
        char pattern[] = "/tmp/ftdfuzz.XXXXXX";
        top = mkdtemp(pattern);
        root = top + "/root";
        mkdir(root.c_str(), 0755);
        server = new FtdServer(root.c_str(), nullptr, nullptr);
    }
    // The run's files go with the process (libFuzzer ends it through exit).
    ~Scratch() {
        int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0) {
            FtdTree::removeAt(fd, "root");
            close(fd);
        }
        rmdir(top.c_str());
    }
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

// The scratch folder must hold the root and nothing else.
void checkConfined(const Scratch& s) {
    DIR* d = opendir(s.top.c_str());
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 || strcmp(e->d_name, "root") == 0) continue;
        fprintf(stderr, "written outside the root: %s\n", e->d_name);
        abort();
    }
    closedir(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch& s = scratch();
    static int runs = 0;
    Message in(reinterpret_cast<const char*>(data), size);
    Message out(0);
    FtdSession session(s.server, &in, &out, "fuzz");
    session.run();
    checkConfined(s);
    if (++runs % 500 == 0) {
        int fd = s.server->tree().rootFd();
        DIR* d = fdopendir(dup(fd));
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) FtdTree::removeAt(fd, e->d_name);
        closedir(d);
    }
    return 0;
}
