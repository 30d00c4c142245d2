// drvhost --lookup and --verify.
#include "host/creds_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "common/os.h"
#include "common/properties.h"
#include "creds/creds.h"

namespace {

// The log goes to a file when asked, else to standard error, so that the
// answer alone is on standard output; the properties file gives the
// credential settings (buffer size, workaround, group lock, log level).
void setUp(const HostSettings& settings) {
    if (settings.logDir != nullptr)
        setLogDir(settings.logDir);
    else
        setLog("/dev/stderr");
    // Without a file the defaults serve; no warning to clutter the answer.
    if (access(settings.propertiesPath, F_OK) != 0) return;
    s_setDravikaPropertiesPath(settings.propertiesPath);
    s_testDravikaProperties(false, nullptr);
}

bool parseId(const char* text, long& id) {
    char* end = nullptr;
    errno = 0;
    id = strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && id >= 0 && id <= 0xffffffffL;
}

std::string groupNames(char** list) {
    std::string text;
    for (char** g = list; g != nullptr && *g != nullptr; g++) text += std::string(text.empty() ? "" : ", ") + *g;
    return text;
}

int printUser(int rc, struct passwd* found, const char* value, FILE* out) {
    if (rc != 0) {
        fprintf(stderr, "drvhost: the lookup of user %s failed: %s\n", value, strerror(rc));
        return 2;
    }
    if (found == nullptr) {
        fprintf(stderr, "drvhost: no such user: %s\n", value);
        return 1;
    }
    char** groups = s_getgrouplist(found->pw_name);
    fprintf(out, "user %s: uid %u, gid %u, home %s, groups %s\n", found->pw_name, static_cast<unsigned>(found->pw_uid),
            static_cast<unsigned>(found->pw_gid), found->pw_dir, groupNames(groups).c_str());
    s_free_grouplist(groups);
    return 0;
}

int printGroup(int rc, struct group* found, const char* value, FILE* out) {
    if (rc != 0) {
        fprintf(stderr, "drvhost: the lookup of group %s failed: %s\n", value, strerror(rc));
        return 2;
    }
    if (found == nullptr) {
        fprintf(stderr, "drvhost: no such group: %s\n", value);
        return 1;
    }
    fprintf(out, "group %s: gid %u\n", found->gr_name, static_cast<unsigned>(found->gr_gid));
    return 0;
}

// A password typed on the terminal, not echoed; from standard input (one
// line) when there is no terminal.
std::string readPassword() {
    std::string password;
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    FILE* in = tty >= 0 ? fdopen(tty, "r+") : stdin;
    struct termios saved;
    bool quiet = tty >= 0 && tcgetattr(tty, &saved) == 0;
    if (quiet) {
        struct termios noEcho = saved;
        noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &noEcho);
        fputs("Password: ", in);
        fflush(in);
    }
    char line[1024];
    if (in != nullptr && fgets(line, sizeof(line), in) != nullptr) {
        password = line;
        if (!password.empty() && password.back() == '\n') password.pop_back();
    }
    if (quiet) {
        tcsetattr(tty, TCSAFLUSH, &saved);
        fputs("\n", in);
    }
    if (in != nullptr && in != stdin) fclose(in);
    memset(line, 0, sizeof(line));
    return password;
}

}  // namespace

bool isLookupKind(const char* kind) {
    for (const char* k : {"user", "uid", "group", "gid", "host"})
        if (strcmp(kind, k) == 0) return true;
    return false;
}

bool isLookupValue(const char* kind, const char* value) {
    long id = 0;
    return (strcmp(kind, "uid") != 0 && strcmp(kind, "gid") != 0) || parseId(value, id);
}

int runLookup(const HostSettings& settings, const char* kind, const char* value, FILE* out) {
    setUp(settings);
    char buf[16384];
    int rc = 0;
    long id = 0;
    if (strcmp(kind, "uid") == 0 || strcmp(kind, "gid") == 0) parseId(value, id);
    int result;
    if (strcmp(kind, "user") == 0 || strcmp(kind, "uid") == 0) {
        struct passwd pw, *found = nullptr;
        rc = strcmp(kind, "user") == 0 ? s_getpwnam_r(value, &pw, buf, sizeof(buf), &found)
                                               : s_getpwuid_r(static_cast<uid_t>(id), &pw, buf, sizeof(buf), &found);
        result = printUser(rc, found, value, out);
    } else if (strcmp(kind, "group") == 0 || strcmp(kind, "gid") == 0) {
        struct group gr, *found = nullptr;
        rc = strcmp(kind, "group") == 0 ? s_getgrnam_r(value, &gr, buf, sizeof(buf), &found)
                                        : s_getgrgid_r(static_cast<gid_t>(id), &gr, buf, sizeof(buf), &found);
        result = printGroup(rc, found, value, out);
    } else {
        int error = 0;
        uint32_t address = s_gethostbyname(value, &error);
        if (error == 0) {
            char text[16];
            fprintf(out, "host %s: %s\n", value, s_inet_ntoa(text, sizeof(text), address));
            result = 0;
        } else if (error == HOST_NOT_FOUND) {
            fprintf(stderr, "drvhost: no such host: %s\n", value);
            result = 1;
        } else {
            fprintf(stderr, "drvhost: the lookup of host %s failed\n", value);
            result = 2;
        }
    }
    credCleanup();
    return result;
}

int runVerify(const HostSettings& settings, const char* user, const char* service, FILE* out) {
    setUp(settings);
    std::string password = readPassword();
    char** groups = s_verify_login(service, user, "LOCAL", password.c_str(), false);
    std::fill(password.begin(), password.end(), '\0');
    int result;
    if (groups != nullptr) {
        fprintf(out, "login of %s accepted by PAM service %s; groups: %s\n", user, service, groupNames(groups).c_str());
        s_free_grouplist(groups);
        result = 0;
    } else {
        fprintf(out, "login of %s refused by PAM service %s\n", user, service);
        result = 1;
    }
    credCleanup();
    return result;
}
