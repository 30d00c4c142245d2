// Reading and completing the C_MESG frame of a message (see frame.h).
#include "coms/frame.h"

#include <string.h>

#include "common/log.h"

namespace {

const size_t kFrameHeader = 9;
// The first buffer of a body. The length is the peer's claim: only once the
// peer has sent this much is the rest of it reserved.
const size_t kFirstBodyBuffer = 1u << 20;

// Room for the next body bytes. The body ends in one buffer of its exact
// size, where the decoded message keeps it and from which a block that
// fills it is handed on whole (MessageBase::readBytes takes it over in
// place): the first buffer, once full, grows to the whole body, so at most
// its first MiB is ever moved. The pages of a large buffer become resident
// only as bytes are written into them, so memory follows the bytes that
// arrive. Null (logged) when the body cannot be reserved; the frame is then
// refused.
unsigned char* bodyRoom(Message* m, size_t* room) {
    const MessageBase::FrameState& f = m->frame();
    size_t remaining = f.length - f.bodyReceived;
    if (f.bodyReceived == 0) return m->appendRoom(remaining < kFirstBodyBuffer ? remaining : kFirstBodyBuffer, room);
    if (f.bodyReceived == kFirstBodyBuffer && !m->growLastBuffer(f.length)) {
        log(0, "no memory for a message of %u bytes", f.length);
        return nullptr;
    }
    unsigned char* space = m->appendRoom(remaining, room);
    if (*room > remaining) *room = remaining;
    return space;
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
        if (++f.typeBytesSeen < 4) continue;
        if (f.type > kMaxFrameType) {
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
        unsigned char* space = bodyRoom(m, &room);
        if (space == nullptr) {
            n -= at;
            return -1;
        }
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
    // A body that cannot be reserved is refused by readFrame, through which
    // the bytes then go.
    return bodyRoom(this, room);
}

bool ReceivedMessage::bodyCommit(size_t n) {
    appendCommit(n);
    FrameState& f = frame();
    f.bodyReceived += n;
    return f.bodyReceived == f.length;
}
