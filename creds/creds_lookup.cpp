// Credential lookups in a re-executed child, the retries and the safety thread.
#include "creds/creds_lookup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/mem_hooks.h"
#include "common/perf_data.h"
#include "common/properties.h"

char commandPath[kCredsCommandPathLength] = "";

bool s_setCredsCommandPath(const char* path) {
    if (path == nullptr || strlen(path) >= sizeof(commandPath)) return false;
    strcpy(commandPath, path);
    return true;
}

namespace {

// Exit status of a child whose exec failed (it exits with -2).
const int kExecFailedStatus = 254;

// ---------------------------------------------------------------------------
// The safety thread

std::atomic<int> _safetyPeriodMs{kCredsSafetyPeriodMs};

class CredSafetyThread;

// Guards the thread's existence and its exit flag. Lock order: taken alone
// (start() and join() are called without it held, but for the start in
// startSafetyThread, which only waits for the new thread's setInitialized).
CondBlock _safetyBlock(kProcessLifetime);
CredSafetyThread* _credSafety GUARDED_BY(_safetyBlock) = nullptr;
bool _safetyExit GUARDED_BY(_safetyBlock) = false;

class CredSafetyThread : public DaemonThread {
public:
    CredSafetyThread() {
        setName("cred-safety");
        setDeleteOnExit(false);
    }

    void run() override {
        setInitialized();
        for (;;) {
            {
                CondSection hold(_safetyBlock);
                if (_safetyExit) return;
                _safetyBlock.wait(_safetyPeriodMs.load());
                if (_safetyExit) return;
            }
            log(_debug_creds, LOG_DEBUG, 0, 0, "Creds: lookups = %d, cacheHits = %d, blocked = %d, locks = %d",
                _credsCounters.lookups.load(), _credsCounters.cacheHits.load(), _credsCounters.blocked.load(),
                _credsLocks.slotsInUse());
            _credsLocks.killHungChildren(credsNow(), kCredsHangSeconds);
        }
    }
};

void startSafetyThread() {
    CondSection hold(_safetyBlock);
    if (_credSafety != nullptr) return;
    _safetyExit = false;
    _credSafety = new CredSafetyThread();
    // Returns once run() has called setInitialized, which it does before it
    // takes this block.
    _credSafety->start();
}

// ---------------------------------------------------------------------------
// The child process

// The "-bufsize" to pass: never one the child refuses (a reload already
// holds the setting within the limit; this covers a value set directly).
int childBufferSize() {
    int size = _creds_buffer_size;
    return size < 0 || size > kCredsMaxBufferSize ? kCredsMaxBufferSize : size;
}

// Everything the forked child needs, made before the fork: between fork and
// exec only async-signal-safe calls are allowed (another thread may have held
// the allocator's or the log's lock at the fork).
struct ChildLaunch {
    std::string path;
    std::string bufferSize;
    std::vector<const char*> argv;

    ChildLaunch() : path(commandPath), bufferSize(std::to_string(childBufferSize())) {
        argv.push_back("dravika");
        if (_nss_creds_workaround) argv.push_back("-nss_workaround");
        if (_debug_creds == LOG_TRACE) argv.push_back("-debug_creds");
        argv.push_back("-bufsize");
        argv.push_back(bufferSize.c_str());
        argv.push_back("-testcred");
        argv.push_back(nullptr);
    }
};

// The forked child: the first pipe becomes standard input, the second
// standard output, standard error goes to /dev/null, then the program runs.
// When it cannot, the exec's errno goes down failFd (closed by a successful
// exec): the parent learns it there even when the signal thread reaps the
// child before the parent could see its exit status.
[[noreturn]] void execChild(const ChildLaunch& launch, int requestFd, int answerFd, int failFd) {
    if (drv_post_fork_hooks != nullptr) drv_post_fork_hooks();
    // The runtime's threads block the process signals; the new image starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Moved above 2 first, so that neither pipe end can be overwritten by the
    // other's dup2 (a parent with closed standard descriptors gets pipes there).
    int fail = fcntl(failFd, F_DUPFD_CLOEXEC, 3);
    int in = fcntl(requestFd, F_DUPFD, 3);
    int out = fcntl(answerFd, F_DUPFD, 3);
    if (fail < 0 || in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(kExecFailedStatus);
    close(in);
    close(out);
    int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0 && devNull != 2) {
        dup2(devNull, 2);
        close(devNull);
    }
    // Nothing else of the parent's (sockets, files) stays open in a child
    // that may live until the safety thread kills it.
    if (fail > 3) close_range(3, static_cast<unsigned>(fail) - 1, 0);
    close_range(static_cast<unsigned>(fail) + 1, ~0U, 0);
    execv(launch.path.c_str(), const_cast<char* const*>(launch.argv.data()));
    int err = errno;
    ssize_t told = write(fail, &err, sizeof err);
    (void)told;  // nothing more to do if even that fails
    _exit(kExecFailedStatus);
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Waits until the child has ended without reaping it: its pid stays its own
// until reapChild, unless the signal thread reaps it first.
void awaitChildEnd(pid_t pid) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

void reapChild(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// A descriptor that becomes readable when the process ends, or -1 where the
// kernel has none (the answer is then read until the pipe's end alone).
int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Kills the child through its process descriptor where there is one, so
// that a pid the signal thread has reaped and the kernel handed on is never
// signalled.
void killChild(pid_t pid, int pidFd) {
#ifdef SYS_pidfd_send_signal
    if (pidFd >= 0) {
        if (syscall(SYS_pidfd_send_signal, pidFd, SIGKILL, nullptr, 0) == 0 || errno != ENOSYS) return;
    }
#else
    (void)pidFd;
#endif
    kill(pid, SIGKILL);
}

int kindOf(int operation) {
    if (operation == CREDS_OP_GROUP_BY_ID || operation == CREDS_OP_GROUP_BY_NAME || operation == CREDS_OP_ALL_GROUPS)
        return CREDS_KIND_GROUP;
    return operation == CREDS_OP_HOST_BY_NAME ? CREDS_KIND_HOST : CREDS_KIND_USER;
}

}  // namespace

CredsCacheEntry* credsEntryFor(const CredsRequest& request, const CredsAnswer& answer) {
    CredsCacheEntry* e = new CredsCacheEntry();
    e->created = credsNow();
    e->kind = kindOf(request.operation);
    e->noExist = answer.status == CREDS_STATUS_NO_ENTRY;
    e->error = answer.status != CREDS_STATUS_OK && !e->noExist;
    bool ok = answer.status == CREDS_STATUS_OK;
    switch (e->kind) {
    case CREDS_KIND_GROUP:
        e->gid = ok ? answer.group.gid
                    : (request.operation == CREDS_OP_GROUP_BY_ID ? static_cast<gid_t>(request.id) : kCredsUnknownId);
        e->groupName = ok ? answer.group.name : (request.operation == CREDS_OP_GROUP_BY_NAME ? request.name : "");
        break;
    case CREDS_KIND_HOST:
        e->userName = request.name;
        e->uid = ok ? answer.address : 0;
        break;
    default:
        if (ok) {
            e->uid = answer.user.uid;
            e->gid = answer.user.gid;
            e->userName = answer.user.name;
            e->home = answer.user.home;
            e->groups = answer.user.groups;
        } else {
            e->uid = request.operation == CREDS_OP_USER_BY_ID ? static_cast<uid_t>(request.id) : kCredsUnknownId;
            e->gid = kCredsUnknownId;
            e->userName = request.operation == CREDS_OP_USER_BY_ID ? "" : request.name;
        }
        break;
    }
    return e;
}

int credsRunChild(int slot, const CredsRequest& request, CredsAnswer& answer) {
    _credsCounters.lookups++;
    std::string bytes;
    if (!encodeCredsRequest(request, bytes)) {
        log(_debug_creds, LOG_ERROR, 0, 0, "Creds: request for operation %d cannot be sent", request.operation);
        return -1;
    }
    if (commandPath[0] == '\0') {
        log(_debug_creds, LOG_ERROR, 0, 0, "lookup: unable to execute -testcred command (no program path set)");
        return -1;
    }
    ChildLaunch launch;
    // Close-on-exec, so that children forked meanwhile by other lookups do
    // not keep these pipes open (a dead child would then never read as EOF).
    // The third pipe tells an exec that failed; it is read only once the
    // child has ended, so it never blocks.
    int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1}, execFailed[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0 ||
        pipe2(execFailed, O_CLOEXEC | O_NONBLOCK) != 0) {
        log(_debug_creds, LOG_ERROR, errno, 0, "Creds: unable to create pipes for a lookup");
        for (int* fd : {&toChild[0], &toChild[1], &fromChild[0], &fromChild[1], &execFailed[0], &execFailed[1]})
            closeFd(*fd);
        return -1;
    }
    // The child table is held across the fork, so the child is recorded
    // before anyone can kill the children.
    lockPerfPid();
    pid_t pid = fork();
    int forkErrno = errno;
    if (pid == 0) execChild(launch, toChild[0], fromChild[1], execFailed[1]);
    if (pid > 0) addPerfPid(pid);
    unlockPerfPid();
    int pidFd = pid > 0 ? openPidFd(pid) : -1;
    closeFd(toChild[0]);
    closeFd(fromChild[1]);
    closeFd(execFailed[1]);
    if (pid < 0) {
        log(_debug_creds, LOG_ERROR, forkErrno, 0, "Creds: unable to fork for a lookup");
        closeFd(toChild[1]);
        closeFd(fromChild[0]);
        closeFd(execFailed[0]);
        return -1;
    }
    _credsLocks.setChild(slot, pid, credsNow());

    // A write that fails means the child is gone; the read below says so.
    credsWriteAll(toChild[1], bytes.data(), bytes.size());
    closeFd(toChild[1]);
    // Read until the child has ended: a helper it forked may hold the pipe.
    CredsFdSource in(fromChild[0], pidFd);
    int step = decodeCredsAnswer(request.operation, in, answer);
    closeFd(fromChild[0]);
    // A child that answered wrongly may still be running; it is of no more use.
    if (step != 0) killChild(pid, pidFd);
    closeFd(pidFd);
    // Recorded until it has ended, so that the safety thread covers a child
    // that lingers after answering; forgotten before it is reaped, so that
    // the safety thread never meets its pid reused.
    awaitChildEnd(pid);
    _credsLocks.clearChild(slot, pid);
    reapChild(pid);
    removePerfPid(pid);
    int execErrno = 0;
    bool couldNotExec = read(execFailed[0], &execErrno, sizeof execErrno) == static_cast<ssize_t>(sizeof execErrno);
    closeFd(execFailed[0]);
    if (step == 0) return 0;
    if (couldNotExec) log(_debug_creds, LOG_ERROR, execErrno, 0, "lookup: unable to execute -testcred command");
    log(_debug_creds, LOG_ERROR, 0, 0, "Creds: unable to read error reply from child process (step %d)", step);
    return -1;
}

CredsCacheEntry* safeLookup(int slot, const CredsRequest& request) {
    CredsAnswer answer;
    if (credsRunChild(slot, request, answer) != 0) return nullptr;
    return _credsCache.add(credsEntryFor(request, answer));
}

CredsCacheEntry* lookup(int slot, const CredsRequest& request) {
    int tries = request.operation == CREDS_OP_LOGIN ? 1 : 3;
    for (int i = 0; i < tries; i++) {
        CredsCacheEntry* e = safeLookup(slot, request);
        if (e != nullptr) return e;
    }
    return nullptr;
}

int credsLockOrWait(const char* name, long id, int operation) {
    startSafetyThread();
    return _credsLocks.lockOrWait(name, id, operation);
}

CredsCacheEntry* credsFetch(int operation, const char* name, long id) {
    if (name == nullptr) name = "";
    int slot = credsLockOrWait(name, id, operation);
    CredsCacheEntry* e = _credsCache.find(credsNow(), name, id, operation);
    if (e == nullptr) {
        CredsRequest request;
        request.operation = operation;
        request.name = name;
        request.id = static_cast<int32_t>(id);
        e = lookup(slot, request);
    }
    _credsLocks.unlock(slot);
    return e;
}

bool credsFetchAll(int operation, CredsAnswer& answer) {
    int slot = credsLockOrWait("", 0, operation);
    CredsRequest request;
    request.operation = operation;
    bool ok = false;
    for (int i = 0; i < 3 && !ok; i++) {
        answer = CredsAnswer();
        ok = credsRunChild(slot, request, answer) == 0;
    }
    if (ok && operation == CREDS_OP_ALL_GROUPS) {
        log(_debug_creds, LOG_DEBUG, 0, 0, "Creds: collecting returns for all groups");
        // Each group becomes an entry of its own, as if looked up by id; all
        // in one pass over the cache, which a directory of many groups needs.
        std::vector<CredsCacheEntry*> entries;
        entries.reserve(answer.groups.size());
        CredsRequest one;
        one.operation = CREDS_OP_GROUP_BY_ID;
        CredsAnswer item;
        for (const CredsGroup& g : answer.groups) {
            item.group = g;
            entries.push_back(credsEntryFor(one, item));
        }
        _credsCache.addAll(entries);
    }
    _credsLocks.unlock(slot);
    return ok;
}

void timeoutCredsCache() { _credsCache.timeoutAll(); }

void flushCredsCache() { _credsCache.flush(); }

void credCleanup() {
    CredSafetyThread* thread;
    {
        CondSection hold(_safetyBlock);
        thread = _credSafety;
        _safetyExit = true;
        _safetyBlock.broadcast();
    }
    if (thread != nullptr) {
        thread->join();
        delete thread;
    }
    CondSection hold(_safetyBlock);
    if (_credSafety == thread) _credSafety = nullptr;
    _safetyExit = false;
}

void credsSetSafetyPeriodForTests(int ms) {
    _safetyPeriodMs = ms > 0 ? ms : kCredsSafetyPeriodMs;
    CondSection hold(_safetyBlock);
    _safetyBlock.broadcast();
}
