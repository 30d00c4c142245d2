// A marker sent through a connection's coms thread, to learn when every
// listener callback that thread may have been running has returned.
//
// close() and destroy() clear a connection's listener but do not wait: a
// callback that had already read the listener may still be running on the
// coms thread. The marker is queued behind it, so once the marker has passed,
// the listener's owner may free it. Thread-safe; never wait for a barrier
// on the connection's own coms thread (the marker would queue behind the
// wait).
#ifndef DRV_COMS_COMS_BARRIER_H
#define DRV_COMS_COMS_BARRIER_H

class Connection;

class ComsBarrier {
public:
    // Posts the marker. The connection's listener must already be cleared
    // (close() or destroy()), and the caller must hold a lock on it or be
    // its only user.
    explicit ComsBarrier(Connection* connection);
    // Whether the coms thread has reached the marker.
    bool passed() const;
    // Waits until it has.
    void wait() const;

private:
    long long _marker;  // the id of the delayed event the coms thread deletes
};

#endif
