// A scratch directory under /tmp, removed with everything in it at the end
// of the scope.
#ifndef DRV_TESTS_SUPPORT_TEMP_DIR_H
#define DRV_TESTS_SUPPORT_TEMP_DIR_H

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/drv-test-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        _path = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

// Writes text to a file, replacing it.
inline void writeFile(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        perror(path.c_str());
        abort();
    }
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

inline std::string readFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

#endif
