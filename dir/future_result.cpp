#include "dir/future_result.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/asset.h"
#include "dir/exec_dir_thread.h"
#include "dirbase/any.h"
#include "dirbase/build_json.h"
#include "dirbase/message.h"
#include "dirbase/wire.h"

alignas(64) CriticalBlock FutureResult::_lock{LOCK_RANK_NONE, kProcessLifetime};
alignas(64) std::atomic<long long> FutureResult::_nextId{1};
alignas(64) std::atomic<FutureResult*> FutureResult::_destroyed{nullptr};
FutureResult* FutureResult::_list = nullptr;
int FutureResult::_futureResults = 0;
FutureResult* FutureResult::_byId[FutureResult::kBuckets] = {};
std::atomic<int> FutureResult::defaultTimeout{FutureResult::kDefaultTimeout};

namespace {

void freeValues(Any** values) {
    if (values == nullptr) return;
    for (Any** v = values; *v != nullptr; v++) delete *v;
    free(values);
}

}  // namespace

// --- ExecuteUpdate -------------------------------------------------------------

ExecuteUpdate::ExecuteUpdate(int status, double amount, const char* message)
    : status(status), amount(amount), message(message != nullptr ? strdup(message) : nullptr) {}

ExecuteUpdate::ExecuteUpdate(const ExecuteUpdate& o)
    : Translatable(o), status(o.status), amount(o.amount),
      message(o.message != nullptr ? strdup(o.message) : nullptr) {}

ExecuteUpdate::~ExecuteUpdate() {
    free(message);
}

char* ExecuteUpdate::toString(Parser*) {
    char amount[40];
    snprintf(amount, sizeof amount, "%g", this->amount);
    return buildJSON("iss", "status", status, "amount", amount, "message", message);
}

unsigned int ExecuteUpdate::getObjectID() const {
    return OBJ_EXECUTEUPDATE_ID;
}

int ExecuteUpdateXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const ExecuteUpdate* u = static_cast<const ExecuteUpdate*>(*obj);
        m->writeInt32Field(1, u->status);
        m->writeDoubleField(2, u->amount);
        return m->writeStringField(3, u->message) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    int32_t status = 0;
    double amount = 0;
    char* message = nullptr;
    if (m->readInt32Field(1, &status) != 0 || m->readDoubleField(2, &amount) != 0 ||
        m->readStringField(3, &message) != 0)
        return -1;
    ExecuteUpdate* u = new ExecuteUpdate(status, amount, nullptr);
    u->message = message;
    *obj = u;
    return 0;
}

// --- FutureResult ----------------------------------------------------------------

FutureResult::FutureResult(FutureResultListener* listener)
    : result(nullptr), errorText(nullptr), error(0), timeout(defaultTimeout.load()), deadline(0), failed(false),
      complete(false), listener(listener), id(0), data(nullptr), dataLength(0), dataText(nullptr),
      values(nullptr), ownerThread(nullptr), lockCount(0), destroyed(false), lengthyOp(nullptr),
      _signalled(false), _listed(true), _indexed(true), _next(nullptr), _prev(nullptr), _sameHash(nullptr),
      _destroyedNext(nullptr) {
    // A listener runs with the registry lock held (lockById); one that
    // starts a follow-up request registers it under the lock it holds.
    bool nested = _lock.heldByCaller();
    if (!nested) _lock.enter();
    id = _nextId++;
    _next = _list;
    if (_list != nullptr) _list->_prev = this;
    _list = this;
    FutureResult*& bucket = _byId[bucketOf(id)];
    _sameHash = bucket;
    bucket = this;
    _futureResults++;
    if (!nested) _lock.exit();
}

FutureResult::FutureResult(Unlisted)
    : result(nullptr), errorText(nullptr), error(0), timeout(defaultTimeout.load()), deadline(0), failed(false),
      complete(false), listener(nullptr), id(_nextId++), data(nullptr), dataLength(0), dataText(nullptr),
      values(nullptr), ownerThread(nullptr), lockCount(0), destroyed(false), lengthyOp(nullptr),
      _signalled(false), _listed(false), _indexed(false), _next(nullptr), _prev(nullptr), _sameHash(nullptr),
      _destroyedNext(nullptr) {}

FutureResult* FutureResult::newUnlisted() {
    return new FutureResult(Unlisted());
}

FutureResult::~FutureResult() {
    if (_listed) {
        CriticalSection hold(_lock);
        unlist();
    }
    delete result;
    free(errorText);
    free(data);
    free(dataText);
    freeValues(values);
    free(lengthyOp);
}

int FutureResult::liveCount() {
    CriticalSection hold(_lock);
    return _futureResults;
}

void FutureResult::deleteNow(void* object) {
    delete static_cast<FutureResult*>(object);
}

void FutureResult::unlist() {
    if (_prev != nullptr)
        _prev->_next = _next;
    else if (_list == this)
        _list = _next;
    if (_next != nullptr) _next->_prev = _prev;
    if (_indexed) unindex();
    _futureResults--;
    _listed = false;
}

void FutureResult::unindex() {
    for (FutureResult** link = &_byId[bucketOf(id)]; *link != nullptr; link = &(*link)->_sameHash) {
        if (*link == this) {
            *link = _sameHash;
            break;
        }
    }
    _indexed = false;
}

void FutureResult::destroy(FutureResult* fr) {
    if (fr == nullptr) return;
    // Out of the index at once: a reply that comes later finds nothing, and
    // one being handled now (its listener runs under the registry lock) is
    // over before the caller goes on to delete that listener. A result whose
    // waiters were signalled needs neither: its completion has left the
    // lock, and its request (if any) has finished, so nothing looks it up
    // again; it leaves the index with the registry when it is deleted. That
    // spares the owner the registry lock, which the execution thread takes
    // for every reply.
    bool signalled;
    {
        CondSection hold(fr->cond);
        signalled = fr->_signalled;
    }
    if (!signalled) {
        bool nested = _lock.heldByCaller();
        if (!nested) _lock.enter();
        if (fr->_indexed) fr->unindex();
        if (!nested) _lock.exit();
    }
    bool unlocked;
    {
        CondSection hold(fr->cond);
        fr->destroyed = true;
        unlocked = fr->lockCount == 0;
    }
    if (!unlocked) return;
    fr->deleteOnOwner();
}

void FutureResult::deleteOnOwner() {
    if (ownerThread != nullptr) {
        ownerThread->deleteLater(this, deleteNow);
        return;
    }
    if (ExecDirThread::instance() == nullptr) {
        delete this;
        return;
    }
    // The execution thread takes the stack at its next later-list turn.
    FutureResult* head = _destroyed.load(std::memory_order_relaxed);
    do {
        _destroyedNext = head;
    } while (!_destroyed.compare_exchange_weak(head, this, std::memory_order_release, std::memory_order_relaxed));
}

void FutureResult::freeDestroyed() {
    FutureResult* taken = _destroyed.exchange(nullptr, std::memory_order_acquire);
    if (taken == nullptr) return;
    {
        // Out of the registry together, under one entry of its lock.
        CriticalSection hold(_lock);
        for (FutureResult* fr = taken; fr != nullptr; fr = fr->_destroyedNext)
            if (fr->_listed) fr->unlist();
    }
    FutureResult* fr = taken;
    while (fr != nullptr) {
        FutureResult* next = fr->_destroyedNext;
        delete fr;
        fr = next;
    }
}

void FutureResult::addLock() {
    CondSection hold(cond);
    lockCount++;
}

void FutureResult::removeLock() {
    bool last;
    {
        CondSection hold(cond);
        last = --lockCount == 0 && destroyed;
    }
    if (!last) return;
    // destroy() found it locked and left it to the last holder.
    deleteOnOwner();
}

FutureResult* FutureResult::lockById(long long wanted) {
    _lock.enter();
    for (FutureResult* fr = _byId[bucketOf(wanted)]; fr != nullptr; fr = fr->_sameHash)
        if (fr->id == wanted) return fr;
    _lock.exit();
    return nullptr;
}

void FutureResult::release() {
    _lock.exit();
}

bool FutureResult::diesOnCallingThread() const {
    // A future result is only deleted on its owner's thread (through that
    // thread's later list, or at once when no execution thread runs).
    DaemonThread* owner = ownerThread != nullptr ? ownerThread : ExecDirThread::instance();
    return owner != nullptr && owner == DaemonThread::getCurrentThread();
}

namespace {

// The results whose waiters the open WakeBatch of this thread will wake;
// null when none is open.
thread_local std::vector<FutureResult*>* t_heldWakes = nullptr;

// A long batch wakes what it holds every so many results, so that a caller
// refills its window of requests while the thread goes on, rather than
// waiting idle for the whole batch. Fewer would bring back the wake-up per
// result; with 16, 64 outstanding executes ran about 5% faster than with
// the whole batch held, at the same CPU per execute.
const size_t kMostHeldWakes = 16;

void wakeHeld(std::vector<FutureResult*>& held) {
    for (FutureResult* fr : held) fr->cond.broadcastReleased();
    held.clear();
}

}  // namespace

FutureResult::WakeBatch::WakeBatch() : _outermost(t_heldWakes == nullptr) {
    static thread_local std::vector<FutureResult*> held;
    if (_outermost) t_heldWakes = &held;
}

FutureResult::WakeBatch::~WakeBatch() {
    if (!_outermost) return;
    std::vector<FutureResult*>& held = *t_heldWakes;
    t_heldWakes = nullptr;
    wakeHeld(held);
}

void FutureResult::signalWaiters() {
    // When only this thread can free it, nothing can before the broadcast,
    // which then follows the release: a waiter woken while the block is
    // still held would only wake to sleep again on its mutex.
    bool deletedOnlyHere = diesOnCallingThread();
    {
        CondSection hold(cond);
        _signalled = true;
        if (!deletedOnlyHere) {
            cond.broadcast();
            return;
        }
    }
    if (t_heldWakes == nullptr) {
        cond.broadcastReleased();
        return;
    }
    t_heldWakes->push_back(this);
    if (t_heldWakes->size() >= kMostHeldWakes) wakeHeld(*t_heldWakes);
}

namespace {

// Keeps a result alive across a call of its listener: the listener may be
// its owner and destroy it there, while the caller still has to wake the
// waiters. Only needed where another thread could free it meanwhile (on the
// execution thread it is freed at the thread's next later-list turn; with
// no execution thread, at once).
class ListenerPin {
public:
    explicit ListenerPin(FutureResult* result)
        : _result(result->listener != nullptr && !result->diesOnCallingThread() ? result : nullptr) {
        if (_result != nullptr) _result->addLock();
    }
    ~ListenerPin() {
        if (_result != nullptr) _result->removeLock();  // may free it
    }
    ListenerPin(const ListenerPin&) = delete;
    ListenerPin& operator=(const ListenerPin&) = delete;

private:
    FutureResult* _result;
};

}  // namespace

void FutureResult::makeComplete(bool wake) {
    {
        CondSection hold(cond);
        complete = true;
    }
    ListenerPin pin(this);
    if (listener != nullptr) listener->onComplete(this);
    if (wake) signalWaiters();
}

void FutureResult::assignFrom(FutureResult* other, bool wake) {
    if (other == nullptr || other == this) return;
    {
        CondSection hold(cond);
        delete result;
        result = other->result;
        other->result = nullptr;
        error = other->error;
        failed = other->failed;
        complete = other->complete;
        free(errorText);
        errorText = other->errorText;
        other->errorText = nullptr;
        free(dataText);
        dataText = other->dataText;
        other->dataText = nullptr;
        freeValues(values);
        values = other->values;
        other->values = nullptr;
        free(data);
        data = nullptr;
        dataLength = 0;
        if (other->data != nullptr && other->dataLength > 0) {
            data = static_cast<unsigned char*>(malloc(other->dataLength));
            memcpy(data, other->data, other->dataLength);
            dataLength = other->dataLength;
        }
    }
    if (!complete) return;
    ListenerPin pin(this);
    if (listener != nullptr) {
        log(LOG_TRACE, 0, id, "Calling complete listener for %p", static_cast<void*>(this));
        listener->onComplete(this);
    }
    if (wake) signalWaiters();
}

void FutureResult::update(ExecuteUpdate* u) {
    deadline = time(nullptr) + timeout;
    ListenerPin pin(this);
    if (listener != nullptr) listener->onUpdate(this, u);
    {
        CondSection hold(cond);
        cond.broadcast();
    }
    delete u;
}

void FutureResult::notifyTimeout(int) {
    ExecDirThread::postSetTimeout(id, timeout);
}

void FutureResult::setResult(Any* value) {
    delete result;
    result = value;
    makeComplete();
}

void FutureResult::setError(int code, const char* text) {
    error = code;
    failed = true;
    free(errorText);
    errorText = text != nullptr ? strdup(text) : nullptr;
    makeComplete();
}

bool FutureResult::waitComplete(int ms) {
    CondSection hold(cond);
    if (ms < 0) {
        while (!_signalled) cond.wait();
        return true;
    }
    long long start = monotonicMs();
    while (!_signalled) {
        long long spent = monotonicMs() - start;
        if (spent >= ms) break;
        cond.wait(static_cast<int>(ms - spent));
    }
    return _signalled;
}

bool FutureResult::isSignalled() {
    CondSection hold(cond);
    return _signalled;
}

void FutureResult::setData(unsigned char* bytes, int length) {
    free(data);
    data = bytes;
    dataLength = bytes != nullptr ? length : 0;
}

char* FutureResult::toString(Parser*) {
    long long idCopy = id;
    return buildJSON("jbbiso", "id", &idCopy, "complete", static_cast<int>(complete), "failed",
                     static_cast<int>(failed), "error", error, "errorText", errorText, "result",
                     static_cast<Translatable*>(result));
}

unsigned int FutureResult::getObjectID() const {
    return OBJ_FUTURERESULT_ID;
}

int FutureResultXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const FutureResult* fr = static_cast<const FutureResult*>(*obj);
        writeAnyField(m, 1, fr->result);
        m->writeInt32Field(2, fr->error);
        m->writeBoolField(3, fr->complete);
        m->writeBoolField(4, fr->failed);
        m->writeStringField(5, fr->errorText);
        m->writeInt32Field(6, fr->dataLength);
        if (fr->dataLength != 0) m->writeBytesField(7, fr->data, static_cast<uint32_t>(fr->dataLength));
        m->writeStringField(8, fr->dataText);
        int count = 0;
        if (fr->values != nullptr)
            while (fr->values[count] != nullptr) count++;
        m->writeInt32Field(20, count);
        for (int i = 0; i < count; i++) writeAnyField(m, 21 + i, fr->values[i]);
        return m->getError() != 0 ? -1 : 0;
    }
    *obj = nullptr;
    FutureResult* fr = FutureResult::newUnlisted();
    int32_t dataLength = 0, count = 0;
    bool ok = readAnyField(m, 1, &fr->result) == 0 && m->readInt32Field(2, &fr->error) == 0 &&
              m->readBoolField(3, &fr->complete) == 0 && m->readBoolField(4, &fr->failed) == 0 &&
              m->readStringField(5, &fr->errorText) == 0 && m->readInt32Field(6, &dataLength) == 0;
    if (ok && dataLength != 0) {
        uint32_t got = 0;
        ok = dataLength > 0 && m->readBytesField(7, &fr->data, &got) == 0 &&
             got == static_cast<uint32_t>(dataLength);
        fr->dataLength = fr->data != nullptr ? static_cast<int>(got) : 0;
    }
    ok = ok && m->readStringField(8, &fr->dataText) == 0;
    if (ok && m->hasField(20)) ok = m->readInt32Field(20, &count) == 0;
    // Each value is a field of its own, so a count beyond what the object
    // holds fails at the first missing field rather than allocating for it.
    if (ok && count < 0) ok = false;
    if (ok && count > 0 && m->fieldCount() < count) ok = false;
    if (ok && count > 0) {
        fr->values = static_cast<Any**>(calloc(static_cast<size_t>(count) + 1, sizeof(Any*)));
        for (int i = 0; ok && i < count; i++) ok = readAnyField(m, 21 + i, &fr->values[i]) == 0;
    }
    if (!ok) {
        delete fr;
        return -1;
    }
    *obj = fr;
    return 0;
}

namespace {

// The pieces of the in-place decoder: each takes one field in the layout the
// translator writes, or fails leaving the caller to give up.
bool takeBoolField(WireReader& r, unsigned int n, bool* v) {
    unsigned char b;
    if (!r.takeFieldHead(n) || !r.takeTag(TAG_BOOL) || !r.takeU8(&b)) return false;
    *v = b != 0;
    return true;
}

bool takeStringField(WireReader& r, unsigned int n, char** s) {
    uint32_t length;
    const unsigned char* bytes;
    if (!r.takeFieldHead(n)) return false;
    if (r.takeTag(TAG_NULL_STRING)) return true;
    if (!r.takeTag(TAG_STRING) || !r.takeU32BE(&length) || (bytes = r.takeBytes(length)) == nullptr) return false;
    char* copy = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    memcpy(copy, bytes, length);
    copy[length] = 0;
    *s = copy;
    return true;
}

bool takeAnyField(WireReader& r, unsigned int n, Any** v) {
    if (!r.takeFieldHead(n)) return false;
    if (r.takeTag(TAG_NULL_OBJECT)) return true;
    size_t used = 0;
    Any* a = parseAnyInPlace(r.position(), r.left(), &used);
    if (a == nullptr) return false;
    r.takeBytes(used);
    *v = a;
    return true;
}

// Values beyond this many are numbered past one byte; the index reads those.
const uint32_t kInPlaceMaxValues = 200;

}  // namespace

Translatable* FutureResultInPlace(const unsigned char* p, size_t available, size_t* used) {
    WireReader r(p, available);
    FutureResult* fr = FutureResult::newUnlisted();
    uint32_t error = 0, dataLength = 0, count = 0;
    bool ok = takeAnyField(r, 1, &fr->result) && r.takeInt32Field(2, &error) && takeBoolField(r, 3, &fr->complete) &&
              takeBoolField(r, 4, &fr->failed) && takeStringField(r, 5, &fr->errorText) &&
              r.takeInt32Field(6, &dataLength) && static_cast<int32_t>(dataLength) >= 0;
    fr->error = static_cast<int32_t>(error);
    if (ok && dataLength != 0) {
        uint32_t got = 0;
        const unsigned char* bytes = nullptr;
        ok = r.takeFieldHead(7) && r.takeTag(TAG_BYTES) && r.takeU32BE(&got) && got == dataLength &&
             (bytes = r.takeBytes(got)) != nullptr;
        if (ok) {
            // As the general reader does: one spare byte, a terminating zero.
            fr->data = static_cast<unsigned char*>(malloc(static_cast<size_t>(got) + 1));
            memcpy(fr->data, bytes, got);
            fr->data[got] = 0;
            fr->dataLength = static_cast<int>(got);
        }
    }
    ok = ok && takeStringField(r, 8, &fr->dataText) && r.takeInt32Field(20, &count) && count <= kInPlaceMaxValues;
    if (ok && count > 0) {
        fr->values = static_cast<Any**>(calloc(static_cast<size_t>(count) + 1, sizeof(Any*)));
        for (uint32_t i = 0; ok && i < count; i++) ok = takeAnyField(r, 21 + i, &fr->values[i]);
    }
    if (!ok || !r.takeTag(TAG_OBJECT_END)) {
        delete fr;
        return nullptr;
    }
    *used = static_cast<size_t>(r.position() - p);
    return fr;
}

// --- FileIo -------------------------------------------------------------------------

FileIo::FileIo(long long offset, long long size, int length, const unsigned char* src)
    : error(0), text(nullptr), offset(offset), size(size), bytes(nullptr), length(length > 0 ? length : 0) {
    if (this->length > 0) {
        bytes = static_cast<unsigned char*>(malloc(this->length));
        if (src != nullptr)
            memcpy(bytes, src, this->length);
        else
            memset(bytes, 0, this->length);
    }
}

FileIo::FileIo(int error, const char* text)
    : error(error), text(text != nullptr ? strdup(text) : nullptr), offset(0), size(0), bytes(nullptr), length(0) {}

FileIo::~FileIo() {
    free(text);
    free(bytes);
}

char* FileIo::toString(Parser*) {
    return buildJSON("isjji", "error", error, "text", text, "offset", &offset, "size", &size, "length", length);
}

unsigned int FileIo::getObjectID() const {
    return OBJ_FILEIO_ID;
}

int FileIoXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const FileIo* f = static_cast<const FileIo*>(*obj);
        m->writeInt32Field(1, f->error);
        m->writeStringField(2, f->text);
        m->writeInt64Field(3, f->offset);
        m->writeInt64Field(4, f->size);
        m->writeBytesField(5, f->bytes, static_cast<uint32_t>(f->length));
        return m->writeInt32Field(6, f->length) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    int32_t error = 0, length = 0;
    char* text = nullptr;
    int64_t offset = 0, size = 0;
    unsigned char* bytes = nullptr;
    uint32_t got = 0;
    if (m->readInt32Field(1, &error) != 0 || m->readStringField(2, &text) != 0) return -1;
    if (m->readInt64Field(3, &offset) != 0 || m->readInt64Field(4, &size) != 0 ||
        m->readBytesField(5, &bytes, &got) != 0 || m->readInt32Field(6, &length) != 0 ||
        length != static_cast<int32_t>(got)) {
        free(text);
        free(bytes);
        return -1;
    }
    FileIo* f = new FileIo(error, nullptr);
    f->text = text;
    f->offset = offset;
    f->size = size;
    f->bytes = bytes;
    f->length = length;
    *obj = f;
    return 0;
}

void exec_registerTranslators() {
    MessageBase::registerObjectXlator(OBJ_FUTURERESULT_ID, FutureResultXlator, FutureResultInPlace);
    MessageBase::registerObjectXlator(OBJ_EXECUTEUPDATE_ID, ExecuteUpdateXlator);
    MessageBase::registerObjectXlator(OBJ_FILEIO_ID, FileIoXlator);
    MessageBase::registerObjectXlator(OBJ_ASSET_ID, AssetXlator);
    MessageBase::registerObjectXlator(OBJ_ENDPOINT_ID, EndpointXlator);
}
