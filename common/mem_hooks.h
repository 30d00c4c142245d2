// Memory analysis hooks: the process's malloc, calloc, realloc and free,
// replaced by versions that can report every allocation and release, with
// the caller's stack, to an external analyser (tools/drvmem reads the
// stream), and can fence each block with guard patterns that are compared
// when the block is freed.
//
// Reporting is off until the host turns it on; while it is off the
// replacements pass straight through to the C library's own allocator.
//
// The replacements live in their own library, drv_memhooks, which is always
// compiled without sanitizers and linked only into programs built without
// them: AddressSanitizer and ThreadSanitizer own malloc themselves. The
// shared library libdrvmemhooks.so carries the same hooks for LD_PRELOAD
// (common/mem_hooks_preload.cpp says how it is turned on). A
// program linked without the library has none of these functions, so code
// that may run in either kind of program calls them through the weak
// references below and tests them first:
//
//     if (drv_post_fork_hooks != nullptr) drv_post_fork_hooks();
//
// The report stream (native byte order, every record begins with its type
// byte; a frame count is followed by that many 8-byte return addresses, the
// innermost frame, the hook itself, left out):
//
//   1 allocation          frame count (4), frames, requested size (8), block address (8)
//   2 release             frame count (4), frames, block address (8)
//   3 executable mapping  start (8), end (8), path length (4), path bytes
//   4 message             frame count (4), frames, text length (8), text bytes
//
// With guards on, a block is laid out as: user size (8), the pre-guard (16),
// the user area, the post-guard (16); the block address reported is the
// start of that block, the caller gets block + 24.
//
// Thread-safety: all reporting and all guarded bookkeeping happen under one
// process-wide mutex that is never destroyed, so records from different
// threads never interleave. The set-up functions are meant for the start of
// the process (and, for drv_post_fork_hooks, a freshly forked child), while
// no other thread allocates.
#ifndef DRV_COMMON_MEM_HOOKS_H
#define DRV_COMMON_MEM_HOOKS_H

#include <stddef.h>
#include <stdint.h>

// Record types of the report stream.
enum DrvMemRecord {
    DRV_MEM_ALLOC = 1,
    DRV_MEM_RELEASE = 2,
    DRV_MEM_MAPPING = 3,
    DRV_MEM_MESSAGE = 4,
};

// Frames captured per record; the innermost is not reported.
#define DRV_MEM_MAX_FRAMES 30
// Bytes in front of the user area of a guarded block, and in all.
#define DRV_MEM_GUARD_HEAD 24
#define DRV_MEM_GUARD_OVERHEAD 40

extern "C" {

// Starts reporting to the file at path (created or truncated, mode 0666) or,
// with socket set, to the Unix stream socket at path (retried every two
// seconds until something listens). Writes one mapping record for every
// executable mapping of the process first.
__attribute__((weak)) void drv_init_mem_hooks(const char* path, bool socket);
// Turns guards on; before drv_init_mem_hooks.
__attribute__((weak)) void drv_init_mem_guards(void);
// Turns reporting off; for a child process right after fork.
__attribute__((weak)) void drv_post_fork_hooks(void);
// Writes a mapping record for every executable mapping that appeared since
// reporting began (a module loaded with dlopen), so that the analyser can
// name its frames; the preload library calls it after every dlopen.
__attribute__((weak)) void drv_mem_hooks_rescan_mappings(void);

}

#endif
