// Parser::source: loading and running script files, or every ".js" file of a
// directory, each in a parser of its own over the same root scope. Errors
// are logged, not returned as script errors: one broken file does not stop
// the others.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/os.h"
#include "script/parser.h"

namespace {

// Collects and discards what a sourced script writes.
class DiscardOutput : public ParserOutput {
public:
    int write(const char*, size_t) override { return 0; }
};

bool readWhole(const char* path, std::string& text) {
    FILE* f = s_fopen(path, "rb");
    if (f == nullptr) return false;
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

// The directories being walked, outermost first, by device and inode.
using WalkPath = std::vector<std::pair<dev_t, ino_t>>;

int sourcePath(const Principal* principal, const ObjRef* root, const char* path, const char* name,
               WalkPath& walking);

int sourceFile(const Principal* principal, const ObjRef* root, const char* path, const char* name,
               const struct stat64& st);

int sourceDirectory(const Principal* principal, const ObjRef* root, const char* path, const char* name,
                    const struct stat64& st, WalkPath& walking) {
    // A link to a directory that is already being walked (the directory
    // itself or an ancestor) would take the walk round and round; two such
    // links double the work at every turn. It is passed over.
    for (const auto& d : walking)
        if (d.first == st.st_dev && d.second == st.st_ino) return 0;
    DIR* dir = s_opendir(path, true);
    if (dir == nullptr) {
        int err = errno;
        log(LOG_WARNING, err, 0, "Unable to source files in directory: %s", path);
        return err;
    }
    walking.emplace_back(st.st_dev, st.st_ino);
    while (struct dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        std::string sub = std::string(path) + "/" + e->d_name;
        std::string display = name == nullptr || *name == '\0' ? std::string(e->d_name)
                                                               : std::string(name) + "/" + e->d_name;
        sourcePath(principal, root, sub.c_str(), display.c_str(), walking);
    }
    walking.pop_back();
    closedir(dir);
    return 0;
}

int sourcePath(const Principal* principal, const ObjRef* root, const char* path, const char* name,
               WalkPath& walking) {
    struct stat64 st;
    if (s_stat(path, &st, true) != 0) {
        int err = errno;
        log(LOG_WARNING, err, 0, "Unable to source files from: %s", path);
        return err;
    }
    if (S_ISDIR(st.st_mode)) return sourceDirectory(principal, root, path, name, st, walking);
    return sourceFile(principal, root, path, name, st);
}

int sourceFile(const Principal* principal, const ObjRef* root, const char* path, const char* name,
               const struct stat64& st) {
    size_t len = strlen(path);
    if (!S_ISREG(st.st_mode) || len <= 3 || strcmp(path + len - 3, ".js") != 0) return 0;
    std::string text;
    if (!readWhole(path, text)) {
        int err = errno;
        log(LOG_WARNING, err, 0, "Unable to source file: %s", path);
        return err;
    }
    const char* display = name;
    if (display == nullptr || *display == '\0') {
        const char* slash = strrchr(path, '/');
        display = slash != nullptr ? slash + 1 : path;
    }
    DiscardOutput output, debug;
    Parser parser(display, text.c_str(), root, 1, 0, false);
    parser.setOutput(&output);
    parser.setDebugStream(&debug);
    if (!parser.parseScript() || !parser.executeScript(principal, root)) {
        if (const Error* e = parser.getError()) {
            char* msg = const_cast<Error*>(e)->toString(&parser);
            log(LOG_ERROR, 0, 0, "%s\n", msg != nullptr ? msg : "");
            free(msg);
        }
    }
    return 0;
}

}  // namespace

int Parser::source(const Principal* principal, const ObjRef* root, const char* path) {
    return source(principal, root, path, "");
}

int Parser::source(const Principal* principal, const ObjRef* root, const char* path, const char* name) {
    WalkPath walking;
    return sourcePath(principal, root, path, name, walking);
}
