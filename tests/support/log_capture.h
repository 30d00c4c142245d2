// Sends the runtime's log to a scratch file for the life of a test and hands
// back what was written; the log is unconfigured again afterwards.
#ifndef DRV_TESTS_SUPPORT_LOG_CAPTURE_H
#define DRV_TESTS_SUPPORT_LOG_CAPTURE_H

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "tests/support/temp_dir.h"

class LogCapture {
public:
    LogCapture() {
        char name[] = "/tmp/drv-log-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) abort();
        // Writable for everyone: a test may log while it acts as another user.
        fchmod(fd, 0666);
        close(fd);
        _path = name;
        setLog(_path.c_str());
    }
    ~LogCapture() {
        setLog("");
        unlink(_path.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string text() const { return readFile(_path); }
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
    // How many times part was logged so far.
    int count(const std::string& part) const {
        const std::string all = text();
        int n = 0;
        for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + part.size())) n++;
        return n;
    }
    // The messages logged so far without their time prefixes, one per line.
    std::string messages() const {
        std::string out;
        for (const std::string& line : splitLines(text())) {
            // "HH:MM:SS.mmm: " is 14 characters; error lines have no prefix.
            bool prefixed = line.size() >= 14 && line[2] == ':' && line[5] == ':' && line[8] == '.' && line[12] == ':';
            out += (prefixed ? line.substr(14) : line) + "\n";
        }
        return out;
    }
    // Forgets what was logged so far.
    void clear() { truncate(_path.c_str(), 0); }

private:
    std::string _path;
};

#endif
