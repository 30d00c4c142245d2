// FutureResult: the asynchronous result of a directory operation, with the
// process-wide registry through which replies find it by id; ExecuteUpdate,
// the progress of a running operation; FileIo, a block of a remote file read.
//
// Life of a future result: Directory::execute creates it and hands it to its
// caller, who owns it and ends it with FutureResult::destroy. The execution
// thread completes it (a value, or an error code with `failed` set) and may
// update it with progress; a waiter blocks in waitComplete, a listener is
// told through FutureResultListener. Requests never hold a pointer to their
// future result: they find it by id under the registry lock, so a result the
// caller has already destroyed simply is not found.
//
// Thread-safety: the registry (the list and the id counter) is guarded by
// FutureResult::_lock; lockById returns with it held. What waiters read
// (complete, failed, error, result) is written by the execution thread and
// read after waitComplete, whose condition block orders the two. Listener
// callbacks reached through lockById run with the registry lock held and
// must not call lockById; a result they are done with goes to
// ExecDirThread::postFree. Lock order: the registry lock, then an object's
// condition block, then a thread's later-list lock or an operation target's
// queue lock (listeners post). Lookups by id go through a hash index beside
// the list, so the lock is held for as short a time as the caller needs.
#ifndef DRV_DIR_FUTURE_RESULT_H
#define DRV_DIR_FUTURE_RESULT_H

#include <stdint.h>
#include <time.h>

#include <atomic>

#include "common/sem.h"
#include "dir/request_alloc.h"
#include "dirbase/translatable.h"

class Any;
class DaemonThread;
class ExecuteUpdate;
class FutureResult;
class MessageBase;

const unsigned int OBJ_FUTURERESULT_ID = 1016;
const unsigned int OBJ_EXECUTEUPDATE_ID = 1017;
const unsigned int OBJ_FILEIO_ID = 2996;

class FutureResultListener {
public:
    virtual void onComplete(FutureResult* result) = 0;
    // The update stays the caller's.
    virtual void onUpdate(FutureResult* result, ExecuteUpdate* update) = 0;

protected:
    ~FutureResultListener() = default;
};

class ExecuteUpdate : public Translatable {
public:
    // Copies message.
    ExecuteUpdate(int status, double amount, const char* message);
    ExecuteUpdate(const ExecuteUpdate& other);
    ExecuteUpdate& operator=(const ExecuteUpdate&) = delete;
    ~ExecuteUpdate() override;

    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    int status;
    double amount;  // how far the operation has come; its scale is the operation's
    char* message;
};

class FutureResult : public Translatable, public RequestAlloc {
public:
    static const int kDefaultTimeout = 30;
    // The timeout new results start with (kDefaultTimeout unless a program
    // or test chose another); a request's deadline is fixed from it when
    // execute creates the request.
    static std::atomic<int> defaultTimeout;

    // Enrols the result in the registry under the next id.
    explicit FutureResult(FutureResultListener* listener = nullptr) NO_THREAD_SAFETY_ANALYSIS;
    FutureResult(const FutureResult&) = delete;
    FutureResult& operator=(const FutureResult&) = delete;
    // A result that nobody looks up by id: what a reply decodes into, handed
    // to assignFrom and then freed. It takes a fresh id like any other but
    // stays out of the registry, so that building and freeing one (on the
    // connection's thread, while the execution thread holds the registry
    // lock around its listeners) takes no process-wide lock.
    static FutureResult* newUnlisted();
    // Leaves the registry. Only through destroy(), except for results that
    // never left their creator's hands.
    ~FutureResult() override;

    // Marks the result destroyed; once no lock is held it is deleted on its
    // owner thread (or the execution thread, or at once when neither runs).
    static void destroy(FutureResult* result) NO_THREAD_SAFETY_ANALYSIS;
    void addLock();
    void removeLock();
    // On the execution thread, outside every handler: deletes the results
    // destroyed for it since the last call.
    static void freeDestroyed();

    // The live result with that id, returned with the registry lock held
    // (end with release()); null, unlocked, when there is none.
    static FutureResult* lockById(long long id) NO_THREAD_SAFETY_ANALYSIS;
    static void release() NO_THREAD_SAFETY_ANALYSIS;

    // Sets complete, tells the listener, then wakes the waiters (or, with
    // wake false, leaves that to the caller's signalWaiters: the execution
    // thread wakes them once it has dropped the registry lock, so that a
    // waiter does not wake only to wait for that lock).
    void makeComplete(bool wake = true);
    // Takes over other's result, error, flags, texts and values and copies
    // its data; completes this one when other is complete.
    void assignFrom(FutureResult* other, bool wake = true);
    // Wakes every waiter for good (at the end of the calling thread's
    // WakeBatch, if one is open and only this thread frees the result).
    void signalWaiters();

    // While one is open on a thread, the wake-ups of the results that only
    // that thread frees wait until it closes (or, in a long burst, until it
    // holds 16). A thread completing a burst of replies then wakes each
    // waiter once, after the burst: woken in the middle, a caller waiting on
    // the results one by one would sleep and be woken again for nearly
    // every result, on another CPU. The results stay alive meanwhile, since
    // their owner thread frees them only between bursts. One opened inside
    // another adds nothing: the outermost wakes.
    class WakeBatch {
    public:
        WakeBatch();
        ~WakeBatch();
        WakeBatch(const WakeBatch&) = delete;
        WakeBatch& operator=(const WakeBatch&) = delete;

    private:
        bool _outermost;
    };

    // Whether only the calling thread can delete this result (it is the
    // owner thread, or the execution thread for results without one): a
    // caller there needs no lock to keep it alive until it returns.
    bool diesOnCallingThread() const;
    // Moves the deadline to now + timeout, tells the listener, wakes the
    // waiters; frees the update.
    void update(ExecuteUpdate* update);
    // Asks the execution thread to move the running request's deadline to
    // now + timeout (after the caller changed timeout).
    void notifyTimeout(int unused = 0);

    // Convenience for the provider filling a local result: takes ownership
    // of value, or records the error; both complete the result.
    void setResult(Any* value);
    void setError(int code, const char* text = nullptr);

    // Blocks until the result is complete; ms < 0 waits without limit.
    // True when complete.
    bool waitComplete(int ms = -1);
    // Whether every waiter would now return (complete and signalled).
    bool isSignalled();

    // Takes ownership.
    void setData(unsigned char* bytes, int length);

    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    // Live future results (the registry's size).
    static int liveCount();

    Any* result;
    char* errorText;
    int error;
    int timeout;
    time_t deadline;
    bool failed;
    bool complete;
    FutureResultListener* listener;
    long long id;
    CondBlock cond;
    unsigned char* data;
    int dataLength;
    char* dataText;
    Any** values;  // null-terminated, or null
    DaemonThread* ownerThread;
    int lockCount GUARDED_BY(cond);
    bool destroyed GUARDED_BY(cond);
    char* lengthyOp;

private:
    // Waiters wait for this rather than `complete`, which is set before the
    // listener runs.
    bool _signalled GUARDED_BY(cond);
    bool _listed;  // in the registry: from construction (but newUnlisted's) until unlist
    // Found by lockById: listed, and not destroyed by its owner before its
    // waiters were signalled.
    bool _indexed GUARDED_BY(_lock);
    FutureResult* _next;
    FutureResult* _prev;
    FutureResult* _sameHash;  // the next result in this one's index bucket
    FutureResult* _destroyedNext;  // in _destroyed, once handed over
    // Results handed to the execution thread for deletion (a stack pushed by
    // any thread, taken whole by that thread).
    // This stack, the registry lock and the id counter each sit on a cache
    // line of their own: different threads change them.
    alignas(64) static std::atomic<FutureResult*> _destroyed;

    struct Unlisted {};
    explicit FutureResult(Unlisted);
    static void deleteNow(void* object);
    // Deletes on the owner thread, or hands the result to the execution
    // thread: through a list of its own, linked through the results, so that
    // the caller (usually another thread) takes no lock and allocates nothing.
    void deleteOnOwner();
    static size_t bucketOf(long long id) { return static_cast<size_t>(id) & (kBuckets - 1); }
    void unindex() REQUIRES(_lock);
    // Out of the list of all results and the index; clears _listed.
    void unlist() REQUIRES(_lock);

    // The index by id: the low bits of the id pick the bucket, and ids are
    // handed out in sequence, so live results spread evenly.
    static constexpr size_t kBuckets = 4096;
    static FutureResult* _byId[kBuckets] GUARDED_BY(_lock);

    alignas(64) static CriticalBlock _lock;
    // Taken under the registry lock by listed results, alone by unlisted ones.
    alignas(64) static std::atomic<long long> _nextId;
    static FutureResult* _list GUARDED_BY(_lock);
    static int _futureResults GUARDED_BY(_lock);
};

class FileIo : public Translatable {
public:
    // A block of data: copies length bytes.
    FileIo(long long offset, long long size, int length, const unsigned char* bytes);
    // An error: copies text.
    FileIo(int error, const char* text);
    FileIo(const FileIo&) = delete;
    FileIo& operator=(const FileIo&) = delete;
    ~FileIo() override;

    unsigned int getObjectID() const override;
    // The block's description; the bytes themselves are left out.
    char* toString(Parser* parser) override;

    int error;
    char* text;
    long long offset;
    long long size;  // the whole file's
    unsigned char* bytes;
    int length;
};

// 1 result (1000), 2 error, 3 complete, 4 failed, 5 errorText, 6 data length,
// 7 data (only when not empty), 8 dataText, 20 count of values, 21... values.
// Decoded results are unlisted (newUnlisted).
int FutureResultXlator(MessageBase* message, Translatable** obj, int direction);
// In-place decoder of the exact layout FutureResultXlator writes (see
// InPlaceFn in dirbase/message.h): the common reply skips the field index.
Translatable* FutureResultInPlace(const unsigned char* p, size_t available, size_t* used);
// 1 status, 2 amount (double), 3 message.
int ExecuteUpdateXlator(MessageBase* message, Translatable** obj, int direction);
// 1 error, 2 text, 3 offset (int64), 4 size (int64), 5 bytes, 6 length.
int FileIoXlator(MessageBase* message, Translatable** obj, int direction);

// Registers FutureResult, ExecuteUpdate, FileIo, Asset and Endpoint.
void exec_registerTranslators();

#endif
