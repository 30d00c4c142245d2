// The operating-system layer: thin s_ wrappers that put the configured root
// prefix in front of absolute paths, system facts, formatting helpers,
// identifiers and the assertion report.
#ifndef DRV_COMMON_OS_H
#define DRV_COMMON_OS_H

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>

// ---- Shutdown and assertions ----

// Set once shutdown has begun (by s_fireShutdownHandlers); never cleared.
// From then on assertions are ignored and condition blocks are left alone.
// Atomic: the signal thread sets it while every thread may read it.
extern std::atomic<bool> _shutdown;

// When set (the default), a failed assertion ends the process: SIGABRT, then
// _exit(55) should SIGABRT be caught or ignored.
extern bool _abortOnAssert;
// When set and aborting is off, a failed assertion sends SIGQUIT to the own
// process (for a managed runtime that dumps its threads) and sleeps 2 s.
extern bool _managedRuntime;

// Reports a broken invariant: "|||== assertion failure: %s, at %s:%d" and a stack dump.
void _dravika_assert(const char* expr, const char* file, int line);
// Logs "Assertion..." and up to 50 stack frames.
void s_dump_stack();

#define DRV_ASSERT(cond) \
    do {                 \
        if (!(cond)) _dravika_assert(#cond, __FILE__, __LINE__); \
    } while (0)

// ---- Root prefix ----

// The prefix holds at most this many bytes.
const size_t kChrootPathMax = 4096;

// Sets the root prefix (null or "" clears it); at most kChrootPathMax bytes are kept.
void s_set_chroot_path(const char* path);
// The prefix, or null when none is set.
const char* s_get_chroot_path();
// path unchanged without a prefix or for a relative path; otherwise the
// prefix and path written into buf ("//x" loses one slash) and buf returned.
const char* s_adjust_path(char* buf, size_t len, const char* path);
// Looks name up in "<confDir>/security/chroot.conf" (lines "name: path";
// blanks, comments starting with '#' or '/' ignored) and copies its path into
// out, truncated to outLen - 1. 0 when found, -1 otherwise.
int s_getchroot(char* out, size_t outLen, const char* confDir, const char* name);

// ---- Path wrappers ----
// Each returns what its system call returns (errno set on failure). Those
// with an adjust flag apply the prefix only when it is set; the others always
// do. A prefixed path that does not fit fails with ENAMETOOLONG.

int s_access(const char* path, int mode);
int s_mkdir(const char* path, mode_t mode);
int s_chown(const char* path, uid_t uid, gid_t gid);
int s_chmod(const char* path, mode_t mode);
int s_rename(const char* from, const char* to);
int s_stat(const char* path, struct stat64* st, bool adjust);
int s_lstat(const char* path, struct stat64* st, bool adjust);
DIR* s_opendir(const char* path, bool adjust);
int s_open(const char* path, int flags, int mode, bool adjust);
// s_open whose open never waits for a named pipe's other end, which may never
// come: a FIFO that nobody writes to opens and reads as empty, one that
// nobody reads fails to open for writing (ENXIO). The descriptor (close on
// exec) blocks as usual afterwards, so a pipe that has its other end works.
int s_open_nowait(const char* path, int flags, int mode, bool adjust);
FILE* s_fopen(const char* path, const char* mode);
// Both check that target exists (through the prefix) first. The symbolic
// link keeps target as its text, to be resolved inside the prefix; the hard
// link needs the real file, so its target is prefixed too.
int s_symlink(const char* target, const char* link);
int s_link(const char* target, const char* link);
// Sets the modification time from milliseconds since the epoch, keeping the
// access time. -1 when the file cannot be stat'ed.
int s_setTLM(const char* path, long long ms);
// Milliseconds since the epoch as a timespec for utimensat. A time before
// 1970 is negative, and so is its remainder: it is carried into the seconds
// so that the nanoseconds stay in range (utimensat refuses them otherwise).
struct timespec s_timespecOfMs(long long ms);
// Makes a temporary file "/tmp/dravika.XXXXXXXX"; path receives its name and
// must hold kTempPathLength bytes. Returns the open descriptor or -1.
const size_t kTempPathLength = 22;
int s_mkstemp(char* path);
// readdir_r with the result pointer cleared first.
int s_readdir_r(DIR* dir, struct dirent* entry, struct dirent** result);

// ---- Permissions and trees ----

// Would a user with uid, primary group gid and the zero-terminated
// supplementary list groups (may be null) be granted every bit of mode
// (4 read, 2 write, 1 execute) on path? Root may always execute; otherwise
// only the file's mode bits count.
bool s_access(const char* path, int mode, uid_t uid, gid_t gid, const gid_t* groups);
// Removes a file or a whole tree, children first, never following symbolic
// links. 0, or the shared error code of the first failure (23, 15 or 34).
int s_remove_path(const char* path);
// Gives a file or a whole tree to uid:gid; symbolic links themselves are
// re-owned, never followed. 0, or the shared error code of the first failure.
int s_chown_recursively(const char* path, int uid, int gid);

// ---- Mounted file systems ----

struct DrvFsEntry {
    char* device;
    char* mountPoint;
    char* options;  // the mount options; may be null
    char* type;
    long long totalKb;
    long long freeKb;
    long long availKb;
    long long totalInodes;
    long long freeInodes;
    long long freeInodes2;  // a second copy of freeInodes
    DrvFsEntry* next;
};

// Every mount in "/etc/mtab" with its sizes, in file order; null when the
// file cannot be opened. A mount whose statfs fails is listed with zero sizes.
DrvFsEntry* s_getfsstat();
void s_free_fsstat(DrvFsEntry* list);
// True for the file system types the agent watches: "ext*", "hfs*" and "nfs".
bool s_fsOk(const char* type);

// ---- Operating-system facts ----

// Sizes of s_get_os_info's text outputs.
const size_t kOsFieldLength = 65;  // sysname, release, version, machine
const size_t kDistroLength = 81;

// Fills the uname fields, the distribution text, the physical memory in
// bytes, the boot time (seconds since the epoch), a flag byte (always 0) and
// the number of configured processors, which it also returns. Any output may
// be null.
int s_get_os_info(char* sysname, char* release, char* version, char* machine, char* distro, long long* memory,
                  long long* bootTime, char* flag, int* cpus);
// The pieces of s_get_os_info that read files, with the files named.
// Distribution: first line of redhatRelease, else the DISTRIB_DESCRIPTION of
// lsbRelease without its quotes, else "".
void s_read_distro(char* out, size_t len, const char* redhatRelease, const char* lsbRelease);
// The "btime " value of a /proc/stat file, 0 when missing.
long long s_read_boot_time(const char* procStat);

// The host name in lower case. Returns what gethostname returns.
int s_gethostname(char* out, size_t len);
// "%u.%u.%u.%u" of an IPv4 address in network byte order; returns out.
char* s_inet_ntoa(char* out, size_t len, uint32_t address);
// Sets O_NONBLOCK; 0 or -1.
int s_setnonblocking(int fd);
// The content type of a file: always "text/text". Returns out.
char* s_getFileKind(char* out, size_t len);
// Seconds to milliseconds.
long long s_fixFileTime(long long seconds);
// Milliseconds on a clock that only moves forward (CLOCK_MONOTONIC), for
// deadlines and elapsed times that a change of the wall clock must not bend.
// Its zero is arbitrary: only differences mean anything.
long long monotonicMs();
// strerror(err) copied into out and terminated; returns out.
char* s_strerror(int err, char* out, size_t len);
// Prints the hardware address of the first real IPv4 interface as
// "xx:xx:xx:xx:xx:xx" into out (18 bytes). 0, or -1 (out empty) when none.
int getFirstMac(char* out);

// ---- Formats and hashes ----

// Decimal with "," between groups of three digits ("1,234,567"); a negative
// value gets one leading '-'. Returns out.
char* s_format_number(char* out, size_t len, long long value);
// djb2: 5381, then h * 33 + c for each (signed) character. 0 for null.
long long getHashValue(const char* text);
// 0x3ffffffffffe5, then h * 31 + (c - '0') for each character. Used for
// names kept in indexes and rules.
long long makeHash(const char* text);
// Hex dump in lines of 32 bytes with the printable characters beside them:
// hex to standard output, logHex to the log.
void hex(const unsigned char* data, int len);
void logHex(const unsigned char* data, int len);
// URL form encoding; the caller frees the result. Null for null.
char* urlEncode(const char* text);

// ---- Identifiers ----

// A time-based unique identifier in its 36-character text form; digits are
// shifted into 'g'..'v' by a process counter so that consecutive GUIDs differ.
// Free with freeGuid. Null when the identifier library fails.
char* makeGuid();
void freeGuid(char* guid);

#endif
