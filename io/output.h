// Output: the write side matching Input, a cursor over a writer that stores a
// file somewhere else (the file-transfer client's remote writer).
//
// The Output owns its writer and deletes it on close or destruction. Not
// thread-safe: one thread writes through an Output at a time.
#ifndef DRV_IO_OUTPUT_H
#define DRV_IO_OUTPUT_H

// What an Output writes through.
class OutputWriter {
public:
    virtual ~OutputWriter() = default;
    // Writes length bytes at offset; returns the count written, or 0 or a
    // negative value when nothing was.
    virtual int write(long long offset, unsigned char* data, int length) = 0;
    // Finishes the file; 0 on success.
    virtual int close() = 0;
};

class Output {
public:
    // mode is the new file's permission bits, kept for the writer's owner.
    Output(OutputWriter* writer, int mode) : _writer(writer), _mode(mode) {}
    ~Output() { close(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Writes at the current offset and advances it by what was written.
    // Returns the writer's result; -1 after close.
    int write(unsigned char* data, int length) {
        if (_writer == nullptr) return -1;
        int n = _writer->write(_offset, data, length);
        if (n > 0) _offset += n;
        return n;
    }
    void seek(long long offset) { _offset = offset; }
    long long offset() const { return _offset; }
    int mode() const { return _mode; }

    // Closes and deletes the writer; returns its result (0 when none is left).
    int close() {
        if (_writer == nullptr) return 0;
        int result = _writer->close();
        delete _writer;
        _writer = nullptr;
        return result;
    }

private:
    OutputWriter* _writer;
    int _mode;
    long long _offset = 0;
};

#endif
