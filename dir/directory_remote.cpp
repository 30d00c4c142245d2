// resolveToObject's remote branch: a step below a remote provider is sent
// asynchronously with the request's resolve helper, and the request's next
// run takes the answer from the helper's event.
#include <time.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/async_resolve.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/resolve_context.h"

int Directory::consumeAsyncResolve(ResolveContext* rc, AsyncResolveHelper* arh) {
    if (!arh->isOutstanding() || arh->event == nullptr) return 0;
    DelayedEvent* event = arh->event;
    // Not answered yet: the completer runs the request again when it is.
    if (!event->isDone()) return DirError::E_WAITING_FOR_RESULT;
    if (event->isError()) {
        int code = event->getErrorCode();
        arh->clear();
        return code;
    }
    DirectoryObject* object = arh->takeAnswer();
    if (object == nullptr) return DirError::E_OBJECT_NOT_FOUND;
    if (_debug)
        log(0, "    arh resolves to: %s|%p", object->className != nullptr ? object->className : "NULL",
            static_cast<void*>(rc->spi));
    rc->setCurrent(object);
    adjustSPI(rc, object);
    rc->index++;
    return 0;
}

int Directory::startAsyncResolve(ResolveContext* rc, AsyncResolveHelper* arh) {
    if (_remote == nullptr) return DirError::E_NOT_CONNECTED;
    arh->begin();
    DelayedEvent* event = arh->getEvent();
    int rv = _remote->asyncResolve(rc->spi, event, rc->target, rc->principal, rc->current, rc->entry(rc->index));
    if (rv == 0) return DirError::E_WAITING_FOR_RESULT;
    arh->clear();
    return rv;
}
