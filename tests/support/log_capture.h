// Sends the runtime's log to a scratch file for the life of the object, so
// that a test can look at the lines it wrote; afterwards the log is dropped.
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
        setLog("/dev/null");
        unlink(_path.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return readFile(_path); }
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

private:
    std::string _path;
};

#endif
