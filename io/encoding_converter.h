// Character-set conversion to UTF-8 for text arriving in chunks.
//
// An EncodingConverter turns bytes in a named character set (or one that ICU
// detects from the first chunk) into UTF-8 and hands the result, piece by
// piece, to its EncodingOutput. A multi-byte character split between two
// chunks converts as if the chunks had been one. A byte-order mark that
// starts detected text is taken as the mark, not as text. Problems (an
// unknown set, a failed conversion) go to the output's encodingError; after
// one the converter does nothing more.
//
// The converter does not own its output. It is not thread-safe: the owner
// calls it from one thread at a time (Input calls it under its data lock).
#ifndef DRV_IO_ENCODING_CONVERTER_H
#define DRV_IO_ENCODING_CONVERTER_H

struct UConverter;

// Receives converted text and conversion problems.
class EncodingOutput {
public:
    virtual ~EncodingOutput() = default;
    // count bytes of UTF-8 text, in order.
    virtual void fromConverter(const char* data, int count) = 0;
    // A description of why conversion cannot go on.
    virtual void encodingError(const char* text) = 0;
};

class EncodingConverter {
public:
    // encoding is an ICU converter name, or "*" to detect the set from the
    // first chunk. Errors opening the converters are reported at once.
    EncodingConverter(EncodingOutput* output, const char* encoding);
    ~EncodingConverter();
    EncodingConverter(const EncodingConverter&) = delete;
    EncodingConverter& operator=(const EncodingConverter&) = delete;

    // Converts count bytes, keeping an incomplete trailing sequence for the
    // next call.
    void append(const char* data, int count);
    // End of the text: an incomplete trailing sequence converts to the
    // substitution character rather than vanish.
    void finish();
    // The end of the text for now, when more may follow (a local file that
    // is still being written): an incomplete trailing sequence converts to
    // the substitution character, once, as at the end. Everything else the
    // converters hold stays - the byte order a mark set, the shift state of
    // a stateful set, the incomplete sequence itself - so that text
    // appended later converts as it would have in one piece. (A flush, as
    // in finish, would reset all of that.)
    void pause();

    // True after an error was reported.
    bool failed() const { return _failed; }
    // The ICU name of the source set: the one given, or the one detected
    // (null before detection).
    const char* sourceName() const;

    static const int kBufferSize = 4096;

private:
    void fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Opens the source converter for the set detected in the first chunk;
    // *markLength is the length of a byte-order mark at its start that the
    // converter would keep as text, to be passed over.
    bool detect(const char* data, int count, int* markLength);
    // Converts what the input buffer holds; flush at the end of the text.
    void convert(bool flush);
    // Whether an incomplete sequence is held, by ICU or in the input buffer.
    bool hasPending() const;

    EncodingOutput* _output;
    UConverter* _source = nullptr;
    UConverter* _utf8 = nullptr;
    bool _detectPending = false;
    bool _failed = false;
    // pause() has substituted what is pending; cleared by the next append.
    bool _pendingSubstituted = false;
    char _in[kBufferSize];
    int _inLength = 0;
    char _out[kBufferSize];
    // ICU's UTF-16 pivot between the two converters; its state lasts across calls.
    char16_t _pivot[kBufferSize];
    char16_t* _pivotSource;
    char16_t* _pivotTarget;
};

#endif
