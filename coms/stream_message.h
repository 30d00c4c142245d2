// Messages read straight from, or written straight to, a blocking stream
// connection instead of being held whole, with an optional flow limit that
// paces writes in 100 ms slices.
#ifndef DRV_COMS_STREAM_MESSAGE_H
#define DRV_COMS_STREAM_MESSAGE_H

#include <stddef.h>

#include "dirbase/message.h"

class StreamConnection;

// The byte budget of a flow limit. Time and sleeping are replaceable so that
// the arithmetic can be followed slice by slice.
class FlowPacer {
public:
    static constexpr int kSliceMs = 100;

    FlowPacer();
    // The rate in kilobits per second; 0 removes the limit, and so does a
    // rate of more than kMostPerSlice bytes a slice (or not a number).
    void setRate(double kbps);
    static constexpr double kMostPerSlice = 1e15;
    // Whether setRate(kbps) sets a limit.
    static bool limitsAt(double kbps);
    bool isLimited() const { return _limited; }
    // Bytes per slice: rate x 0.125 x the slice length (a negative product
    // gives 100).
    double perSlice() const { return _perSlice; }
    long long budget() const { return _budget; }
    // How many of n bytes may be written now (at least 1); waits for the
    // next slice when the budget is spent.
    size_t take(size_t n);

    long long (*nowMs)();
    void (*sleepMs)(long long ms);

private:
    bool _limited;
    double _perSlice;
    bool _haveSlice;
    long long _slice;
    long long _start;
    long long _budget;
};

class StreamMessage : public MessageBase {
public:
    static constexpr size_t kFirstReadBuffer = 32768;
    static constexpr size_t kNextReadBuffer = 16384;
    // A fetch goes into the current buffer while it has this much room.
    static constexpr size_t kMinRoom = 65;
    // Reads of at least this many bytes beyond what is buffered go to the
    // connection directly.
    static constexpr size_t kDirectRead = 16384;

    // mode: MODE_WRITE or MODE_READ.
    StreamMessage(StreamConnection* connection, int mode);
    ~StreamMessage() override;

    // Write mode: the bytes go to the connection at once, paced by the flow
    // limit; a failed write sets the sticky error -10.
    int appendBytes(const void* data, size_t n) override;
    // Read mode: takes buffered bytes, and fetches more from the connection
    // when the buffers run dry.
    size_t readLocBytes(_BufferLocation* loc, void* dest, size_t n) override;

    // Kilobits per second; 0 means unlimited.
    void setFlowLimit(double rate) { _pacer.setRate(rate); }
    FlowPacer* getPacer() { return &_pacer; }

private:
    bool fetch();

    StreamConnection* _connection;
    FlowPacer _pacer;
};

#endif
