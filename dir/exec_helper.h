// ExecHelper: one Directory::execute request as the execution thread drives
// it: step 0 resolves the name (and waits, without failing, while the
// provider is not connected, an asset lookup is outstanding or a remote
// resolve is pending), step 1 sends the operation to the provider; the
// request ends when its future result completes or fails. The request
// finds its future result by id, so a result destroyed by its owner is
// simply not there any more.
//
// OpenListenerHelper wraps the listener of an asset or endpoint lookup and
// caches what the lookup returned before passing the completion on.
//
// Ownership: a request is created on the caller's thread, then belongs to
// the execution thread, which deletes it (later) when it finishes. It owns
// copies of the name, the operation and the arguments, its resolution
// context and its AsyncResolveHelper.
//
// Thread-safety: everything here runs on the execution thread (run and the
// list operations assert it), except the constructor and the process-wide
// counter.
#ifndef DRV_DIR_EXEC_HELPER_H
#define DRV_DIR_EXEC_HELPER_H

#include <sys/time.h>
#include <time.h>

#include <atomic>

#include "common/sharded_counter.h"
#include "dir/async_resolve.h"
#include "dir/future_result.h"
#include "dir/request_alloc.h"

class Any;
class AsyncResolveHelper;
class Connection;
class DirName;
class Directory;
class DirectoryObject;
class DirectorySPI;
class Principal;
class ResolveContext;
struct ResultUpdate;

class ExecHelper final : public FutureResultListener, public RequestAlloc {
public:
    enum Step { STEP_RESOLVE = 0, STEP_SEND = 1 };

    // Copies name, operation and args (null-terminated); takes ownership of
    // context. The future result's and the request's deadline become now +
    // its timeout.
    ExecHelper(FutureResult* result, ResolveContext* context, const DirName* name, const char* operation,
               Any** args);
    ~ExecHelper();
    ExecHelper(const ExecHelper&) = delete;
    ExecHelper& operator=(const ExecHelper&) = delete;

    // One attempt to move the request on; on the execution thread only.
    void run();

    // The request's record as listener of its own asset or endpoint lookup.
    void onComplete(FutureResult* lookup) override;
    void onUpdate(FutureResult* lookup, ExecuteUpdate* update) override;

    // Fails the request's future result with code (once) and finishes the request.
    void setFutureResultError(int code);
    // Takes r's outcome into the request's future result and finishes the request.
    void assignFinalResult(FutureResult* r);
    // A reply or progress report for this request. The update stays the
    // caller's; what the request takes from it (the progress report) is
    // nulled there.
    void processUpdate(ResultUpdate* update);

    // The execution list (execution thread only).
    static void push(ExecHelper* helper);
    static ExecHelper* findById(long long id);
    static ExecHelper* head();
    // Fails every request made through directory with 96 (its session is
    // going): now, or (now false: the session ends inside something this
    // thread runs) at each request's next run, which is posted, once it
    // has let go of the session here.
    static void failSession(Directory* directory, bool now);
    // Marks every request whose current object has exactly that class name
    // for another run at the next tick.
    static void notifyRestart(const char* className);
    static void notifyTimeout(long long id, int seconds);
    // Runs the request with that id, if it still exists.
    static void notifyAsyncResolveComplete(long long id);
    // Deletes the requests finished since the last call; on the execution
    // thread, outside every handler (its later-list turns).
    static void freeFinished();
    // Live requests.
    static int liveCount() { return static_cast<int>(_execHelpers.load()); }

    // Whether the timer should run this request again now.
    bool wantsTimerRun(time_t now) const;

    // Sending to a remote provider. Remote providers install this hook; it
    // sends the operation without blocking and records the connection used.
    // Without it, a remote provider cannot be reached (21).
    static int (*_asyncExecuteFn)(DirectorySPI* spi, const Principal* principal, DirectoryObject* current,
                                  const char* operation, Any** args, long long id, Connection** connection);

    // While a local provider's execute runs on the execution thread: the
    // request's id, by which a provider that answers later (from a thread of
    // its own) reports progress and the result (Directory::executeUpdated,
    // executeComplete). 0 anywhere else.
    static long long runningRequestId();

    long long getId() const { return id; }
    // The session the request was made through, while it holds it.
    Directory* session() const;
    // That session's serial (0 for none): unlike its address, never taken
    // by a later session.
    uint64_t sessionSerial() const { return _sessionSerial; }
    // Forgets a session that ended on the execution thread while the
    // request was still queued: it was freed without waiting, so the
    // request must not touch it (nor its count) again.
    void dropGoneSession();
    time_t getDeadline() const { return deadline; }
    bool isAssetLookupOutstanding() const { return assetLookupOutstanding; }

    struct timeval startTime;
    int pendingError;
    int step;
    time_t deadline;
    DirName* name;
    long long id;
    FutureResult* lookup;
    long long lookupId;  // the outstanding lookup's id, 0 when none
    Any** args;
    char* operation;
    bool restart;
    ResolveContext* context;
    ExecHelper* next;
    AsyncResolveHelper* resolver;
    bool assetLookupOutstanding;
    Connection* connection;

private:
    // fr (locked through the registry, released here) takes the final
    // answer r, or completes without one when r is null, and its waiters wake.
    static void takeFinal(FutureResult* fr, FutureResult* r);
    // The link back in the execution list, so that a finished request
    // leaves it at once wherever it stands.
    ExecHelper* _prev = nullptr;
    // The next request in this one's bucket of the index by id, and whether
    // the request is listed (in the list and the index).
    ExecHelper* _sameHash = nullptr;
    bool _listed = false;
    // The link in the list of finished requests awaiting deletion.
    ExecHelper* _finishedNext = nullptr;
    // What `resolver` points at: a request's own, allocated with it.
    AsyncResolveHelper _resolverStorage;
    uint64_t _sessionSerial;
    // Where `operation` is kept when it is short (nearly every operation
    // name is), so that the copy costs no allocation.
    char _operationRoom[40];
    // What `args` points at when there are none: the empty list every
    // provider expects, without an allocation.
    Any* _noArgs[1] = {nullptr};

    void dorun();
    void sendStep();
    // Drops the resolution context and with it the lock on its provider;
    // done before the future result completes, since a waiter may end the
    // provider as soon as it wakes.
    void releaseContext();
    // Takes the request off the list and deletes it later on this thread.
    void finish();

    static ShardedCounter _execHelpers;
};

// Wraps the listener of an asset or endpoint lookup: caches a successful
// answer (an Endpoint in the endpoint cache, anything else as an Asset),
// then passes the completion on and deletes itself later. A record for
// another id than the one asked for is no answer: the request's next run
// would not find it in the cache and would only ask again.
class OpenListenerHelper final : public FutureResultListener {
public:
    // Copies host and port: the directory server's, given to the server's
    // own asset ("ZephanServer"); and the id the lookup asks for (null:
    // any).
    OpenListenerHelper(FutureResultListener* wrapped, const char* host, int port, const char* askedId = nullptr);
    ~OpenListenerHelper();
    OpenListenerHelper(const OpenListenerHelper&) = delete;
    OpenListenerHelper& operator=(const OpenListenerHelper&) = delete;

    void onComplete(FutureResult* result) override;
    void onUpdate(FutureResult* result, ExecuteUpdate* update) override;

    FutureResultListener* listener;
    char* host;
    int port;
    char* askedId;
};

#endif
