// WriteQueue: the bytes a connection could not hand to its socket yet, in
// the order they were written. A block is either a copy of small writes or
// a reference into a large message's own buffers; the block holding the
// last part of such a message owns the message and deletes it on release.
// Blocks are resumed from the offset already written, so a partial write
// never repeats or skips a byte.
//
// Small copies behind the first block are appended to the last copy block
// while it has room. Copy blocks are reused: one released block is kept as
// a spare for the next push-back, so that a connection that keeps meeting
// a full socket does not allocate per write.
//
// Not thread-safe: owned by one connection on its coms thread. bytes() may
// be read from any thread.
#ifndef DRV_COMS_WRITE_QUEUE_H
#define DRV_COMS_WRITE_QUEUE_H

#include <stddef.h>

#include <atomic>

#include "common/intrusive_queue.h"

class Message;

class WriteQueue {
public:
    WriteQueue() = default;
    ~WriteQueue();
    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    bool empty() const { return _blocks.empty(); }
    // Bytes queued and not yet written.
    size_t bytes() const { return _bytes.load(std::memory_order_relaxed); }

    // Appends a copy of n bytes; false (nothing queued) when memory ran out.
    bool pushCopy(const void* bytes, size_t n);
    // Appends bytes that stay valid until their block is released: a part
    // of a message that setOwner hands to the queue.
    bool pushReference(const void* bytes, size_t n);
    // The last block takes message and deletes it when released. The queue
    // must not be empty.
    void setOwner(Message* message);

    // The unwritten bytes of the first block (n set to their count), or null
    // when the queue is empty.
    const unsigned char* head(size_t* n) const;
    // Marks n bytes of the first block written (n no more than head gave);
    // the block is released once all of it is. True when it was.
    bool advance(size_t n);

    // What drain did.
    enum Drain {
        DRAINED,  // the queue is empty
        PARTIAL,  // the writer took part of a block: wait for the socket
        REFUSED,  // the writer took nothing; *result holds what it returned
    };
    // Offers the blocks in order to write(bytes, n), which returns the count
    // it took or a value <= 0 when it took nothing, until the queue is empty
    // or the writer stops taking all it is offered. *completed counts the
    // blocks written out and released.
    template <class Write>
    Drain drain(Write write, int* result, int* completed) {
        *completed = 0;
        size_t n = 0;
        const unsigned char* p;
        while ((p = head(&n)) != nullptr) {
            int rv = write(p, n);
            if (rv <= 0) {
                *result = rv;
                return REFUSED;
            }
            if (!advance(static_cast<size_t>(rv))) return PARTIAL;
            ++*completed;
        }
        return DRAINED;
    }

    // Releases every block (deleting the messages they own).
    void clear();

private:
    struct Block {
        Block* next;
        size_t length;
        size_t offset;  // bytes already written
        size_t capacity;  // of data, 0 for a reference
        const unsigned char* bytes;
        Message* owner;
        unsigned char data[1];
    };
    Block* allocate(size_t n);
    void release(Block* block);
    void push(Block* block);

    IntrusiveQueue<Block> _blocks;
    std::atomic<size_t> _bytes{0};
    Block* _spare = nullptr;
};

#endif
