// A scratch directory for one test, removed with everything in it when the
// test ends, and small helpers to write and read whole files.
#ifndef DRV_TESTS_SUPPORT_TEMP_DIR_H
#define DRV_TESTS_SUPPORT_TEMP_DIR_H

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/drvtest.XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            perror("mkdtemp");
            abort();
        }
        _path = made;
    }
    ~TempDir() {
        // Read-only folders are opened up first: without root, nothing in
        // them could be removed.
        nftw(
            _path.c_str(),
            [](const char* p, const struct stat* st, int kind, struct FTW*) {
                if (kind == FTW_D || kind == FTW_DNR) chmod(p, (st->st_mode & 07777) | S_IRWXU);
                return 0;
            },
            16, FTW_PHYS);
        nftw(_path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

// Writes content to a file, replacing it.
inline void writeFile(const std::string& path, const std::string& content) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        abort();
    }
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

// The file's bytes, or "" when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

#endif
