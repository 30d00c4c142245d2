#include "coms/control.h"

#include <string.h>

#include "dirbase/message.h"

namespace {

const int kPayload[] = {5, 9, 8, 4, 8, 16};

}  // namespace

unsigned char* ControlDecoder::bodySpace(size_t* room) {
    return _message != nullptr ? _message->bodySpace(room) : nullptr;
}

int ControlDecoder::bodyCommit(size_t n, ControlItem* item) {
    if (!_message->bodyCommit(n)) return 0;
    item->code = C_MESG;
    item->message = _message;
    _message = nullptr;
    return 1;
}

ControlDecoder::ControlDecoder() : _collecting(-1), _message(nullptr) {
    for (int& g : _gathered) g = -1;
}

ControlDecoder::~ControlDecoder() {
    delete _message;
}

void ControlDecoder::reset() {
    delete _message;
    _message = nullptr;
    for (int& g : _gathered) g = -1;
    _collecting = -1;
}

bool ControlDecoder::idle() const {
    return _collecting < 0 && _message == nullptr;
}

int ControlDecoder::kindOf(int code) {
    switch (code) {
    case C_TYPE: return K_TYPE;
    case C_TYPE2: return K_TYPE2;
    case C_SET_TIMING: return K_SET_TIMING;
    case C_COMPLETE2: return K_COMPLETE2;
    case C_GET_LD: return K_GET_LD;
    case C_LD_REPLY: return K_LD_REPLY;
    default: return -1;
    }
}

int ControlDecoder::payloadSize(int code) {
    int kind = kindOf(code);
    return kind < 0 ? -1 : kPayload[kind];
}

void ControlDecoder::finish(int kind, ControlItem* item) {
    const unsigned char* p = _payload;
    switch (kind) {
    case K_TYPE:
        item->code = C_TYPE;
        item->type = getBE32(p);
        item->flag = p[4];
        item->typeVersion = 0;
        break;
    case K_TYPE2:
        item->code = C_TYPE2;
        item->type = getBE32(p);
        item->flag = p[4];
        item->typeVersion = getBE32(p + 5);
        break;
    case K_SET_TIMING:
        item->code = C_SET_TIMING;
        item->lost = getBE32(p);
        item->heartbeat = getBE32(p + 4);
        break;
    case K_COMPLETE2:
        item->code = C_COMPLETE2;
        item->serverVersion = getBE32(p);
        break;
    case K_GET_LD:
        item->code = C_GET_LD;
        item->sec = getBE32(p);
        item->usec = getBE32(p + 4);
        break;
    case K_LD_REPLY:
        item->code = C_LD_REPLY;
        item->sec = getBE32(p);
        item->usec = getBE32(p + 4);
        item->replySec = getBE32(p + 8);
        item->replyUsec = getBE32(p + 12);
        break;
    }
    _gathered[kind] = -1;
    _collecting = -1;
}

int ControlDecoder::feed(const unsigned char* data, size_t n, size_t* used, ControlItem* item) {
    size_t at = 0;
    item->message = nullptr;
    while (at < n) {
        if (_message != nullptr) {
            size_t left = n - at;
            int rc = readFrame(_message, data + at, left);
            at = n - left;
            if (rc < 0) {
                delete _message;
                _message = nullptr;
                *used = at;
                return -1;
            }
            if (rc == 0) continue;  // every byte taken
            item->code = C_MESG;
            item->message = _message;
            _message = nullptr;
            *used = at;
            return 1;
        }
        if (_collecting >= 0) {
            int kind = _collecting;
            int want = kPayload[kind] - _gathered[kind];
            size_t take = n - at < static_cast<size_t>(want) ? n - at : static_cast<size_t>(want);
            memcpy(_payload + _gathered[kind], data + at, take);
            _gathered[kind] += static_cast<int>(take);
            at += take;
            if (_gathered[kind] == kPayload[kind]) {
                finish(kind, item);
                *used = at;
                return 1;
            }
            continue;
        }
        int code = data[at++];
        if (code == C_MESG) {
            _message = new ReceivedMessage();
            continue;
        }
        int kind = kindOf(code);
        if (kind >= 0) {
            _collecting = kind;
            _gathered[kind] = 0;
            continue;
        }
        switch (code) {
        case C_HB:
        case C_CLOSE:
        case C_COMPLETE:
        case C_AUTHFAIL:
        case C_ENABLE_TIMING:
        case C_KILL:
        case C_NOT_WHITELIST:
            item->code = code;
            *used = at;
            return 1;
        default: break;  // unknown: skipped
        }
    }
    *used = at;
    return 0;
}

long long wireDiffMs(const WireTime& a, const WireTime& b) {
    long long sec = a.sec - b.sec;
    long long usec = a.usec - b.usec;
    if (usec < 0) {
        sec -= 1;
        usec += 1000000;
    }
    return sec * 1000 + usec / 1000;
}

void computeLatency(const WireTime& t1, const WireTime& t2, const WireTime& t3, int* latency, int* drift) {
    long long roundTrip = wireDiffMs(t3, t1);
    long long lat = roundTrip / 2;
    long long d = wireDiffMs(t3, t2);
    *latency = static_cast<int>(lat);
    *drift = static_cast<int>(d > lat ? d - lat : d);
}
