// Facts about the machine: mounted file systems, uname, distribution,
// memory, boot time, host name and hardware address; small conversions.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <limits.h>
#include <mntent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "common/log.h"
#include "common/os.h"

namespace {

char* dupOrNull(const char* text) {
    return text != nullptr ? strdup(text) : nullptr;
}

// Copies as much of text as fits, always terminated.
void copyText(char* out, size_t len, const char* text) {
    if (out == nullptr || len == 0) return;
    size_t n = strnlen(text, len - 1);
    memcpy(out, text, n);
    out[n] = '\0';
}

void chomp(char* line) {
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
}

}  // namespace

DrvFsEntry* s_getfsstat() {
    FILE* mtab = setmntent("/etc/mtab", "r");
    if (mtab == nullptr) return nullptr;
    DrvFsEntry* head = nullptr;
    DrvFsEntry** tail = &head;
    struct mntent mount;
    char buf[4096];
    while (getmntent_r(mtab, &mount, buf, sizeof(buf)) != nullptr) {
        DrvFsEntry* e = static_cast<DrvFsEntry*>(calloc(1, sizeof(DrvFsEntry)));
        if (e == nullptr) break;
        e->device = dupOrNull(mount.mnt_fsname);
        e->mountPoint = dupOrNull(mount.mnt_dir);
        e->options = dupOrNull(mount.mnt_opts);
        e->type = dupOrNull(mount.mnt_type);
        struct statfs fs;
        if (statfs(mount.mnt_dir, &fs) == 0) {
            // Whole kilobytes per block first, so that sizes stay exact for
            // every block size the agent's file systems use; a product past
            // the 64-bit range (a FUSE file system may report anything) is
            // held at its top instead of wrapping.
            long long kbPerBlock = static_cast<int>(fs.f_bsize / 1024);
            auto kb = [kbPerBlock](unsigned long long blocks) {
                long long out;
                return __builtin_mul_overflow(blocks, kbPerBlock, &out) ? LLONG_MAX : out;
            };
            e->totalKb = kb(fs.f_blocks);
            e->freeKb = kb(fs.f_bfree);
            e->availKb = kb(fs.f_bavail);
            e->totalInodes = static_cast<long long>(fs.f_files);
            e->freeInodes = static_cast<long long>(fs.f_ffree);
            e->freeInodes2 = e->freeInodes;
        }
        *tail = e;
        tail = &e->next;
    }
    endmntent(mtab);
    return head;
}

void s_free_fsstat(DrvFsEntry* list) {
    while (list != nullptr) {
        DrvFsEntry* next = list->next;
        free(list->device);
        free(list->mountPoint);
        free(list->options);
        free(list->type);
        free(list);
        list = next;
    }
}

bool s_fsOk(const char* type) {
    if (type == nullptr) return false;
    return strncmp(type, "ext", 3) == 0 || strncmp(type, "hfs", 3) == 0 || strcmp(type, "nfs") == 0;
}

void s_read_distro(char* out, size_t len, const char* redhatRelease, const char* lsbRelease) {
    if (out == nullptr || len == 0) return;
    out[0] = '\0';
    char line[kDistroLength];
    FILE* f = fopen(redhatRelease, "r");
    if (f != nullptr) {
        if (fgets(line, sizeof(line), f) != nullptr) {
            chomp(line);
            copyText(out, len, line);
        }
        fclose(f);
        return;
    }
    f = fopen(lsbRelease, "r");
    if (f == nullptr) return;
    static const char kKey[] = "DISTRIB_DESCRIPTION=";
    char text[1024];
    while (fgets(text, sizeof(text), f) != nullptr) {
        if (strncmp(text, kKey, sizeof(kKey) - 1) != 0) continue;
        chomp(text);
        char* value = text + sizeof(kKey) - 1;
        size_t n = strlen(value);
        if (n >= 2 && value[0] == '"' && value[n - 1] == '"') {
            value[n - 1] = '\0';
            value++;
        }
        copyText(out, len < sizeof(line) ? len : sizeof(line), value);
        break;
    }
    fclose(f);
}

long long s_read_boot_time(const char* procStat) {
    FILE* f = fopen(procStat, "r");
    if (f == nullptr) return 0;
    long long bootTime = 0;
    char line[1024];
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "btime ", 6) == 0) {
            bootTime = strtoll(line + 6, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return bootTime;
}

int s_get_os_info(char* sysname, char* release, char* version, char* machine, char* distro, long long* memory,
                  long long* bootTime, char* flag, int* cpus) {
    struct utsname u;
    if (uname(&u) != 0) memset(&u, 0, sizeof(u));
    copyText(sysname, kOsFieldLength, u.sysname);
    copyText(release, kOsFieldLength, u.release);
    copyText(version, kOsFieldLength, u.version);
    copyText(machine, kOsFieldLength, u.machine);
    if (distro != nullptr) s_read_distro(distro, kDistroLength, "/etc/redhat-release", "/etc/lsb-release");
    if (memory != nullptr) {
        long pages = sysconf(_SC_PHYS_PAGES);
        long pageSize = sysconf(_SC_PAGESIZE);
        *memory = pages > 0 && pageSize > 0 ? static_cast<long long>(pages) * pageSize : 0;
    }
    if (bootTime != nullptr) *bootTime = s_read_boot_time("/proc/stat");
    if (flag != nullptr) *flag = 0;
    int n = static_cast<int>(sysconf(_SC_NPROCESSORS_CONF));
    if (cpus != nullptr) *cpus = n;
    return n;
}

int s_gethostname(char* out, size_t len) {
    if (out == nullptr || len == 0) return -1;
    int rv = gethostname(out, len);
    out[len - 1] = '\0';
    for (char* p = out; *p != '\0'; p++) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return rv;
}

char* s_inet_ntoa(char* out, size_t len, uint32_t address) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    snprintf(out, len, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return out;
}

int s_setnonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
}

char* s_getFileKind(char* out, size_t len) {
    copyText(out, len, "text/text");
    return out;
}

long long s_fixFileTime(long long seconds) {
    return seconds * 1000;
}

long long monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

char* s_strerror(int err, char* out, size_t len) {
    if (out == nullptr || len == 0) return out;
    const char* text = strerror_r(err, out, len);
    if (text != out) snprintf(out, len, "%s", text);
    out[len - 1] = '\0';
    return out;
}

int getFirstMac(char* out) {
    out[0] = '\0';
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        log(errno, "Unable to obtain list of interfaces (getifaddrs)");
        return -1;
    }
    int rv = -1;
    for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
        uint32_t a = ntohl(reinterpret_cast<const struct sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr);
        // Unconfigured, broadcast, loopback and multicast addresses do not
        // identify the machine.
        if (a == 0 || a == 0xffffffffu || a == 0x7f000001u || (a >> 28) == 0xe) continue;
        struct ifreq req;
        memset(&req, 0, sizeof(req));
        snprintf(req.ifr_name, sizeof(req.ifr_name), "%s", ifa->ifa_name);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0 || ioctl(fd, SIOCGIFHWADDR, &req) != 0) {
            int err = errno;
            log(err, "Unable to call SIOCGIFHWADDR to get hardware address of interface");
            if (fd >= 0) close(fd);
            break;
        }
        close(fd);
        const unsigned char* m = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
        snprintf(out, 18, "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", m[0], m[1], m[2], m[3], m[4], m[5]);
        rv = 0;
        break;
    }
    freeifaddrs(list);
    return rv;
}
