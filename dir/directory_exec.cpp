// Directory's execution entry points: execute and its lengthy-operation
// form, the calls by which providers report replies and progress by request
// id, the execution thread's start and stop, and openProvider's asset and
// endpoint lookups (which are themselves directory operations).
#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/directory.h"
#include "dir/exec_dir_thread.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dir/resolve_context.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"

namespace {

const char kServerAssetId[] = "ZephanServer";

void postUpdate(int kind, long long id, int error, ExecuteUpdate* update, FutureResult* result) {
    ExecDirThread::postResultUpdate(new ResultUpdate(kind, id, error, update, result));
}

// The object an asset or endpoint lookup answered, or null.
const Translatable* answerOf(FutureResult* fr) {
    Translatable* obj = nullptr;
    if (fr->result == nullptr || !fr->result->getObject(&obj)) return nullptr;
    return obj;
}

// Asks the directory itself for the asset or endpoint record `id` (an
// operation on "/CLASS:id=..."). A caller that passed `pending` gets the
// request back to wait on elsewhere (E_WAITING_ON_ASSET); otherwise this
// waits and hands over the completed request in *done (0), except on the
// execution thread (30).
int askForRecord(Directory& directory, const char* className, const char* operation, const char* id,
                 FutureResult** pending, FutureResultListener* listener, FutureResult** done) {
    if (pending == nullptr && ExecDirThread::isExecThread()) {
        // A synchronous call made on the execution thread (from a local
        // provider's execute, or a listener) cannot wait here: only this
        // thread could run the lookup.
        log(LOG_WARNING, 0, 0, "%s of %s cannot wait on the execution thread", operation, id != nullptr ? id : "");
        return DirError::E_ASSET_LOOKUP;
    }
    // "/CLASS:id=<id>", built as a name rather than written out and parsed:
    // an id is a value, whose quotes, delimiters and length are its own.
    DirName* name = new DirName();
    name->absolute = true;
    name->append(new DirNameEntry(className, "id", id != nullptr ? id : ""));
    int port = directory.port != nullptr ? atoi(directory.port) : 0;
    FutureResultListener* wrapped =
        listener != nullptr ? new OpenListenerHelper(listener, directory.host, port, id) : nullptr;
    FutureResult* fr = directory.execute(name, wrapped, operation, nullptr);
    delete name;
    if (pending != nullptr) {
        *pending = fr;
        return DirError::E_WAITING_ON_ASSET;
    }
    fr->waitComplete();
    *done = fr;
    return 0;
}

// 0 when a completed lookup answered the record of class `wantedId` and id
// `askedId`; else the code to give: a time-out stays one, a missing object
// is `notFound`. Another record's answer is none: the name would reach the
// asked id at that record's address.
int recordLookupError(FutureResult* fr, unsigned int wantedId, const char* askedId, int notFound) {
    if (fr->failed) {
        if (fr->error == DirError::E_TIMEOUT) return DirError::E_TIMEOUT;
        return fr->error == DirError::E_OBJECT_NOT_FOUND ? notFound : DirError::E_ASSET_LOOKUP;
    }
    const Translatable* answer = answerOf(fr);
    if (answer == nullptr || answer->getObjectID() != wantedId) return DirError::E_ASSET_LOOKUP;
    const char* id = wantedId == OBJ_ASSET_ID ? static_cast<const Asset*>(answer)->id
                                              : static_cast<const Endpoint*>(answer)->id;
    if (id == nullptr || strcmp(id, askedId != nullptr ? askedId : "") != 0) {
        log(LOG_WARNING, 0, fr->id, "lookup of %s answered the record of %s", askedId != nullptr ? askedId : "",
            id != nullptr ? id : "(no id)");
        return DirError::E_ASSET_LOOKUP;
    }
    return 0;
}

}  // namespace

FutureResult* Directory::execute(const DirName* name, FutureResultListener* listener, const char* operation,
                                 Any** args) {
    return executeWithLengthyOp(name, nullptr, listener, operation, args);
}

FutureResult* Directory::executeWithLengthyOp(const DirName* name, const char* description,
                                              FutureResultListener* listener, const char* operation, Any** args) {
    // The request's context takes a copy: it is freed on the execution
    // thread, and a share of the session's principal would move the
    // principal's reference count between the caller's CPU and that
    // thread's on every request, which costs more than the copy.
    ResolveContext* rc = new ResolveContext(this, name, findPrincipal().get());
    FutureResult* fr = new FutureResult(listener);
    if (description != nullptr) fr->lengthyOp = strdup(description);
    if (_spi_debug) {
        char* text = name != nullptr ? const_cast<DirName*>(name)->toString(nullptr) : nullptr;
        log(0, "DIRECTORY::EXECUTE on %s, operation: %s, future result id will be %lld, listener = %p",
            text != nullptr ? text : "(null)", operation != nullptr ? operation : "(null)", fr->id,
            static_cast<void*>(listener));
        free(text);
    }
    bool reset = operation != nullptr && strcmp(operation, "__force_reset") == 0;
    bool resetNoWait = operation != nullptr && strcmp(operation, "__force_reset_no_wait") == 0;
    if (reset || resetNoWait) {
        resetDomain(rc, nullptr, nullptr, reset);
        delete rc;
        fr->result = new Any(0);
        fr->makeComplete();
        return fr;
    }
    ExecHelper* helper = new ExecHelper(fr, rc, name, operation, args);
    if (!ExecDirThread::postNew(helper)) {
        // No execution thread (no session started one): nothing can run it.
        fr->setError(DirError::E_NO_PROVIDER);
    }
    return fr;
}

void Directory::executeComplete(long long id, int error) {
    postUpdate(ResultUpdate::KIND_ERROR, id, error, nullptr, nullptr);
}

void Directory::executeComplete(long long id, FutureResult* result) {
    postUpdate(ResultUpdate::KIND_RESULT, id, 0, nullptr, result);
}

void Directory::executeUpdated(long long id, ExecuteUpdate* update) {
    postUpdate(ResultUpdate::KIND_PROGRESS, id, 0, update, nullptr);
}

void Directory::spiConnected(const char* name) {
    ExecDirThread::postRestart(name);
}

int Directory::lookupAssetForOpen(const char* id, FutureResult** pending, FutureResultListener* listener,
                                  Asset** out) {
    *out = nullptr;
    if (assetMapper != nullptr) {
        *out = assetMapper->lookupAsset(id);
        return *out != nullptr ? 0 : DirError::E_NO_SUCH_ASSET;
    }
    Asset* cached = AssetCache::assetCacheLookup(id);
    if (_spi_debug) log(0, "asset cache lookup of %s yields %p", id, static_cast<void*>(cached));
    if (cached != nullptr) {
        *out = cached;
        return 0;
    }
    FutureResult* fr = nullptr;
    int rv = askForRecord(*this, "asset", "getAsset", id, pending, listener, &fr);
    if (rv != 0) return rv;
    rv = recordLookupError(fr, OBJ_ASSET_ID, id, DirError::E_NO_SUCH_ASSET);
    if (rv == 0) {
        Asset* copy = new Asset(*static_cast<const Asset*>(answerOf(fr)));
        // The server's own asset is reached at the address this directory
        // already talks to, whatever the record says.
        if (copy->id != nullptr && strcmp(copy->id, kServerAssetId) == 0) {
            free(copy->host);
            copy->host = host != nullptr ? strdup(host) : nullptr;
            copy->port = port != nullptr ? atoi(port) : 0;
        }
        AssetCache::addAssetCache(copy);
        *out = copy;
    }
    FutureResult::destroy(fr);
    return rv;
}

int Directory::lookupEndpointForOpen(const char* id, FutureResult** pending, FutureResultListener* listener,
                                     Endpoint** out) {
    *out = nullptr;
    if (assetMapper != nullptr) {
        *out = assetMapper->lookupEndpoint(id);
        return *out != nullptr ? 0 : DirError::E_NO_SUCH_ENDPOINT;
    }
    Endpoint* cached = AssetCache::assetCacheLookupEndpoint(id);
    if (cached != nullptr) {
        *out = cached;
        return 0;
    }
    FutureResult* fr = nullptr;
    int rv = askForRecord(*this, "endpoint", "getEndpointData", id, pending, listener, &fr);
    if (rv != 0) return rv;
    rv = recordLookupError(fr, OBJ_ENDPOINT_ID, id, DirError::E_NO_SUCH_ENDPOINT);
    if (rv == 0) {
        Endpoint* copy = new Endpoint(*static_cast<const Endpoint*>(answerOf(fr)));
        AssetCache::addAssetCache(copy);
        *out = copy;
    }
    FutureResult::destroy(fr);
    return rv;
}
