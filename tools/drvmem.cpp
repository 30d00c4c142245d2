// drvmem: the memory analyser for the allocator hooks. Reads a report
// stream, from a file or from the Unix socket the hooked process connects
// to, and prints the blocks still outstanding grouped by the stack that
// allocated them, with names from the ELF symbol tables of the mapped
// files, and every guard violation.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "tools/mem_report.h"

namespace {

const char kUsage[] =
    "Usage: drvmem [OPTIONS] REPORT\n"
    "       drvmem [OPTIONS] --listen SOCKET\n"
    "Reads the report stream of the memory analysis hooks and prints the blocks\n"
    "still outstanding at its end, grouped by the stack that allocated them (most\n"
    "bytes first), then every guard violation with the stack of the free that\n"
    "found it. Frames are named from the symbol tables of the files the report's\n"
    "mapping records name; a frame without a name shows its file and offset.\n"
    "REPORT is a file the hooks wrote, or \"-\" for standard input.\n"
    "\n"
    "  --listen SOCKET  create the Unix socket SOCKET, take one connection (the\n"
    "                   process whose hooks report to SOCKET) and read it until\n"
    "                   the process ends or drvmem is interrupted (Ctrl-C)\n"
    "  --no-symbols     do not read the mapped files; frames show file and offset\n"
    "  -h, --help       show this text\n"
    "\n"
    "Exit status: 0 when the stream was read to its end; 1 when it is malformed\n"
    "(what came before is still printed, the error on standard error); 2 for an\n"
    "unreadable file or a socket that cannot be created; 64 for a bad command\n"
    "line.\n";

volatile sig_atomic_t _interrupted = 0;

void onInterrupt(int) {
    _interrupted = 1;
}

int usageError(const char* text) {
    fprintf(stderr, "drvmem: %s\nTry 'drvmem --help'.\n", text);
    return 64;
}

// Reads fd to its end (or until interrupted) into the report; the errno
// of a read that failed, else 0.
int readAll(int fd, MemReport& report) {
    char buf[65536];
    struct pollfd p = {fd, POLLIN, 0};
    while (!_interrupted && !report.failed()) {
        int ready = poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) return errno;
        if (ready <= 0) continue;
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        report.feed(buf, static_cast<size_t>(n));
    }
    return 0;
}

int acceptOne(const char* path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(addr.sun_path)) {
        fprintf(stderr, "drvmem: socket path longer than %zu bytes: %s\n", sizeof(addr.sun_path) - 1, path);
        return -1;
    }
    strcpy(addr.sun_path, path);
    // A socket left behind by an earlier run is replaced; any other file is not.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path);
    int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || bind(server, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(server, 1) != 0) {
        fprintf(stderr, "drvmem: cannot listen on %s: %s\n", path, strerror(errno));
        if (server >= 0) close(server);
        return -1;
    }
    fprintf(stderr, "drvmem: listening on %s\n", path);
    int fd = -1;
    struct pollfd p = {server, POLLIN, 0};
    while (!_interrupted && fd < 0) {
        if (poll(&p, 1, 200) > 0) fd = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    }
    close(server);
    unlink(path);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const char* input = nullptr;
    const char* listenPath = nullptr;
    bool symbols = true;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else if (strcmp(a, "--listen") == 0) {
            if (i + 1 >= argc) return usageError("--listen needs a socket path");
            listenPath = argv[++i];
        } else if (strcmp(a, "--no-symbols") == 0) {
            symbols = false;
        } else if (a[0] == '-' && a[1] != '\0') {
            return usageError((std::string("unknown option ") + a).c_str());
        } else if (input != nullptr) {
            return usageError("more than one report");
        } else {
            input = a;
        }
    }
    if ((input == nullptr) == (listenPath == nullptr)) return usageError("give a report file or --listen SOCKET");

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int fd;
    if (listenPath != nullptr) {
        fd = acceptOne(listenPath);
        if (fd < 0) return _interrupted ? 0 : 2;
    } else if (strcmp(input, "-") == 0) {
        fd = STDIN_FILENO;
    } else {
        fd = open(input, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "drvmem: cannot read %s: %s\n", input, strerror(errno));
            return 2;
        }
    }
    MemReport report;
    int readError = readAll(fd, report);
    if (fd != STDIN_FILENO) close(fd);
    // An interrupted read stops between pieces; a record cut there is not the stream's fault.
    if (!_interrupted && readError == 0) report.finish();

    MemSymbolizer names(report.mappings(), symbols);
    fputs(formatMemReport(report, names).c_str(), stdout);
    fflush(stdout);  // the report before the error, also when both go to one pipe
    if (readError != 0) {
        const char* from = listenPath != nullptr ? listenPath : strcmp(input, "-") == 0 ? "standard input" : input;
        fprintf(stderr, "drvmem: cannot read %s: %s\n", from, strerror(readError));
        return 2;
    }
    if (report.failed()) {
        fprintf(stderr, "drvmem: malformed report: %s\n", report.error().c_str());
        return 1;
    }
    return 0;
}
