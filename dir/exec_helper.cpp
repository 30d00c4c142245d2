#include "dir/exec_helper.h"

#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/async_resolve.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/resolve_context.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"

ShardedCounter ExecHelper::_execHelpers;

namespace {

// The execution list, newest first, and an index by id; execution thread only.
ExecHelper* _execList = nullptr;
// Finished requests, deleted at the thread's next later-list turn; execution
// thread only, so handing one over takes neither a lock nor an allocation.
ExecHelper* _finished = nullptr;
// The index: listed requests chained through their _sameHash by the low
// bits of their id. Ids are handed out in sequence, so the outstanding ones
// spread evenly, and listing a request costs no allocation. A plain array,
// never torn down: a server's execution thread may still run while the
// process exits.
const size_t kIndexBuckets = 4096;
ExecHelper* _index[kIndexBuckets] = {};
ExecHelper*& bucketOf(long long id) {
    return _index[static_cast<size_t>(id) & (kIndexBuckets - 1)];
}

const int kSlowRunMillis = 2000;

// Set around a local provider's execute; read on the same thread.
thread_local long long _runningRequestId = 0;

int noRemoteExecute(DirectorySPI*, const Principal*, DirectoryObject*, const char*, Any**, long long, Connection**) {
    return DirError::E_NOT_IMPLEMENTED;
}

void assertExecThread() {
    if (!ExecDirThread::isExecThread()) {
        log(0, "Exec operation run() called from non-exec-dir thread");
        _dravika_assert("_execDirThread->isSameThread()", __FILE__, __LINE__);
    }
}

Any** copyArgs(Any** args) {
    int n = 0;
    if (args != nullptr)
        while (args[n] != nullptr) n++;
    Any** copy = static_cast<Any**>(calloc(n + 1, sizeof(Any*)));
    for (int i = 0; i < n; i++) copy[i] = new Any(*args[i]);
    return copy;
}

void deleteOpenListener(void* helper) {
    delete static_cast<OpenListenerHelper*>(helper);
}

long long elapsedMillis(const struct timeval& since) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return (now.tv_sec - since.tv_sec) * 1000LL + (now.tv_usec - since.tv_usec) / 1000;
}

}  // namespace

int (*ExecHelper::_asyncExecuteFn)(DirectorySPI*, const Principal*, DirectoryObject*, const char*, Any**, long long,
                                   Connection**) = noRemoteExecute;

ExecHelper::ExecHelper(FutureResult* result, ResolveContext* context, const DirName* name, const char* operation,
                       Any** args)
    : pendingError(0), step(STEP_RESOLVE), deadline(0), name(name != nullptr ? new DirName(*name) : nullptr),
      id(result->id), lookup(nullptr), lookupId(0),
      args(args != nullptr && args[0] != nullptr ? copyArgs(args) : _noArgs), operation(nullptr),
      restart(false), context(context), next(nullptr), resolver(nullptr), assetLookupOutstanding(false),
      connection(nullptr), _resolverStorage(this),
      _sessionSerial(context != nullptr && context->directory != nullptr ? context->directory->_serial : 0) {
    _execHelpers.add(1);
    if (operation == nullptr) operation = "";
    size_t length = strlen(operation);
    if (length < sizeof _operationRoom) {
        memcpy(_operationRoom, operation, length + 1);
        this->operation = _operationRoom;
    } else {
        this->operation = strdup(operation);
    }
    startTime.tv_sec = 0;
    startTime.tv_usec = 0;
    if (context != nullptr && context->directory != nullptr) context->directory->_requests++;
    deadline = time(nullptr) + result->timeout;
    result->deadline = deadline;
    if (Directory::_spi_debug) log(0, "execute: id: %lld, %s, timeout: %d", id, this->operation, result->timeout);
    resolver = &_resolverStorage;
}

ExecHelper::~ExecHelper() {
    _resolverStorage.clear();
    releaseContext();
    delete name;
    if (args != _noArgs) {
        for (Any** a = args; *a != nullptr; a++) delete *a;
        free(args);
    }
    if (operation != _operationRoom) free(operation);
    _execHelpers.add(-1);
}

// --- the execution list --------------------------------------------------------

void ExecHelper::push(ExecHelper* helper) {
    assertExecThread();
    helper->next = _execList;
    helper->_prev = nullptr;
    if (_execList != nullptr) _execList->_prev = helper;
    _execList = helper;
    ExecHelper*& bucket = bucketOf(helper->id);
    helper->_sameHash = bucket;
    bucket = helper;
    helper->_listed = true;
}

ExecHelper* ExecHelper::findById(long long wanted) {
    assertExecThread();
    for (ExecHelper* h = bucketOf(wanted); h != nullptr; h = h->_sameHash)
        if (h->id == wanted) return h;
    return nullptr;
}

ExecHelper* ExecHelper::head() {
    return _execList;
}

void ExecHelper::freeFinished() {
    // Also called by the thread after it has unpublished itself on stopping.
    while (ExecHelper* h = _finished) {
        _finished = h->_finishedNext;
        delete h;
    }
}

void ExecHelper::finish() {
    assertExecThread();
    if (_listed) {
        _listed = false;
        for (ExecHelper** link = &bucketOf(id); *link != nullptr; link = &(*link)->_sameHash) {
            if (*link == this) {
                *link = _sameHash;
                break;
            }
        }
        if (_prev != nullptr)
            _prev->next = next;
        else
            _execList = next;
        if (next != nullptr) next->_prev = _prev;
        _prev = nullptr;
    }
    // Its resolver's event must not deliver to a finished request, and its
    // provider is free for the idle sweep as soon as it finishes.
    resolver->clear();
    releaseContext();
    // Nor may an asset lookup still running tell it of its completion. The
    // lookup's result was this request's to free on completion: it goes now,
    // with the wrapper that would have told it, or it stays for ever.
    if (assetLookupOutstanding && lookupId != 0) {
        FutureResult* fr = FutureResult::lockById(lookupId);
        if (fr != nullptr) {
            bool ours = false;
            if (fr->listener == this) {
                fr->listener = nullptr;
                ours = true;
            } else if (auto* open = dynamic_cast<OpenListenerHelper*>(fr->listener)) {
                if (open->listener == this) {
                    fr->listener = nullptr;
                    ExecDirThread::postDeleteLater(open, deleteOpenListener);
                    ours = true;
                }
            }
            // Under the registry lock, which destroy takes only when not held.
            if (ours) FutureResult::destroy(fr);
            FutureResult::release();
        }
        lookup = nullptr;
        lookupId = 0;
    }
    _finishedNext = _finished;
    _finished = this;
    // The results of requests finished in this pass are usually destroyed
    // by their owners by then, and go with them.
    ExecDirThread::instance()->laterSoon();
}

void ExecHelper::notifyRestart(const char* className) {
    if (className == nullptr) return;
    for (ExecHelper* h = _execList; h != nullptr; h = h->next) {
        const DirectoryObject* current = h->context != nullptr ? h->context->current : nullptr;
        if (current != nullptr && current->className != nullptr && strcmp(current->className, className) == 0)
            h->restart = true;
    }
}

Directory* ExecHelper::session() const {
    return context != nullptr ? context->directory : nullptr;
}

void ExecHelper::dropGoneSession() {
    if (context != nullptr) context->directory = nullptr;
}

void ExecHelper::failSession(Directory* directory, bool now) {
    assertExecThread();
    if (!now) {
        // The session ends inside something this thread is running (a
        // provider's operation, a listener holding the registry lock): its
        // requests let go of it here and fail at their next run, which
        // comes soon, outside whatever is running now.
        for (ExecHelper* h = _execList; h != nullptr; h = h->next) {
            if (h->context == nullptr || h->context->directory != directory) continue;
            h->pendingError = DirError::E_LOGGED_OUT;
            h->context->directory = nullptr;
            directory->_requests--;
            ExecDirThread::postRun(h);
        }
        return;
    }
    // From the head again after each: failing one runs its listener, which
    // may end other requests.
    bool again = true;
    while (again) {
        again = false;
        for (ExecHelper* h = _execList; h != nullptr; h = h->next) {
            if (h->context == nullptr || h->context->directory != directory) continue;
            h->setFutureResultError(DirError::E_LOGGED_OUT);
            again = true;
            break;
        }
    }
}

void ExecHelper::notifyTimeout(long long wanted, int seconds) {
    ExecHelper* h = findById(wanted);
    if (h != nullptr) h->deadline = time(nullptr) + seconds;
}

void ExecHelper::notifyAsyncResolveComplete(long long wanted) {
    ExecHelper* h = findById(wanted);
    if (h != nullptr) h->run();
}

long long ExecHelper::runningRequestId() {
    return _runningRequestId;
}

bool ExecHelper::wantsTimerRun(time_t now) const {
    return restart || now > deadline || resolver->isPastDeadline(now);
}

// --- running ---------------------------------------------------------------------

void ExecHelper::run() {
    assertExecThread();
    gettimeofday(&startTime, nullptr);
    long long requestId = id;
    struct timeval began = startTime;
    dorun();
    // The request may be finished (and only queued for deletion) by now.
    long long spent = elapsedMillis(began);
    if (spent > kSlowRunMillis) log(LOG_WARNING, 0, requestId, "ExecDir::run(): %lld", spent);
}

void ExecHelper::dorun() {
    restart = false;
    if (pendingError != 0) {
        setFutureResultError(pendingError);
        return;
    }
    time_t now = time(nullptr);
    log(LOG_TRACE, 0, id, "execute: id: %lld run(), timeout-in = %d, assetLookupOutstanding: %d", id,
        static_cast<int>(deadline - now), assetLookupOutstanding ? 1 : 0);
    if (now > deadline || (step == STEP_RESOLVE && resolver->isPastDeadline(now))) {
        if (assetLookupOutstanding) {
            log(LOG_DEBUG, 0, id, "execute: id: %lld, call has timed but an outstanding asset lookup prevents timeout",
                id);
            return;
        }
        log(LOG_DEBUG, 0, id, "execute: id: %lld, call has timed out", id);
        setFutureResultError(DirError::E_TIMEOUT);
        return;
    }
    DaemonThread::setPerfState(step + 10);
    if (step == STEP_RESOLVE) {
        log(LOG_TRACE, 0, id, "execute: id: %lld, at step 0, calling resolve", id);
        FutureResult* started = nullptr;
        int rv = context->directory->resolveToObject(context, &started, this, resolver);
        if (started != nullptr) lookup = started;
        switch (rv) {
        case 0:
            log(LOG_TRACE, 0, id, "execute: id: %lld resolve OK", id);
            step = STEP_SEND;
            break;
        case DirError::E_WAITING_ON_ASSET:
            if (started == nullptr) {
                // A provider's (or its peer's) own answer: no lookup of ours
                // will complete and run the request again, so it must not
                // hold the deadline off.
                log(LOG_TRACE, 0, id, "execute: id: %lld try later -- resolve answered %d without a lookup", id, rv);
                return;
            }
            assetLookupOutstanding = true;
            // By id: the lookup's result is freed on this thread once it completes.
            lookupId = lookup != nullptr ? lookup->id : 0;
            log(LOG_TRACE, 0, id, "execute: id: %lld try later -- waiting on asset lookup", id);
            return;
        case DirError::E_WAITING_FOR_RESULT:
            log(LOG_TRACE, 0, id, "execute: id: %lld try later -- waiting on resolver", id);
            return;
        case DirError::E_NOT_CONNECTED:
            log(LOG_TRACE, 0, id, "execute: id: %lld try later -- not connected", id);
            return;
        default:
            log(LOG_DEBUG, 0, id, "execute: id: %lld resolve failed, %d", id, rv);
            setFutureResultError(rv);
            return;
        }
    }
    if (step == STEP_SEND) sendStep();
}

void ExecHelper::sendStep() {
    log(LOG_TRACE, 0, id, "execute: id: %lld step = 1, sending execute request...", id);
    DirectorySPI* spi = context->spi;
    if (spi->isNetworkSPI()) {
        DaemonThread::setPerfState(21);
        int rv = _asyncExecuteFn(spi, context->principal, context->current, operation, args, id, &connection);
        if (rv == DirError::E_NOT_CONNECTED) {
            DaemonThread::setPerfState(22);
            log(LOG_TRACE, 0, id, "execute: id: %lld send must try later", id);
            return;
        }
        if (rv != 0) {
            DaemonThread::setPerfState(23);
            setFutureResultError(rv);
            return;
        }
        log(LOG_TRACE, 0, id, "execute: id: %lld send ok", id);
        return;
    }
    DaemonThread::setPerfState(24);
    FutureResult* local = new FutureResult(nullptr);
    _runningRequestId = id;
    int rv = spi->execute(context->principal, context->current, operation, args, local);
    _runningRequestId = 0;
    if (rv != 0) {
        setFutureResultError(rv);
        FutureResult::destroy(local);
        DaemonThread::setPerfState(25);
        return;
    }
    DaemonThread::setPerfState(26);
    if (local->complete) {
        // Keep the id: assignFinalResult may finish (and queue deletion of)
        // this request.
        long long requestId = id;
        assignFinalResult(local);
        FutureResult::destroy(local);
        log(LOG_TRACE, 0, requestId, "execute: id: %lld send ok", requestId);
        return;
    }
    // A local provider completes before it returns; a result that is not
    // complete now is never picked up and the request ends at its deadline.
    log(LOG_DEBUG, 0, id, "execute: id: %lld local future result did not complete", id);
    FutureResult::destroy(local);
    log(LOG_TRACE, 0, id, "execute: id: %lld send ok", id);
}

// --- finishing ----------------------------------------------------------------------

void ExecHelper::releaseContext() {
    if (context == nullptr) return;
    Directory* directory = context->directory;
    delete context;
    context = nullptr;
    // Last: once the count is 0 the session may go.
    if (directory != nullptr) directory->_requests--;
}

void ExecHelper::setFutureResultError(int code) {
    // Before the waiter wakes: it may end the provider as soon as it does.
    releaseContext();
    FutureResult* fr = FutureResult::lockById(id);
    if (fr != nullptr) {
        // Pinned before its listener runs: the listener may let it go, and
        // it must outlive the wake-up below.
        bool pin = !fr->diesOnCallingThread();
        if (pin) fr->addLock();
        bool completed = false;
        if (!fr->failed) {
            fr->error = code;
            fr->failed = true;
            fr->makeComplete(false);
            completed = true;
        }
        FutureResult::release();
        if (completed) fr->signalWaiters();
        if (pin) fr->removeLock();
    }
    finish();
}

void ExecHelper::assignFinalResult(FutureResult* r) {
    FutureResult* fr = FutureResult::lockById(id);
    if (fr == nullptr) return;
    releaseContext();
    takeFinal(fr, r);
    finish();
}

void ExecHelper::takeFinal(FutureResult* fr, FutureResult* r) {
    // Woken once the registry lock is dropped; a lock keeps the result alive
    // from before its listener runs (which may let it go) until then, unless
    // only this thread could free it anyway.
    bool pin = !fr->diesOnCallingThread();
    if (pin) fr->addLock();
    // A final answer completes the result whatever its own flag says (a
    // peer's reply may claim otherwise): left incomplete, it would be
    // waited on for ever, its request being gone.
    if (r != nullptr) {
        r->complete = true;
        fr->assignFrom(r, false);
    } else {
        fr->makeComplete(false);
    }
    FutureResult::release();
    fr->signalWaiters();
    if (pin) fr->removeLock();
}

void ExecHelper::processUpdate(ResultUpdate* u) {
    FutureResult* fr = FutureResult::lockById(u->id);
    if (fr == nullptr) {
        // The owner destroyed the result: nobody wants the reply any more,
        // but a final one still ends the request.
        if (u->kind == ResultUpdate::KIND_RESULT || u->kind == ResultUpdate::KIND_ERROR) finish();
        return;
    }
    bool finished = false;
    if (u->kind == ResultUpdate::KIND_RESULT || u->kind == ResultUpdate::KIND_ERROR) releaseContext();
    switch (u->kind) {
    case ResultUpdate::KIND_RESULT:
        log(LOG_TRACE, 0, u->id, "Assigning to type of id = %lld", u->id);
        takeFinal(fr, u->result);
        finished = true;
        break;
    case ResultUpdate::KIND_PROGRESS:
        fr->update(u->update);
        u->update = nullptr;
        FutureResult::release();
        break;
    case ResultUpdate::KIND_ERROR: {
        // Pinned before the listener runs, as in setFutureResultError.
        bool pin = !fr->diesOnCallingThread();
        if (pin) fr->addLock();
        bool completed = !fr->failed;
        if (completed) {
            fr->error = u->error;
            fr->failed = true;
            fr->makeComplete(false);
        }
        FutureResult::release();
        if (completed) fr->signalWaiters();
        if (pin) fr->removeLock();
        finished = true;
        break;
    }
    default:
        FutureResult::release();
        break;
    }
    if (finished && u->kind == ResultUpdate::KIND_ERROR && u->error == DirError::MUST_RESTART && connection != nullptr) {
        // The connection's peer must start again: everything sent on it is lost.
        bool again = true;
        while (again) {
            again = false;
            for (ExecHelper* h = _execList; h != nullptr; h = h->next) {
                if (h != this && h->connection == connection) {
                    log(LOG_INFO, 0, h->id, "exechelper: failing transaction %lld due to MUST_RESTART from same connection",
                        h->id);
                    h->setFutureResultError(DirError::MUST_RESTART);
                    again = true;
                    break;
                }
            }
        }
    }
    if (finished) finish();
}

// --- asset and endpoint lookups -------------------------------------------------------

void ExecHelper::onComplete(FutureResult* fr) {
    assetLookupOutstanding = false;
    // Only a record ends the lookup: any other answer would leave the cache
    // empty, and the next run would ask again, until the time-out.
    Translatable* answer = nullptr;
    bool record = !fr->failed && fr->result != nullptr && fr->result->getObject(&answer) && answer != nullptr &&
                  (answer->getObjectID() == OBJ_ASSET_ID || answer->getObjectID() == OBJ_ENDPOINT_ID);
    if (fr->failed) {
        log(LOG_DEBUG, 0, id, "asset/endpoint lookup failed: %d", fr->error);
        pendingError = DirError::E_ASSET_LOOKUP;
    } else if (!record) {
        log(LOG_DEBUG, 0, id, "asset/endpoint lookup answered no record");
        pendingError = DirError::E_ASSET_LOOKUP;
    } else {
        log(LOG_TRACE, 0, id, "asset lookup succeeded: %d", fr->error);
    }
    if (lookup == fr) {
        lookup = nullptr;
        lookupId = 0;
    }
    ExecDirThread::postRun(this);
    ExecDirThread::postFree(fr);
}

void ExecHelper::onUpdate(FutureResult*, ExecuteUpdate*) {}

OpenListenerHelper::OpenListenerHelper(FutureResultListener* wrapped, const char* host, int port,
                                       const char* askedId)
    : listener(wrapped), host(host != nullptr ? strdup(host) : nullptr), port(port),
      askedId(askedId != nullptr ? strdup(askedId) : nullptr) {}

OpenListenerHelper::~OpenListenerHelper() {
    free(host);
    free(askedId);
}

void OpenListenerHelper::onComplete(FutureResult* fr) {
    if (fr->complete && !fr->failed && fr->result != nullptr) {
        Translatable* obj = nullptr;
        if (fr->result->getObject(&obj) && obj != nullptr) {
            bool endpoint = obj->getObjectID() == OBJ_ENDPOINT_ID;
            bool asset = obj->getObjectID() == OBJ_ASSET_ID;
            const char* id = endpoint ? static_cast<const Endpoint*>(obj)->id
                                      : asset ? static_cast<const Asset*>(obj)->id : nullptr;
            if ((endpoint || asset) && askedId != nullptr && (id == nullptr || strcmp(id, askedId) != 0)) {
                // Cached under its own id it would never be found for the
                // one asked, and the request would ask again at once, until
                // its time-out.
                log(LOG_WARNING, 0, fr->id, "lookup of %s answered the record of %s", askedId,
                    id != nullptr ? id : "(no id)");
                fr->failed = true;
                fr->error = DirError::E_ASSET_LOOKUP;
            } else if (endpoint) {
                AssetCache::addAssetCache(static_cast<const Endpoint*>(obj));
            } else if (asset) {
                Asset copy(*static_cast<const Asset*>(obj));
                if (copy.id != nullptr && strcmp(copy.id, "ZephanServer") == 0) {
                    free(copy.host);
                    copy.host = host != nullptr ? strdup(host) : nullptr;
                    copy.port = port;
                }
                AssetCache::addAssetCache(&copy);
            }
        }
    }
    if (listener != nullptr) listener->onComplete(fr);
    // Called under the registry lock: not through the later list.
    ExecDirThread::postDeleteLater(this, deleteOpenListener);
}

void OpenListenerHelper::onUpdate(FutureResult* fr, ExecuteUpdate* update) {
    if (listener != nullptr) listener->onUpdate(fr, update);
}
