// Private to the encoding's own files (message*.cpp): the sizes they share
// and the one-step read of bytes that sit in a location's buffer. Nothing
// outside dirbase/ includes this.
#ifndef DRV_DIRBASE_MESSAGE_INTERNAL_H
#define DRV_DIRBASE_MESSAGE_INTERNAL_H

#include <string.h>

#include "dirbase/message.h"

namespace message_internal {

// The frame header that the first buffer of a message being written holds.
const size_t kFrameHeader = 9;
// Blocks from this size on get buffers of their own and may be handed over
// in place when read (MessageBase::handOver).
const uint32_t kHandOverMin = 65536;

// The common case of reading bytes that sit in the location's buffer.
inline bool fastTake(MessageBase::_BufferLocation* loc, void* dest, size_t n) {
    MessageBase::_Buffer* b = loc->buffer;
    if (b == nullptr || b->used - loc->offset < n) return false;
    memcpy(dest, b->data + loc->offset, n);
    loc->offset += n;
    return true;
}

}  // namespace message_internal

// Takes n bytes at loc in one step when they sit in its buffer, else through
// readLocBytes (which may fetch); true when all n were taken.
#define TAKE(loc, dest, n) \
    (message_internal::fastTake((loc), (dest), (n)) || readLocBytes((loc), (dest), (n)) == (n))

#endif
