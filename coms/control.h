// Control items: inside the TLS byte stream everything is a one-byte control
// code followed by a fixed payload (big-endian numbers). C_MESG introduces an
// application message frame. ControlDecoder reassembles items that arrive
// split across reads at any byte; the latency arithmetic of C_LD_REPLY is
// here too, so that it can be checked on its own.
#ifndef DRV_COMS_CONTROL_H
#define DRV_COMS_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include "coms/frame.h"
#include "dirbase/message.h"

enum ControlCode : unsigned char {
    C_HB = 1,              // no payload
    C_TYPE = 2,            // type (4), flag (1)
    C_MESG = 3,            // length L (4), message type (4), L body bytes
    C_CLOSE = 4,           // no payload
    C_COMPLETE = 5,        // no payload
    C_AUTHFAIL = 6,        // no payload
    C_ENABLE_TIMING = 7,   // no payload
    C_SET_TIMING = 8,      // lost time-out ms (4), heartbeat interval ms (4)
    C_COMPLETE2 = 9,       // server version (4)
    C_TYPE2 = 12,          // type (4), flag (1), type version (4)
    C_KILL = 13,           // no payload
    C_NOT_WHITELIST = 14,  // no payload
    C_GET_LD = 30,         // send time: seconds (4), microseconds (4)
    C_LD_REPLY = 31,       // the 8 bytes of C_GET_LD, then the replier's seconds (4), microseconds (4)
};

// Client types that a connector can order to stop.
const int kKillOnConnectType = 333;
const int kKillOnHeartbeatType = 550;

// A complete item. Only the fields of its code are meaningful.
struct ControlItem {
    int code;
    uint32_t type;
    int flag;
    uint32_t typeVersion;
    uint32_t lost;
    uint32_t heartbeat;
    uint32_t serverVersion;
    uint32_t sec;  // C_GET_LD, and the echoed send time of C_LD_REPLY
    uint32_t usec;
    uint32_t replySec;  // C_LD_REPLY: the replier's time
    uint32_t replyUsec;
    Message* message;  // C_MESG: owned by whoever takes the item
};

class ControlDecoder {
public:
    ControlDecoder();
    ~ControlDecoder();
    ControlDecoder(const ControlDecoder&) = delete;
    ControlDecoder& operator=(const ControlDecoder&) = delete;

    // Takes bytes until one item is complete or the bytes run out; *used is
    // set to the bytes taken. Returns 1 with *item filled, 0 when every byte
    // was taken and no item completed, -1 when a message frame's header was
    // refused (the stream cannot be followed any further after that).
    // Unknown codes are skipped without an item.
    int feed(const unsigned char* data, size_t n, size_t* used, ControlItem* item);
    // Room to read body bytes of the message being received straight into
    // (see ReceivedMessage), or null when the next bytes are not body bytes.
    unsigned char* bodySpace(size_t* room);
    // n body bytes arrived in that room: 1 with the message in *item once it
    // is complete, else 0.
    int bodyCommit(size_t n, ControlItem* item);
    // True between items.
    bool idle() const;
    // Drops a partial item (and the message being received).
    void reset();

    // Payload bytes of a code, or -1 for a code that has none (or is unknown).
    static int payloadSize(int code);

private:
    // Payload kinds, one collector each.
    enum Kind { K_TYPE, K_TYPE2, K_SET_TIMING, K_COMPLETE2, K_GET_LD, K_LD_REPLY, K_COUNT };
    static int kindOf(int code);
    void finish(int kind, ControlItem* item);

    // Bytes of the payload gathered so far, per kind; negative when no item
    // of that kind is being collected.
    int _gathered[K_COUNT];
    int _collecting;  // the kind being collected, or -1
    unsigned char _payload[16];
    ReceivedMessage* _message;  // the C_MESG frame being received
};

// Times as the latency items carry them.
struct WireTime {
    long long sec;
    long long usec;
};

// a - b in milliseconds: seconds times 1000 plus microseconds / 1000,
// borrowing a second when the microsecond difference is negative.
long long wireDiffMs(const WireTime& a, const WireTime& b);

// From the echoed send time t1, the replier's time t2 and the arrival time
// t3: latency is half the round trip t3 - t1; with d = t3 - t2, drift is
// d - latency when d is larger than the latency, else d.
void computeLatency(const WireTime& t1, const WireTime& t2, const WireTime& t3, int* latency, int* drift);

#endif
