// main of the credential test programs: the lookup child when started with
// "-testcred" (with the test hooks of creds_test_support.h), the tests otherwise.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "creds/creds.h"
#include "tests/creds/creds_test_support.h"

namespace {

void appendLine(const std::string& file, const std::string& line) {
    int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0) return;
    std::string text = line + "\n";
    // One write, so that lines of concurrent children never interleave.
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
}

void beforeServe(int operation, const char* name) {
    if (credstest::dir().empty()) return;
    appendLine(credstest::path("children"), std::to_string(operation) + " " + name);
    if (access(credstest::path("slow").c_str(), F_OK) == 0) usleep(300 * 1000);
    // rename is atomic: exactly one child takes each marker.
    if (rename(credstest::path("hang").c_str(), credstest::path("hung").c_str()) == 0) {
        appendLine(credstest::path("hung.pid"), std::to_string(getpid()));
        for (;;) pause();
    }
    if (rename(credstest::path("die").c_str(), credstest::path("died").c_str()) == 0) _exit(3);
    // A helper forked by a name-service or PAM module keeps every descriptor
    // of the child, the answer pipe among them, and may outlive it.
    if (rename(credstest::path("linger").c_str(), credstest::path("lingered").c_str()) == 0) {
        pid_t helper = fork();
        if (helper == 0) {
            appendLine(credstest::path("linger.pid"), std::to_string(getpid()));
            for (int i = 0; i < 600; i++) usleep(100 * 1000);
            _exit(0);
        }
        // The child ends unanswered once its helper is recorded.
        for (int i = 0; i < 1000 && access(credstest::path("linger.pid").c_str(), F_OK) != 0; i++) usleep(10000);
        _exit(3);
    }
}

int pamStart(const char* service, const char* user, const struct pam_conv* conversation, pam_handle_t** handle) {
    std::string confdir = credstest::path("pam.d");
    return pam_start_confdir(service, user, conversation, confdir.c_str(), handle);
}

// With "sss" present, a group by id comes back the way libnss-sss can make
// the C library report it: filled in, yet ERANGE and no result pointer;
// "sss-other" does the same with a group of another id.
int getgrgidR(gid_t gid, struct group* group, char* buffer, size_t size, struct group** result) {
    bool other = access(credstest::path("sss-other").c_str(), F_OK) == 0;
    if (credstest::dir().empty() || (!other && access(credstest::path("sss").c_str(), F_OK) != 0))
        return getgrgid_r(gid, group, buffer, size, result);
    static const char kName[] = "drv-sss-group";
    *result = nullptr;
    if (size < sizeof(kName)) return ERANGE;
    memcpy(buffer, kName, sizeof(kName));
    group->gr_name = buffer;
    group->gr_passwd = buffer + sizeof(kName) - 1;
    group->gr_gid = other ? gid + 1 : gid;
    group->gr_mem = nullptr;
    return ERANGE;
}

// With "many-groups" present, the enumeration lists that many made-up groups.
int getgrentR(struct group* group, char* buffer, size_t size, struct group** result) {
    static long total = -1;
    static long next = 0;
    if (total < 0) {
        std::string count = credstest::dir().empty() ? "" : readFile(credstest::path("many-groups"));
        total = count.empty() ? 0 : atol(count.c_str());
    }
    if (total == 0) return getgrent_r(group, buffer, size, result);
    *result = nullptr;
    if (next >= total) return ENOENT;
    int length = snprintf(buffer, size, "drv-many-%ld", next);
    if (length < 0 || static_cast<size_t>(length) + 1 > size) return ERANGE;
    group->gr_name = buffer;
    group->gr_passwd = buffer + length;
    group->gr_gid = credstest::kManyGroupsFirstId + static_cast<gid_t>(next);
    group->gr_mem = nullptr;
    next++;
    *result = group;
    return 0;
}

const CredsChildHooks kHooks = {beforeServe, pamStart, getgrgidR, getgrentR};

}  // namespace

int main(int argc, char** argv) {
    credsSetChildHooks(&kHooks);
    credsProgramStart(argc, argv);  // a child serves its request and exits here

    char dir[] = "/tmp/drv-creds-test.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    setenv("DRV_CREDS_TEST_DIR", dir, 1);
    mkdir((std::string(dir) + "/pam.d").c_str(), 0700);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    credCleanup();
    nftw(dir, [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16, FTW_DEPTH | FTW_PHYS);
    return rc;
}
