// The C_MESG frame around a message: code 3, the body length (4 bytes), the
// message type (4 bytes), then the body, all numbers big-endian. A message
// being written keeps room for this header at the start of its first
// buffer; a received one is filled from the frame's bytes here. The frame
// state itself is stored in the message (MessageBase::FrameState); coms
// owns what it means.
//
// Thread-safety: as for the message, one thread at a time.
#ifndef DRV_COMS_FRAME_H
#define DRV_COMS_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include "dirbase/message.h"

// Limits of a received frame: the body length must be 1 to kMaxFrameBody,
// the message type at most kMaxFrameType.
const uint32_t kMaxFrameBody = 0x4FFFFFFF;
const uint32_t kMaxFrameType = 0xFFFFFF;

// Takes received bytes of a C_MESG frame that follow its code byte into m (a
// message in read mode): the 4 length bytes, the 4 type bytes, then the
// body, each part possibly split across calls. n is reduced to the bytes not
// taken. 1 once the body is complete, 0 while more is needed, negative when
// the length or the type is refused (logged; the frame cannot be resumed).
int readFrame(Message* m, const unsigned char* data, size_t& n);

// Writes the body length (all bytes after the 9-byte header) into the frame
// header of m, as it goes on the wire.
void setFrameLength(Message* m);

// The body length that the frame announced, and body bytes received so far.
inline uint32_t frameLength(const Message* m) {
    return m->frame().length;
}
inline size_t frameBodyReceived(const Message* m) {
    return m->frame().bodyReceived;
}

// A message being received, whose body can also be read straight into its
// buffers: a large body then skips one copy.
class ReceivedMessage : public Message {
public:
    // Room for the next body bytes, or null while the header is incomplete
    // and once the body is complete.
    unsigned char* bodySpace(size_t* room);
    // n bytes were written into the room; true once the body is complete.
    bool bodyCommit(size_t n);
};

#endif
