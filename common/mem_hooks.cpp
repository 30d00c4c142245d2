// The allocator replacements and the report writer. Nothing here may
// allocate through the replacements while the report mutex is held: the
// backtrace machinery is warmed up before reporting starts, records are
// built on the stack and written with plain write calls, and a failed write
// ends the process with _exit (exit would run handlers that allocate).
#include "common/mem_hooks.h"

#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Sanitizers bring their own allocator; the replacements would bypass it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DRV_MEM_HOOKS_REPLACE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define DRV_MEM_HOOKS_REPLACE 0
#endif
#endif
#ifndef DRV_MEM_HOOKS_REPLACE
#define DRV_MEM_HOOKS_REPLACE 1
#endif

#define DRV_INLINE inline __attribute__((always_inline))
// The reporting paths: out of line and entered by a tail call from the
// replacement, so that the fast path stays a test and a jump, and so that
// the innermost frame a backtrace sees is the hook's, the next its caller's.
#define DRV_SLOW __attribute__((noinline))
#define DRV_LIKELY(x) __builtin_expect(!!(x), 1)

namespace {

void say(const char* text) {
    ssize_t n = write(STDOUT_FILENO, text, strlen(text));
    (void)n;
}

}  // namespace

#if !DRV_MEM_HOOKS_REPLACE

void drv_init_mem_hooks(const char*, bool) {
    say("Memory hooks are not available in a sanitizer build\n");
}
void drv_init_mem_guards(void) {}
void drv_post_fork_hooks(void) {}
void drv_mem_hooks_rescan_mappings(void) {}

#else

extern "C" {
void* __libc_malloc(size_t) noexcept;
void* __libc_calloc(size_t, size_t) noexcept;
void* __libc_realloc(void*, size_t) noexcept;
void __libc_free(void*) noexcept;
}

namespace {

// _mode, read without the lock on every call: reporting on, guards on.
// Guards stay on once set, even after reporting stops in a forked child,
// because blocks allocated with them must still be unwrapped when freed.
const int kReporting = 1;
const int kGuards = 2;
int _mode = 0;

// Set up before reporting starts and not changed after.
int _reportFd = -1;
unsigned char _preGuard[16];
unsigned char _postGuard[16];
// Never destroyed: any thread may allocate while the process exits.
pthread_mutex_t _reportLock = PTHREAD_MUTEX_INITIALIZER;

// Set while this thread holds the report mutex: an allocation made from
// inside the hook (a library the backtrace reaches on first use, say)
// passes straight through instead of waiting for the mutex it holds.
bool _reportIsSocket = false;
__thread int _inHook __attribute__((tls_model("initial-exec"))) = 0;

DRV_INLINE int mode() {
    return __atomic_load_n(&_mode, __ATOMIC_RELAXED);
}

void writeFailed() {
    say("\nERROR write to memory analyzer failed");
    _exit(0);
}

void writeAll(const void* data, size_t len) {
    ssize_t n;
    do {
        // An analyser that goes away must end the program through
        // writeFailed, not through SIGPIPE.
        n = _reportIsSocket ? send(_reportFd, data, len, MSG_NOSIGNAL) : write(_reportFd, data, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<size_t>(n) != len) writeFailed();
}

// One record, built on the stack and written with one call.
struct Record {
    unsigned char bytes[1 + 4 + DRV_MEM_MAX_FRAMES * 8 + 8 + 8];
    size_t len = 0;

    void add(const void* p, size_t n) {
        memcpy(bytes + len, p, n);
        len += n;
    }
    void addU64(uint64_t v) { add(&v, 8); }
    // The type and the stack without its innermost frame (the hook).
    void begin(unsigned char type, void* const* frames, int count) {
        bytes[0] = type;
        len = 1;
        uint32_t n = count > 1 ? static_cast<uint32_t>(count - 1) : 0;
        add(&n, 4);
        if (n > 0) add(frames + 1, n * 8);
    }
    void flush() { writeAll(bytes, len); }
};

struct Stack {
    void* frames[DRV_MEM_MAX_FRAMES];
    int count;
};

#define DRV_CAPTURE(stack) ((stack).count = backtrace((stack).frames, DRV_MEM_MAX_FRAMES))

DRV_INLINE void lockReport() {
    pthread_mutex_lock(&_reportLock);
    _inHook = 1;
}

DRV_INLINE void unlockReport() {
    _inHook = 0;
    pthread_mutex_unlock(&_reportLock);
}

// The blocks handed out with guards, by block address: the guard itself
// cannot say so, since an underrun may have overwritten all of it, and
// blocks from before the guards, from inside the hook or from memalign and
// friends are freed here too. An open-addressing set with linear probing in
// pages of its own, so that it never calls the allocator it serves. Under
// the report mutex.
class GuardedBlocks {
public:
    // Room for one more entry; false when the pages cannot be had.
    bool reserve() {
        if (2 * (_count + 1) <= _capacity) return true;
        size_t capacity = _capacity == 0 ? 4096 : 2 * _capacity;
        void* pages = mmap(nullptr, capacity * sizeof(uintptr_t), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) return false;
        uintptr_t* old = _slots;
        size_t oldCapacity = _capacity;
        _slots = static_cast<uintptr_t*>(pages);
        _capacity = capacity;
        for (size_t i = 0; i < oldCapacity; i++)
            if (old[i] != 0) _slots[probe(old[i])] = old[i];
        if (old != nullptr) munmap(old, oldCapacity * sizeof(uintptr_t));
        return true;
    }
    // After reserve().
    void insert(const void* block) {
        uintptr_t key = reinterpret_cast<uintptr_t>(block);
        size_t i = probe(key);
        if (_slots[i] == 0) _count++;
        _slots[i] = key;
    }
    bool contains(const void* block) const {
        if (_count == 0) return false;
        return _slots[probe(reinterpret_cast<uintptr_t>(block))] != 0;
    }
    // Whether the block was there. The entries after it in its run move
    // back into the hole, so that no probe stops short of its key.
    bool remove(const void* block) {
        if (_count == 0) return false;
        size_t hole = probe(reinterpret_cast<uintptr_t>(block));
        if (_slots[hole] == 0) return false;
        size_t mask = _capacity - 1;
        for (size_t i = (hole + 1) & mask; _slots[i] != 0; i = (i + 1) & mask) {
            size_t home = slotOf(_slots[i]);
            // Moves back unless its home lies cyclically in (hole, i].
            if (((i - home) & mask) >= ((i - hole) & mask)) {
                _slots[hole] = _slots[i];
                hole = i;
            }
        }
        _slots[hole] = 0;
        _count--;
        return true;
    }

private:
    size_t slotOf(uintptr_t key) const {
        return static_cast<size_t>(((key >> 4) * 0x9E3779B97F4A7C15ull) >> 32) & (_capacity - 1);
    }
    // The key's slot, or the empty one where it would go.
    size_t probe(uintptr_t key) const {
        size_t mask = _capacity - 1;
        size_t i = slotOf(key);
        while (_slots[i] != 0 && _slots[i] != key) i = (i + 1) & mask;
        return i;
    }

    uintptr_t* _slots = nullptr;
    size_t _capacity = 0;  // a power of two, at least twice _count
    size_t _count = 0;
};

GuardedBlocks _guarded;

// Holds the report mutex for the quiet paths, which keep the guarded set
// without reporting: unless this thread holds it already (a call from
// inside the hook).
class GuardedSetLock {
public:
    GuardedSetLock() : _taken(!_inHook) {
        if (_taken) lockReport();
    }
    ~GuardedSetLock() {
        if (_taken) unlockReport();
    }

private:
    bool _taken;
};

DRV_INLINE unsigned char* blockOf(void* user) {
    return static_cast<unsigned char*>(user) - DRV_MEM_GUARD_HEAD;
}

// The C library's own malloc_usable_size, which ours replaces. Resolved
// when guards are turned on (dlsym does not allocate when the symbol
// exists), not at the first guarded free: that runs under the report lock,
// and dlsym takes the loader's lock, which a thread inside dlopen holds
// while it allocates.
size_t libcUsableSize(void* ptr) {
    using Fn = size_t (*)(void*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "malloc_usable_size"));
    return real != nullptr ? real(ptr) : 0;
}

// The user size a guarded block records, when it still fits the block; a
// header that an underrun overwrote says nothing to be trusted, and a copy or
// a caller sized by it would run past the block.
bool storedSize(unsigned char* block, size_t* size) {
    memcpy(size, block, 8);
    size_t usable = libcUsableSize(block);
    return usable >= DRV_MEM_GUARD_OVERHEAD && *size <= usable - DRV_MEM_GUARD_OVERHEAD;
}

// What the user area of a guarded block can hold: its recorded size or, when
// that was overwritten, all the block has room for.
size_t userSize(unsigned char* block) {
    size_t size;
    if (storedSize(block, &size)) return size;
    size_t usable = libcUsableSize(block);
    return usable > DRV_MEM_GUARD_OVERHEAD ? usable - DRV_MEM_GUARD_OVERHEAD : 0;
}

DRV_INLINE unsigned char* dressBlock(unsigned char* block, size_t size) {
    memcpy(block, &size, 8);
    memcpy(block + 8, _preGuard, 16);
    memcpy(block + DRV_MEM_GUARD_HEAD + size, _postGuard, 16);
    return block + DRV_MEM_GUARD_HEAD;
}

DRV_INLINE void reportMessage(const char* text) {
    Stack stack;
    lockReport();
    DRV_CAPTURE(stack);
    Record r;
    r.begin(DRV_MEM_MESSAGE, stack.frames, stack.count);
    uint64_t len = strlen(text);
    r.addU64(len);
    r.flush();
    writeAll(text, len);
    unlockReport();
}

DRV_SLOW void* allocate(size_t count, size_t size, bool zero) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (_inHook) return zero ? __libc_calloc(count, size) : __libc_malloc(total);
    Stack stack;
    lockReport();
    DRV_CAPTURE(stack);
    Record r;
    r.begin(DRV_MEM_ALLOC, stack.frames, stack.count);
    r.addU64(total);
    void* result;
    if (!(mode() & kGuards)) {
        result = zero ? __libc_calloc(count, size) : __libc_malloc(total);
        r.addU64(reinterpret_cast<uintptr_t>(result));
    } else {
        unsigned char* block =
            total > SIZE_MAX - DRV_MEM_GUARD_OVERHEAD || !_guarded.reserve()
                ? nullptr
                : static_cast<unsigned char*>(__libc_malloc(total + DRV_MEM_GUARD_OVERHEAD));
        r.addU64(reinterpret_cast<uintptr_t>(block));
        result = nullptr;
        if (block != nullptr) {
            _guarded.insert(block);
            result = dressBlock(block, total);
            if (zero) memset(result, 0, total);
        } else {
            errno = ENOMEM;
        }
    }
    r.flush();
    unlockReport();
    return result;
}

// Frees a block that may carry guards, without reporting (reporting off
// after a fork, or a call from inside the hook).
void releaseQuietly(void* ptr) {
    if (!(mode() & kGuards)) return __libc_free(ptr);
    GuardedSetLock hold;
    __libc_free(_guarded.remove(blockOf(ptr)) ? blockOf(ptr) : ptr);
}

void* reallocQuietly(void* ptr, size_t size) {
    if (ptr == nullptr || !(mode() & kGuards)) return __libc_realloc(ptr, size);
    GuardedSetLock hold;
    unsigned char* block = blockOf(ptr);
    if (!_guarded.contains(block)) return __libc_realloc(ptr, size);
    size_t old = userSize(block);
    void* fresh = __libc_malloc(size);
    if (fresh == nullptr) return nullptr;
    memcpy(fresh, ptr, old < size ? old : size);
    _guarded.remove(block);
    __libc_free(block);
    return fresh;
}

DRV_SLOW void release(void* ptr) {
    if (_inHook) return releaseQuietly(ptr);
    Stack stack;
    lockReport();
    DRV_CAPTURE(stack);
    Record r;
    r.begin(DRV_MEM_RELEASE, stack.frames, stack.count);
    bool preBroken = false, postBroken = false;
    unsigned char* block = blockOf(ptr);
    if (!(mode() & kGuards) || !_guarded.remove(block)) {
        r.addU64(reinterpret_cast<uintptr_t>(ptr));
        r.flush();
        __libc_free(ptr);
    } else {
        r.addU64(reinterpret_cast<uintptr_t>(block));
        r.flush();
        size_t size;
        preBroken = memcmp(block + 8, _preGuard, 16) != 0;
        // A size that no longer fits the block means the front was
        // overwritten; the post-guard cannot be found then.
        if (!storedSize(block, &size)) {
            preBroken = true;
        } else {
            postBroken = memcmp(block + DRV_MEM_GUARD_HEAD + size, _postGuard, 16) != 0;
            memset(block, 'X', size);
        }
        __libc_free(block);
    }
    unlockReport();
    if (preBroken) reportMessage("PREGUARD was destroyed. Detected in free()");
    if (postBroken) reportMessage("POSTGUARD was destroyed. Detected in free()");
}

DRV_SLOW void* reallocate(void* ptr, size_t size) {
    if (_inHook) return reallocQuietly(ptr, size);
    Stack stack;
    lockReport();
    DRV_CAPTURE(stack);
    bool guards = (mode() & kGuards) != 0;
    unsigned char* old = ptr != nullptr ? blockOf(ptr) : nullptr;
    bool guarded = guards && ptr != nullptr && _guarded.contains(old);
    Record r;
    if (ptr != nullptr) {
        r.begin(DRV_MEM_RELEASE, stack.frames, stack.count);
        r.addU64(reinterpret_cast<uintptr_t>(guarded ? old : ptr));
        r.flush();
    }
    r.begin(DRV_MEM_ALLOC, stack.frames, stack.count);
    r.addU64(size);
    void* result;
    if (!guards) {
        result = __libc_realloc(ptr, size);
        r.addU64(reinterpret_cast<uintptr_t>(result));
    } else {
        unsigned char* block = nullptr;
        if (size <= SIZE_MAX - DRV_MEM_GUARD_OVERHEAD && _guarded.reserve()) {
            if (ptr == nullptr || guarded) {
                block = static_cast<unsigned char*>(__libc_realloc(guarded ? old : nullptr, size + DRV_MEM_GUARD_OVERHEAD));
                if (block != nullptr && guarded) _guarded.remove(old);
            } else {
                // A block from before the guards: moved into a guarded one.
                block = static_cast<unsigned char*>(__libc_malloc(size + DRV_MEM_GUARD_OVERHEAD));
                if (block != nullptr) {
                    size_t old = libcUsableSize(ptr);
                    memcpy(block + DRV_MEM_GUARD_HEAD, ptr, old < size ? old : size);
                    __libc_free(ptr);
                }
            }
        }
        r.addU64(reinterpret_cast<uintptr_t>(block));
        result = nullptr;
        if (block != nullptr) {
            _guarded.insert(block);
            result = dressBlock(block, size);
        } else {
            errno = ENOMEM;
        }
    }
    r.flush();
    unlockReport();
    return result;
}

int openReport(const char* path, bool socketFlag) {
    if (!socketFlag) {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) say("Unable to open the memory report file\n");
        return fd;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        say("Unable to create socket for memory hooks\n");
        return -1;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    while (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        say("Unable to bind to server socket\n");
        sleep(2);
    }
    return fd;
}

// The executable mappings already reported (start and end), so that a
// rescan after dlopen writes only the new ones. Under the report mutex.
const int kMaxKnownMappings = 4096;
uint64_t _known[kMaxKnownMappings][2];
int _knownCount = 0;

bool known(uint64_t start, uint64_t end) {
    for (int i = 0; i < _knownCount; i++)
        if (_known[i][0] == start && _known[i][1] == end) return true;
    return false;
}

void mappingLine(char* line) {
    unsigned long long start = 0, end = 0;
    char perms[32];
    char path[4096];
    path[0] = '\0';
    // The device numbers are hex ("fd:01"), so they are skipped as such.
    if (sscanf(line, "%llx-%llx %31s %*x %*x:%*x %*x %4095s", &start, &end, perms, path) < 3) return;
    if (strlen(perms) < 3 || perms[2] != 'x' || known(start, end)) return;
    if (_knownCount < kMaxKnownMappings) {
        _known[_knownCount][0] = start;
        _known[_knownCount][1] = end;
        _knownCount++;
    }
    unsigned char head[1 + 8 + 8 + 4];
    uint32_t len = static_cast<uint32_t>(strlen(path));
    head[0] = DRV_MEM_MAPPING;
    memcpy(head + 1, &start, 8);
    memcpy(head + 9, &end, 8);
    memcpy(head + 17, &len, 4);
    writeAll(head, sizeof(head));
    if (len > 0) writeAll(path, len);
}

// Writes a mapping record for each executable mapping not reported yet.
// Reads with plain calls into a static buffer: it runs under the report
// mutex once reporting is on, where nothing may allocate.
void writeMappings() {
    char name[64];
    snprintf(name, sizeof(name), "/proc/%d/maps", static_cast<int>(getpid()));
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    static char buf[16384];
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof(buf) - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
        buf[have] = '\0';
        char* line = buf;
        for (char* nl; (nl = strchr(line, '\n')) != nullptr; line = nl + 1) {
            *nl = '\0';
            mappingLine(line);
        }
        have = static_cast<size_t>(buf + have - line);
        if (have == sizeof(buf) - 1) have = 0;  // a line longer than the buffer: skipped
        memmove(buf, line, have);
    }
    if (have > 0) {
        buf[have] = '\0';
        mappingLine(buf);
    }
    close(fd);
}

// A child must find the report mutex free and the guarded set whole, so
// fork waits until no other thread is inside the hook. Registered once,
// while nothing reports yet.
void holdAcrossFork() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    pthread_atfork(lockReport, unlockReport, unlockReport);
}

}  // namespace

void drv_init_mem_hooks(const char* path, bool socketFlag) {
    if (path == nullptr || (mode() & kReporting)) return;
    // The first backtrace loads the unwinder, which allocates: done now,
    // while allocations still pass straight through.
    void* warm[DRV_MEM_MAX_FRAMES];
    backtrace(warm, DRV_MEM_MAX_FRAMES);
    memcpy(_preGuard, "ZZZZpreguardZZZZ", 16);
    memcpy(_postGuard, "ZZZZpostguardZZZ", 16);
    _reportFd = openReport(path, socketFlag);
    if (_reportFd < 0) return;
    _reportIsSocket = socketFlag;
    holdAcrossFork();
    writeMappings();
    __atomic_fetch_or(&_mode, kReporting, __ATOMIC_SEQ_CST);
}

void drv_init_mem_guards(void) {
    memcpy(_preGuard, "ZZZZpreguardZZZZ", 16);
    memcpy(_postGuard, "ZZZZpostguardZZZ", 16);
    libcUsableSize(nullptr);
    holdAcrossFork();
    __atomic_fetch_or(&_mode, kGuards, __ATOMIC_SEQ_CST);
}

void drv_mem_hooks_rescan_mappings(void) {
    if (!(mode() & kReporting)) return;
    lockReport();
    writeMappings();
    unlockReport();
}

void drv_post_fork_hooks(void) {
    __atomic_fetch_and(&_mode, ~kReporting, __ATOMIC_SEQ_CST);
    // The parent's holder of the mutex does not exist here.
    _inHook = 0;
}

extern "C" {

void* malloc(size_t size) noexcept {
    if (DRV_LIKELY(!(mode() & kReporting))) return __libc_malloc(size);
    return allocate(1, size, false);
}

void* calloc(size_t count, size_t size) noexcept {
    if (DRV_LIKELY(!(mode() & kReporting))) return __libc_calloc(count, size);
    return allocate(count, size, true);
}

void* realloc(void* ptr, size_t size) noexcept {
    int m = mode();
    if (DRV_LIKELY(m == 0)) return __libc_realloc(ptr, size);
    if (!(m & kReporting)) return reallocQuietly(ptr, size);
    return reallocate(ptr, size);
}

// Code that sizes a block to reuse it (a text written over a longer one)
// must be told what a guarded block holds: the C library would read the
// guard as its chunk header. A block from before the guards is its own.
size_t malloc_usable_size(void* ptr) noexcept {
    if (ptr == nullptr || !(mode() & kGuards)) return libcUsableSize(ptr);
    GuardedSetLock hold;
    if (!_guarded.contains(blockOf(ptr))) return libcUsableSize(ptr);
    return userSize(blockOf(ptr));
}

void free(void* ptr) noexcept {
    int m = mode();
    if (DRV_LIKELY(m == 0)) return __libc_free(ptr);
    if (ptr == nullptr) return;
    if (!(m & kReporting)) return releaseQuietly(ptr);
    release(ptr);
}

}  // extern "C"

#endif
