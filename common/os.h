// The operating-system layer: thin s_ wrappers that put the configured root
// prefix in front of absolute paths, system facts, identifiers and the
// assertion report.
#ifndef DRV_COMMON_OS_H
#define DRV_COMMON_OS_H

#include <dirent.h>
#include <stddef.h>

// Set once shutdown has begun (by s_fireShutdownHandlers); never cleared.
// From then on assertions are ignored and condition blocks are left alone.
extern volatile bool _shutdown;

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

// Root prefix: every path-taking wrapper puts it in front of absolute paths.
void s_set_chroot_path(const char* path);
// The prefix, or null when none is set.
const char* s_get_chroot_path();
// path unchanged without a prefix or for a relative path; otherwise the
// prefix and path written into buf ("//x" loses one slash) and buf returned.
const char* s_adjust_path(char* buf, size_t len, const char* path);

DIR* s_opendir(const char* path, bool adjust);
// readdir_r with the result pointer cleared first.
int s_readdir_r(DIR* dir, struct dirent* entry, struct dirent** result);

// A time-based unique identifier in its 36-character text form; digits are
// shifted into 'g'..'v' by a process counter so that consecutive GUIDs differ.
// Free with freeGuid.
char* makeGuid();
void freeGuid(char* guid);

#endif
