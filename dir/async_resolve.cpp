#include "dir/async_resolve.h"

#include "common/log.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/exec_helper.h"

AsyncResolveHelper::AsyncResolveHelper(ExecHelper* owner)
    : deadline(0), event(nullptr), owner(owner), outstanding(false) {}

AsyncResolveHelper::~AsyncResolveHelper() {
    clear();
}

DelayedEvent* AsyncResolveHelper::getEvent() {
    if (event == nullptr) {
        event = new DelayedEvent(AsyncResolveCompleter::instance());
        event->userValue = owner != nullptr ? owner->getId() : 0;
    }
    return event;
}

void AsyncResolveHelper::begin() {
    deadline = time(nullptr) + kResolveSeconds;
    outstanding = true;
}

void AsyncResolveHelper::clear() {
    // A request that ended (time-out, failure) before it took the answer.
    // The event leaves the registry first: an answer that a supplier was
    // filling in meanwhile is then in it, and freed here.
    if (event != nullptr) {
        event->withdraw();
        if (event->isDone() && !event->isError()) delete static_cast<DirectoryObject*>(event->getValue());
    }
    delete event;
    event = nullptr;
    outstanding = false;
}

DirectoryObject* AsyncResolveHelper::takeAnswer() {
    DirectoryObject* answer = event != nullptr ? static_cast<DirectoryObject*>(event->getValue()) : nullptr;
    delete event;
    event = nullptr;
    outstanding = false;
    return answer;
}

AsyncResolveCompleter* AsyncResolveCompleter::instance() {
    static AsyncResolveCompleter completer;
    return &completer;
}

void AsyncResolveCompleter::onDelayedEventChange(DelayedEvent* event) {
    log(LOG_TRACE, 0, event->userValue, "delay event for id: %lld deleverd from asycn resolver", event->userValue);
    ExecDirThread::postAsyncResolve(event->userValue);
}
