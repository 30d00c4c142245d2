// Directory's execution entry points: execute and its lengthy-operation
// form, the calls by which providers report replies and progress by request
// id, the execution thread's start and stop, and openProvider's asset and
// endpoint lookups (which are themselves directory operations).
#include <stdio.h>
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
    ExecDirThread::postResultUpdate(new ResultUpdate{kind, id, error, update, result});
}

// The object an asset or endpoint lookup answered, or null.
const Translatable* answerOf(FutureResult* fr) {
    Translatable* obj = nullptr;
    if (fr->result == nullptr || !fr->result->getObject(&obj)) return nullptr;
    return obj;
}

}  // namespace

FutureResult* Directory::execute(const DirName* name, FutureResultListener* listener, const char* operation,
                                 Any** args) {
    return executeWithLengthyOp(name, nullptr, listener, operation, args);
}

FutureResult* Directory::executeWithLengthyOp(const DirName* name, const char* description,
                                              FutureResultListener* listener, const char* operation, Any** args) {
    ResolveContext* rc = new ResolveContext(this, name, findPrincipal());
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

void Directory::startExecThread(bool serverMode) {
    ExecDirThread::startIfNeeded(serverMode);
}

void Directory::stopExecThreadIfClient() {
    ExecDirThread::stopAndWait();
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
    char text[600];
    snprintf(text, sizeof text, "/asset:id=\"%s\"", id != nullptr ? id : "");
    int error = 0;
    DirName* name = DirName::createFromString(text, &error);
    if (name == nullptr) return DirError::E_ASSET_LOOKUP;
    FutureResultListener* wrapped =
        listener != nullptr ? new OpenListenerHelper(listener, host, port != nullptr ? atoi(port) : 0) : nullptr;
    FutureResult* fr = execute(name, wrapped, "getAsset", nullptr);
    delete name;
    if (pending != nullptr) {
        *pending = fr;
        return DirError::E_WAITING_ON_ASSET;
    }
    fr->waitComplete();
    int rv = 0;
    const Translatable* answer = answerOf(fr);
    if (fr->failed) {
        rv = fr->error == DirError::E_TIMEOUT            ? DirError::E_TIMEOUT
             : fr->error == DirError::E_OBJECT_NOT_FOUND ? DirError::E_NO_SUCH_ASSET
                                                          : DirError::E_ASSET_LOOKUP;
    } else if (answer == nullptr || answer->getObjectID() != OBJ_ASSET_ID) {
        rv = DirError::E_ASSET_LOOKUP;
    } else {
        Asset* copy = new Asset(*static_cast<const Asset*>(answer));
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
    char text[600];
    snprintf(text, sizeof text, "/endpoint:id=\"%s\"", id != nullptr ? id : "");
    int error = 0;
    DirName* name = DirName::createFromString(text, &error);
    if (name == nullptr) return DirError::E_ASSET_LOOKUP;
    FutureResultListener* wrapped =
        listener != nullptr ? new OpenListenerHelper(listener, host, port != nullptr ? atoi(port) : 0) : nullptr;
    FutureResult* fr = execute(name, wrapped, "getEndpointData", nullptr);
    delete name;
    if (pending != nullptr) {
        *pending = fr;
        return DirError::E_WAITING_ON_ASSET;
    }
    fr->waitComplete();
    int rv = 0;
    const Translatable* answer = answerOf(fr);
    if (fr->failed) {
        rv = fr->error == DirError::E_TIMEOUT            ? DirError::E_TIMEOUT
             : fr->error == DirError::E_OBJECT_NOT_FOUND ? DirError::E_NO_SUCH_ENDPOINT
                                                          : DirError::E_ASSET_LOOKUP;
    } else if (answer == nullptr || answer->getObjectID() != OBJ_ENDPOINT_ID) {
        rv = DirError::E_ASSET_LOOKUP;
    } else {
        Endpoint* copy = new Endpoint(*static_cast<const Endpoint*>(answer));
        AssetCache::addAssetCache(copy);
        *out = copy;
    }
    FutureResult::destroy(fr);
    return rv;
}
