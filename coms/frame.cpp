// Reading and completing the C_MESG frame of a message (see frame.h).
#include "coms/frame.h"

#include <string.h>

#include "common/log.h"

namespace {

const size_t kFrameHeader = 9;
// The largest buffer that one received body allocates at a time: the length
// is the peer's claim, and memory follows the bytes that actually arrive.
const size_t kMaxBodyBuffer = 16u << 20;

size_t nextBuffer(const MessageBase::FrameState& f) {
    size_t remaining = f.length - f.bodyReceived;
    return remaining < kMaxBodyBuffer ? remaining : kMaxBodyBuffer;
}

}  // namespace

int readFrame(Message* m, const unsigned char* data, size_t& n) {
    MessageBase::FrameState& f = m->frame();
    size_t at = 0;
    while (f.lengthBytesSeen < 4 && at < n) {
        f.length = (f.length << 8) | data[at++];
        if (++f.lengthBytesSeen < 4) continue;
        // Read as a signed number: a length with the top bit set is negative.
        int32_t length = static_cast<int32_t>(f.length);
        if (length < 1) {
            log(0, "Less than or zero size message");
            n -= at;
            return -1;
        }
        if (f.length > kMaxFrameBody) {
            log(0, "packet too large 2G");
            n -= at;
            return -1;
        }
    }
    while (f.lengthBytesSeen == 4 && f.typeBytesSeen < 4 && at < n) {
        f.type = (f.type << 8) | data[at++];
        if (++f.typeBytesSeen == 4 && f.type > kMaxFrameType) {
            log(0, "illogical message type");
            n -= at;
            return -1;
        }
    }
    if (f.typeBytesSeen < 4) {
        n -= at;
        return 0;
    }
    while (f.bodyReceived < f.length && at < n) {
        size_t room;
        unsigned char* space = m->appendRoom(nextBuffer(f), &room);
        size_t take = n - at < room ? n - at : room;
        memcpy(space, data + at, take);
        m->appendCommit(take);
        f.bodyReceived += take;
        at += take;
    }
    n -= at;
    return f.bodyReceived == f.length ? 1 : 0;
}

void setFrameLength(Message* m) {
    unsigned char* header = m->frameHeader();
    putBE32(header + 1, static_cast<uint32_t>(m->totalBytes() - kFrameHeader));
}

unsigned char* ReceivedMessage::bodySpace(size_t* room) {
    const FrameState& f = frame();
    if (f.typeBytesSeen < 4 || f.bodyReceived >= f.length) return nullptr;
    size_t remaining = f.length - f.bodyReceived;
    unsigned char* space = appendRoom(nextBuffer(f), room);
    if (*room > remaining) *room = remaining;
    return space;
}

bool ReceivedMessage::bodyCommit(size_t n) {
    appendCommit(n);
    FrameState& f = frame();
    f.bodyReceived += n;
    return f.bodyReceived == f.length;
}
