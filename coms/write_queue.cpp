// The write queue of a connection: blocks in write order, resumed from
// their offsets, with one spare copy block kept for reuse.
#include "coms/write_queue.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/message.h"

namespace {

// Copy blocks get at least this much room, so that the spare fits the
// usual push-back; larger spares are not kept.
const size_t kMinCopyBlock = 4096;
const size_t kMaxSpare = 64 * 1024;

}  // namespace

WriteQueue::~WriteQueue() {
    clear();
    free(_spare);
}

WriteQueue::Block* WriteQueue::allocate(size_t n) {
    if (_spare != nullptr && _spare->capacity >= n) {
        Block* b = _spare;
        _spare = nullptr;
        return b;
    }
    size_t capacity = n < kMinCopyBlock ? kMinCopyBlock : n;
    auto* b = static_cast<Block*>(malloc(offsetof(Block, data) + capacity));
    if (b != nullptr) b->capacity = capacity;
    return b;
}

void WriteQueue::push(Block* b) {
    _blocks.push(b);
    _bytes.fetch_add(b->length, std::memory_order_relaxed);
}

bool WriteQueue::pushCopy(const void* bytes, size_t n) {
    // Small writes queued behind the first block share a block: a control
    // item of a few bytes would otherwise hold a whole block, and a peer
    // that asks for many and reads nothing would cost a thousand times the
    // bytes. The first block is never grown, since a TLS write being
    // retried must be offered the same bytes.
    Block* tail = _blocks.back();
    if (tail != nullptr && tail != _blocks.front() && tail->capacity > 0 && tail->owner == nullptr &&
        tail->capacity - tail->length >= n) {
        memcpy(tail->data + tail->length, bytes, n);
        tail->length += n;
        _bytes.fetch_add(n, std::memory_order_relaxed);
        return true;
    }
    Block* b = allocate(n);
    if (b == nullptr) return false;
    b->length = n;
    b->offset = 0;
    b->bytes = b->data;
    b->owner = nullptr;
    memcpy(b->data, bytes, n);
    push(b);
    return true;
}

bool WriteQueue::pushReference(const void* bytes, size_t n) {
    auto* b = static_cast<Block*>(malloc(sizeof(Block)));
    if (b == nullptr) return false;
    b->capacity = 0;
    b->length = n;
    b->offset = 0;
    b->bytes = static_cast<const unsigned char*>(bytes);
    b->owner = nullptr;
    push(b);
    return true;
}

void WriteQueue::setOwner(Message* message) {
    _blocks.back()->owner = message;
}

const unsigned char* WriteQueue::head(size_t* n) const {
    Block* b = _blocks.front();
    if (b == nullptr) {
        *n = 0;
        return nullptr;
    }
    *n = b->length - b->offset;
    return b->bytes + b->offset;
}

bool WriteQueue::advance(size_t n) {
    Block* b = _blocks.front();
    if (b == nullptr) return false;
    if (n > b->length - b->offset) n = b->length - b->offset;
    b->offset += n;
    _bytes.fetch_sub(n, std::memory_order_relaxed);
    if (b->offset < b->length) return false;
    release(_blocks.pop());
    return true;
}

void WriteQueue::release(Block* b) {
    delete b->owner;
    if (b->capacity > 0 && b->capacity <= kMaxSpare && _spare == nullptr) {
        _spare = b;
        return;
    }
    if (b->capacity > 0 && _spare != nullptr && b->capacity > _spare->capacity && b->capacity <= kMaxSpare) {
        free(_spare);
        _spare = b;
        return;
    }
    free(b);
}

void WriteQueue::clear() {
    while (Block* b = _blocks.pop()) release(b);
    _bytes.store(0, std::memory_order_relaxed);
}
