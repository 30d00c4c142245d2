// Input: the readable stream through which file content reaches its readers,
// whether the file is local or still arriving.
//
// A producer pushes byte chunks into an Input through its InputFeeder side;
// any number of consumer threads pull bytes out with blocking read calls that
// time out. The bytes land in a backing file (a private temporary file, or
// the caller's own descriptor for a local file), so readers never hold more
// than their own buffers. Content in another character set is converted to
// UTF-8 on the way in (EncodingConverter); sizes and offsets then count the
// converted bytes.
//
// A local file stays a local file with or without conversion: what there
// is to read is its size by fstat, taken again whenever a reader has read
// all it knew of, so growth is seen; a descriptor that has no size (a FIFO,
// a device) reads as empty. Text in another set is converted as reads reach
// it: a reader that finds nothing left converts the next part of the file,
// a chunk at a time up to the size last seen, into a temporary file, under
// the data lock. So no constructor reads, no read goes past the file's
// size, and a failed read, conversion or write ends the reading with an
// error. At the file's current end, a sequence left incomplete becomes a
// substitution character; should the file grow, its text converts on in
// the converter's state (byte order, shift state, the incomplete sequence
// it holds), as it would have in one piece.
//
// Ownership: the Input owns its backing descriptor, temporary file,
// converter, error text and an attached producer (which it cancels and
// deletes when destroyed). The creator owns the Input.
//
// Thread-safety: every public call may come from any thread. Producers and
// consumers meet under the data lock; the reader count has a lock of its own
// so that the destructor can wait for readers to leave without holding the
// data lock. The producer lock holds the attached producers: attaching,
// close() and the destructor take it while they cancel or release one, so
// that none is deleted while another thread cancels it; a producer's own
// calls (appendData, handleError) never take it. Nesting: producer lock,
// then data lock (in attaching); data lock, then reader lock (in the
// destructor).
#ifndef DRV_IO_INPUT_H
#define DRV_IO_INPUT_H

#include "common/sem.h"
#include "io/encoding_converter.h"

// The producer side of an Input.
class InputFeeder {
public:
    virtual ~InputFeeder() = default;
    // A chunk of count bytes. newLength is the total size the sender
    // announces; below 1 it marks the end of the data (count is then
    // ignored), and a negative value reports a terminated transfer: readers
    // get what arrived, then an error.
    virtual void appendData(unsigned char* data, long long newLength, int count) = 0;
    // The producer failed, or was cancelled before the file was whole: code
    // is a shared error code, text its description.
    virtual void handleError(int code, const char* text) = 0;
};

// A producer that runs on its own (a remote file copy, a reader pulling a
// file through directory operations). The Input that it feeds cancels it
// when closed and deletes it when destroyed.
class InputProducer {
public:
    virtual ~InputProducer() = default;
    // Stop feeding as soon as possible and, unless the whole file has been
    // fed, tell the feeder through handleError; may be called more than once.
    virtual void cancel() = 0;
    // True when the producer writes the file it feeds rather than reading it.
    virtual bool isWriter() const { return false; }
};

class Input : public InputFeeder, public EncodingOutput {
public:
    // An input for a file that will arrive through appendData. initialSize
    // is the size when already known, else -1. encoding (may be null) names
    // the set of the arriving bytes: "UTF-8" or null take them as they are,
    // "*" detects the set from the first chunk. closeCallback (may be null)
    // runs once from the destructor.
    Input(long long initialSize, void (*closeCallback)(Input*), const char* encoding);
    // An input over an open local file, whose descriptor the Input takes
    // over. With an encoding other than UTF-8 the text is converted as it is
    // read (see above); the sizes then start at 0 and count converted bytes.
    Input(int fd, const char* encoding);
    ~Input() override;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Attach the producer to cancel and delete with this input; attaching
    // one kind clears the other (the earlier one is deleted).
    void setFileCopy(InputProducer* copy) EXCLUDES(_producers, _data);
    void setMasqInputReader(InputProducer* reader) EXCLUDES(_producers, _data);

    // Blocking read of up to length bytes. Returns the count read, -1 at the
    // end of the data with nothing read, or -2 on an error or a time-out
    // (which stays set: later reads also return -2). A length below 1 reads
    // nothing and returns 0, or -1 or -2 where a longer read would.
    int read(unsigned char* buffer, int length) EXCLUDES(_data, _readers);
    // Bytes that can be read without waiting.
    long long available() EXCLUDES(_data);
    // The bytes held so far (converted); for a local file, its size now,
    // or, when converted, the text converted so far.
    long long size() EXCLUDES(_data);
    // Moves the read position to pos, kept within 0 and the bytes held;
    // returns the new position.
    long long seek(long long pos) EXCLUDES(_data);
    // Cancels an attached producer. Unless the whole file had arrived, the
    // producer then reports an error, which fails every read from then on
    // (what arrived is incomplete and is not handed out); a reader waiting
    // for more wakes with it rather than wait out its time. A file that had
    // arrived whole stays readable.
    void close() EXCLUDES(_producers, _data);

    // Producer side.
    void appendData(unsigned char* data, long long newLength, int count) override EXCLUDES(_data);
    void handleError(int code, const char* text) override EXCLUDES(_data);
    // Converter side: called only by this input's converter, which runs
    // under the data lock.
    void fromConverter(const char* data, int count) override;
    void encodingError(const char* text) override;

    // 0, or the shared error code of the last producer or converter error.
    int errorCode() EXCLUDES(_data);
    // The last error's description ("" when none); a copy.
    void errorText(char* out, int size) EXCLUDES(_data);

    // True when the attached producer writes the file rather than reads it
    // (always for a masquerade reader).
    bool fedByWriter() EXCLUDES(_data);
    // Reads in progress; for tests and diagnostics.
    int readerCount() EXCLUDES(_readers);

    // How long read waits for the size to be announced and then for more
    // data, in milliseconds (40000 and 20000 unless changed; tests shorten them).
    void setWaitTimes(int sizeWaitMs, int dataWaitMs) EXCLUDES(_data);

private:
    void setError(int code, const char* text) REQUIRES(_data);
    void writeBacking(const char* data, int count) REQUIRES(_data);
    long long refreshSizeLocked() REQUIRES(_data);
    void attach(InputProducer* producer, bool masq) EXCLUDES(_producers, _data);
    int readLocked(unsigned char* buffer, int length) REQUIRES(_data);
    bool failIfTerminatedLocked() REQUIRES(_data);
    bool convertLocalLocked() REQUIRES(_data);

    CriticalBlock _producers;
    InputProducer* _fileCopy GUARDED_BY(_producers) = nullptr;
    InputProducer* _masqReader GUARDED_BY(_producers) = nullptr;
    CondBlock _data ACQUIRED_AFTER(_producers);
    int _errorCode GUARDED_BY(_data) = 0;
    void (*_closeCallback)(Input*) = nullptr;
    long long _localSize GUARDED_BY(_data) = -1;
    long long _readLocation GUARDED_BY(_data) = 0;
    // Empty when the input reads the caller's descriptor as it is.
    char _tempName[32] = {};
    // The backing file that reads come from.
    int _fd = -1;
    // For a local file, the caller's descriptor (the same as _fd unless its
    // text is converted into the temporary file); -1 for a file that
    // arrives through appendData.
    const int _source = -1;
    // Bytes of _source converted so far.
    long long _sourceOffset GUARDED_BY(_data) = 0;
    bool _closed GUARDED_BY(_data) = false;
    bool _deleted = false;
    char* _errorText GUARDED_BY(_data) = nullptr;
    CondBlock _readers ACQUIRED_AFTER(_data);
    int _readerCount GUARDED_BY(_readers) = 0;
    bool _writer GUARDED_BY(_data) = false;
    long long _writeLocation GUARDED_BY(_data) = 0;
    long long _remoteSize GUARDED_BY(_data) = -1;
    // The sender ended the transfer with a negative size (-1 among them, so
    // _remoteSize alone cannot tell it from a size not yet known): what
    // arrived is read, and then reads fail.
    bool _terminated GUARDED_BY(_data) = false;
    long long _totalTransferred GUARDED_BY(_data) = 0;
    EncodingConverter* _converter GUARDED_BY(_data) = nullptr;
    int _sizeWaitMs GUARDED_BY(_data) = 40000;
    int _dataWaitMs GUARDED_BY(_data) = 20000;
};

#endif
