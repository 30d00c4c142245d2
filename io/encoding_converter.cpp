#include "io/encoding_converter.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unicode/ucnv.h>
#include <unicode/ucsdet.h>

#include "common/log.h"

EncodingConverter::EncodingConverter(EncodingOutput* output, const char* encoding)
    : _output(output), _pivotSource(_pivot), _pivotTarget(_pivot) {
    UErrorCode err = U_ZERO_ERROR;
    if (encoding != nullptr && strcmp(encoding, "*") == 0) {
        _detectPending = true;
    } else {
        _source = ucnv_open(encoding, &err);
        if (U_FAILURE(err)) {
            _source = nullptr;
            fail("Invalid encoding. Cannot create ucnv converter for %s, %s", encoding ? encoding : "(null)",
                 u_errorName(err));
            return;
        }
    }
    err = U_ZERO_ERROR;
    _utf8 = ucnv_open("UTF-8", &err);
    if (U_FAILURE(err)) {
        _utf8 = nullptr;
        fail("Invalid encoding. Cannot create ucnv converter for UTF-8, %s", u_errorName(err));
    }
}

EncodingConverter::~EncodingConverter() {
    if (_source != nullptr) ucnv_close(_source);
    if (_utf8 != nullptr) ucnv_close(_utf8);
}

const char* EncodingConverter::sourceName() const {
    if (_source == nullptr) return nullptr;
    UErrorCode err = U_ZERO_ERROR;
    const char* name = ucnv_getName(_source, &err);
    return U_SUCCESS(err) ? name : nullptr;
}

void EncodingConverter::fail(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    _failed = true;
    _output->encodingError(text);
}

bool EncodingConverter::detect(const char* data, int count, int* markLength) {
    _detectPending = false;
    *markLength = 0;
    UErrorCode err = U_ZERO_ERROR;
    UCharsetDetector* detector = ucsdet_open(&err);
    if (U_FAILURE(err)) {
        fail("Converter: encoding not recognized. error = %s", u_errorName(err));
        return false;
    }
    ucsdet_setText(detector, data, count, &err);
    const UCharsetMatch* match = U_SUCCESS(err) ? ucsdet_detect(detector, &err) : nullptr;
    if (match == nullptr) {
        ucsdet_close(detector);
        // A detector that finds no set at all says so with U_INVALID_CHAR_FOUND.
        if (U_SUCCESS(err) || err == U_INVALID_CHAR_FOUND) {
            fail("Encoding converter could not determine character set given this input");
        } else {
            fail("Converter: encoding not recognized. error = %s", u_errorName(err));
        }
        return false;
    }
    const char* name = ucsdet_getName(match, &err);
    int confidence = ucsdet_getConfidence(match, &err);
    if (U_FAILURE(err) || name == nullptr) {
        ucsdet_close(detector);
        fail("Converter: encoding not recognized. error = %s", u_errorName(err));
        return false;
    }
    log(_debug_io, LOG_DEBUG, 0, 0, "Converter: detection believes the character set is %s with confidence %d%%", name,
        confidence);

    // The detector names the byte order of UTF-16 and UTF-32 text from its
    // byte-order mark; the order-neutral converters read the mark and drop
    // it, so it does not reach the converted text. ICU's UTF-8 converter
    // keeps a mark as text, so the mark of UTF-8 is passed over here.
    char detected[64];
    snprintf(detected, sizeof detected, "%s", name);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(data);
    bool mark16 = count >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
    bool mark32 = count >= 4 && ((b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) ||
                                 (b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF));
    const char* open = detected;
    bool mark8 = count >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    if (mark8 && strcmp(detected, "UTF-8") == 0) *markLength = 3;
    if (mark32 && strncmp(detected, "UTF-32", 6) == 0) {
        open = "UTF-32";
    } else if (mark16 && strncmp(detected, "UTF-16", 6) == 0) {
        open = "UTF-16";
    }
    ucsdet_close(detector);

    err = U_ZERO_ERROR;
    _source = ucnv_open(open, &err);
    if (U_FAILURE(err)) {
        log(0, "Cannot create ucnv converter. detected = %s, error = %s. Will fallback to UTF-8", detected,
            u_errorName(err));
        UErrorCode err2 = U_ZERO_ERROR;
        _source = ucnv_open("UTF-8", &err2);
        *markLength = 0;
        if (U_FAILURE(err2)) {
            _source = nullptr;
            fail("Invalid encoding. Cannot create ucnv converter. detected = %s, error = %s", detected,
                 u_errorName(err2));
            return false;
        }
    }
    return true;
}

void EncodingConverter::append(const char* data, int count) {
    if (_failed || count <= 0) return;
    _pendingSubstituted = false;
    if (_detectPending) {
        int mark;
        if (!detect(data, count, &mark)) return;
        data += mark;
        count -= mark;
    }
    while (count > 0 && !_failed) {
        int take = kBufferSize - _inLength;
        if (take > count) take = count;
        memcpy(_in + _inLength, data, static_cast<size_t>(take));
        _inLength += take;
        data += take;
        count -= take;
        convert(false);
    }
}

void EncodingConverter::finish() {
    if (_failed || _source == nullptr) return;
    convert(true);
}

bool EncodingConverter::hasPending() const {
    UErrorCode err = U_ZERO_ERROR;
    int toU = ucnv_toUCountPending(_source, &err);
    int fromU = U_SUCCESS(err) ? ucnv_fromUCountPending(_utf8, &err) : 0;
    // A converter that cannot say is taken to hold something.
    return U_FAILURE(err) || toU != 0 || fromU != 0 || _inLength > 0 || _pivotSource != _pivotTarget;
}

void EncodingConverter::pause() {
    if (_failed || _source == nullptr || _utf8 == nullptr || _pendingSubstituted || !hasPending()) return;
    // The clones are flushed; the converters themselves go on as they were.
    UErrorCode err = U_ZERO_ERROR;
    UConverter* source = ucnv_clone(_source, &err);
    UConverter* utf8 = U_SUCCESS(err) ? ucnv_clone(_utf8, &err) : nullptr;
    if (U_FAILURE(err)) {
        if (source != nullptr) ucnv_close(source);
        fail("Error converting character set: %s", u_errorName(err));
        return;
    }
    char16_t pivot[kBufferSize];
    memcpy(pivot, _pivot, sizeof pivot);
    char16_t* pivotSource = pivot + (_pivotSource - _pivot);
    char16_t* pivotTarget = pivot + (_pivotTarget - _pivot);
    const char* from = _in;
    const char* const limit = _in + _inLength;
    for (;;) {
        char* target = _out;
        err = U_ZERO_ERROR;
        ucnv_convertEx(utf8, source, &target, _out + kBufferSize, &from, limit, pivot, &pivotSource, &pivotTarget,
                       pivot + kBufferSize, false, true, &err);
        if (target > _out) _output->fromConverter(_out, static_cast<int>(target - _out));
        if (err != U_BUFFER_OVERFLOW_ERROR) break;
    }
    ucnv_close(source);
    ucnv_close(utf8);
    if (U_FAILURE(err)) {
        fail("Error converting character set: %s", u_errorName(err));
        return;
    }
    _pendingSubstituted = true;
}

void EncodingConverter::convert(bool flush) {
    const char* source = _in;
    const char* sourceLimit = _in + _inLength;
    for (;;) {
        char* target = _out;
        UErrorCode err = U_ZERO_ERROR;
        ucnv_convertEx(_utf8, _source, &target, _out + kBufferSize, &source, sourceLimit, _pivot, &_pivotSource,
                       &_pivotTarget, _pivot + kBufferSize, false, flush, &err);
        if (target > _out) _output->fromConverter(_out, static_cast<int>(target - _out));
        if (err == U_BUFFER_OVERFLOW_ERROR) continue;
        if (U_FAILURE(err)) {
            fail("Error converting character set: %s", u_errorName(err));
            return;
        }
        break;
    }
    // ICU normally keeps the start of an incomplete sequence in its own
    // state; whatever it leaves unconsumed is kept for the next chunk.
    int left = static_cast<int>(sourceLimit - source);
    if (left == kBufferSize) {
        fail("Error converting character set: %s", "no progress on a full input buffer");
        return;
    }
    memmove(_in, source, static_cast<size_t>(left));
    _inLength = left;
}
