#include "tools/dump.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "dirbase/message.h"
#include "dirbase/translatable.h"

namespace {

const size_t kHeader = 9;
const uint32_t kMaxBody = 0x4FFFFFFF;
const uint32_t kMaxType = 0xFFFFFF;
const size_t kBlockPreview = 16;
// Deeper levels are printed at this indentation, so that output stays
// proportional to the input.
const size_t kMaxIndent = 32;

struct IdName {
    unsigned int id;
    const char* name;
};

const IdName kIdNames[] = {
    {7, "Principal"},
    {97, "Principal"},
    {99, "SecurityObject"},
    {501, "JSON"},
    {1000, "Any"},
    {1001, "Attributes"},
    {1002, "Attributes entry"},
    {1003, "Attributes entries"},
    {1004, "DirNameEntry"},
    {1005, "DirNameEntry attribute"},
    {1006, "DirNameEntry attributes"},
    {1007, "DirName"},
    {1008, "DirName node"},
    {1009, "DirName nodes"},
    {1010, "DirectoryEnumeration"},
    {1011, "DirectoryEnumeration entry"},
    {1012, "DirectoryEnumeration entries"},
    {1013, "DirectoryObject"},
    {1014, "Acl"},
    {1016, "FutureResult"},
    {1017, "ExecuteUpdate"},
    {1020, "ClassEnumeration"},
    {1021, "ClassEnumeration entry"},
    {1022, "ClassEnumeration entries"},
    {1030, "AnyArray"},
    {2000, "TaskData"},
    {2003, "UptimeData"},
    {2055, "StatsFile"},
    {2101, "file transfer transaction"},
    {2102, "file transfer item U"},
    {2103, "file transfer item G"},
    {2104, "file transfer item M"},
    {2105, "file transfer items U"},
    {2106, "file transfer items G"},
    {2107, "file transfer items M"},
    {2108, "file transfer transactions"},
    {2109, "file transfer record"},
    {2110, "file transfer status"},
    {2111, "file transfer path filters"},
    {2112, "file transfer path filter"},
    {2390, "ExpectEntry"},
    {2391, "ExpectList"},
    {2392, "ExpectList nodes"},
    {2393, "ExpectList node"},
    {2400, "UserPrompt"},
    {2401, "user prompt entries"},
    {2402, "user prompt entry"},
    {2430, "AuditLogEntry"},
    {2431, "JavaObject"},
    {2602, "Rule"},
    {2605, "RuleSet"},
    {2606, "rule sets"},
    {2607, "rule sets"},
    {2608, "RuleSet asset list"},
    {2996, "FileIo"},
    {4000, "Asset"},
    {4001, "Endpoint"},
    {4881, "Ci"},
    {4882, "CiUpdate"},
    {4883, "configuration-item update entries"},
    {4980, "Alert"},
    {4987, "DrvEvent"},
    {5667, "FileListing"},
    {5668, "FileListingEntry"},
    {5669, "FileListing entries"},
    {9223, "Error"},
    {9224, "Function"},
    {9300, "Date"},
    {50501, "EmbDeviceChallenge"},
};

uint32_t be32(const unsigned char* p) {
    return getBE32(p);
}

// Where the dump goes: a string, or a file written as the walk goes, so that
// output never piles up in memory.
class Output {
public:
    explicit Output(std::string& text) : _text(text), _file(nullptr) {}
    explicit Output(FILE* file) : _text(_pending), _file(file) {}
    ~Output() { flush(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void append(const char* p, size_t n) {
        if (n == 0) return;
        _text.append(p, n);
        _last = p[n - 1];
        _any = true;
        if (_file != nullptr && _text.size() >= kFlushAt) flush();
    }
    void append(size_t n, char c) {
        for (size_t i = 0; i < n; i++) append(&c, 1);
    }
    Output& operator+=(const char* s) {
        append(s, strlen(s));
        return *this;
    }
    Output& operator+=(char c) {
        append(&c, 1);
        return *this;
    }
    Output& operator+=(const std::string& s) {
        append(s.data(), s.size());
        return *this;
    }
    bool empty() const { return !_any; }
    char back() const { return _last; }
    void flush() {
        if (_file == nullptr || _text.empty()) return;
        fwrite(_text.data(), 1, _text.size(), _file);
        _text.clear();
    }

private:
    static const size_t kFlushAt = 65536;
    std::string _pending;
    std::string& _text;
    FILE* _file;
    char _last = '\0';
    bool _any = false;
};

// The bytes being walked: all of them when they are in memory, or a window
// over a file that holds what the value being read needs and is refilled as
// the walk moves on. Offsets are from the start of the input. A limit (a
// frame's body) ends the input early for the walk.
class Input {
public:
    Input(const unsigned char* data, size_t n) : _file(nullptr), _data(data), _end(n) {}
    explicit Input(FILE* file) : _file(file), _data(nullptr), _end(0) {}
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Whether n bytes from the current position are there. When they are
    // not, left() is everything up to the end of the input (or the limit).
    bool need(size_t n) {
        if (left() >= n) return true;
        size_t target = n < _limit - offset() ? n : _limit - offset();
        while (_file != nullptr && !_eof && windowLeft() < target) fill();
        return left() >= n;
    }
    // Bytes there from the current position, up to the limit.
    size_t left() const {
        size_t w = windowLeft();
        size_t l = _limit - offset();
        return w < l ? w : l;
    }
    const unsigned char* at() const { return base() + _pos; }
    unsigned char peek() const { return base()[_pos]; }
    void skip(size_t n) { _pos += n; }
    size_t offset() const { return _dropped + _pos; }
    bool atEnd() { return !need(1); }
    void limitTo(size_t end) { _limit = end; }
    void unlimit() { _limit = SIZE_MAX; }
    bool failed() const { return _file != nullptr && ferror(_file); }
    // Reads to the end of the input (or the limit) into the window.
    void needAll() {
        while (_file != nullptr && !_eof && offset() + windowLeft() < _limit) fill();
    }
    // Skips to the end of the input without keeping it; the bytes skipped.
    size_t skipRest() {
        size_t n = 0;
        for (;;) {
            n += windowLeft();
            _pos = _end;
            if (_file == nullptr || _eof) return n;
            fill();
        }
    }

private:
    static const size_t kChunk = 65536;

    const unsigned char* base() const { return _file != nullptr ? _window.data() : _data; }
    size_t windowLeft() const { return _end - _pos; }

    // Reads one more chunk, first dropping the bytes already walked.
    void fill() {
        if (_pos > 0) {
            memmove(_window.data(), _window.data() + _pos, _end - _pos);
            _dropped += _pos;
            _end -= _pos;
            _pos = 0;
        }
        // One chunk at a time, however much a value claims: the window grows
        // with the bytes that arrive, not with a length read from the input.
        if (_window.size() < _end + kChunk) _window.resize(_end + kChunk);
        size_t got = fread(_window.data() + _end, 1, kChunk, _file);
        _end += got;
        if (got == 0) _eof = true;
    }

    FILE* _file;
    const unsigned char* _data;
    std::vector<unsigned char> _window;
    size_t _pos = 0;
    size_t _end;
    size_t _dropped = 0;
    size_t _limit = SIZE_MAX;
    bool _eof = false;
};

void appendf(Output& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(Output& out, const char* fmt, ...) {
    char buf[256];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1);
}

// Bytes as a C-style quoted text.
void appendQuoted(Output& out, const unsigned char* p, size_t n) {
    out += '"';
    for (size_t i = 0; i < n; i++) {
        unsigned char c = p[i];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 32 || c >= 127)
                appendf(out, "\\x%02X", c);
            else
                out += static_cast<char>(c);
        }
    }
    out += '"';
}

void appendId(Output& out, uint32_t id) {
    const char* name = objectIdName(id);
    if (name != nullptr)
        appendf(out, "%u (%s)", id, name);
    else
        appendf(out, "%u", id);
}

// Walks a bare value stream. Containers and objects are followed with an
// explicit stack, so that any nesting depth costs heap, not stack; the input
// window holds no more than the value being read.
class Walker {
public:
    Walker(Input& in, const DumpOptions& options, Output& out) : _in(in), _options(options), _out(out) {}

    DumpResult run() {
        if (_in.atEnd()) return fail(MSG_E_EOF, "a value (the input is empty)");
        bool expectValue = true;
        int field = -1;
        for (;;) {
            if (expectValue) {
                DumpResult r = value(field);
                if (r.code != 0) {
                    if (!_out.empty() && _out.back() != '\n') _out += "?\n";
                    return r;
                }
                field = -1;
                expectValue = false;
            }
            if (_stack.empty()) {
                if (_in.atEnd()) return DumpResult();
                expectValue = true;
                continue;
            }
            Open& top = _stack.back();
            if (_in.atEnd()) {
                return top.object ? fail(MSG_E_NO_FIELD_CODE, "a field or the object trailer (tag 10)")
                                  : fail(MSG_E_MISSING_TYPE, "a value or the container trailer (tag 13)");
            }
            unsigned char b = _in.peek();
            if (top.object) {
                if (b == TAG_OBJECT_END) {
                    close("}");
                } else if (b == TAG_FIELD) {
                    if (!_in.need(2)) {
                        _in.skip(1);
                        return fail(MSG_E_NO_FIELD_CODE, "a field number after tag 11");
                    }
                    field = _in.at()[1];
                    _fieldAt = _in.offset();
                    _in.skip(2);
                    expectValue = true;
                } else {
                    char why[96];
                    snprintf(why, sizeof(why), "a field (tag 11) or the object trailer (tag 10), not tag %u", b);
                    return fail(MSG_E_BAD_FIELD_CODE, why);
                }
            } else if (b == TAG_CONTAINER_END) {
                close("]");
            } else {
                expectValue = true;
            }
        }
    }

private:
    struct Open {
        bool object;
    };

    DumpResult fail(int code, const char* why) {
        DumpResult r;
        r.code = code;
        r.offset = _in.offset();
        r.reason = why;
        return r;
    }

    void line(int field, size_t at) {
        size_t depth = _stack.size() < kMaxIndent ? _stack.size() : kMaxIndent;
        _out.append(depth * 2, ' ');
        if (_options.offsets) appendf(_out, "@%zu ", field >= 0 ? _fieldAt : at);
        if (field >= 0) appendf(_out, "%d: ", field);
    }

    void close(const char* bracket) {
        size_t at = _in.offset();
        _in.skip(1);
        _stack.pop_back();
        line(-1, at);
        _out += bracket;
        _out += '\n';
    }

    DumpResult value(int field) {
        size_t at = _in.offset();
        if (_in.atEnd()) return fail(MSG_E_MISSING_TYPE, "a value after the field number");
        unsigned char tag = _in.peek();
        _in.skip(1);
        line(field, at);
        char why[96];
        switch (tag) {
        case TAG_BOOL:
            if (!_in.need(1)) return fail(MSG_E_INCOMPLETE, "the byte of a boolean");
            _out += _in.peek() != 0 ? "bool true\n" : "bool false\n";
            _in.skip(1);
            return DumpResult();
        case TAG_INT32:
            if (!_in.need(4)) return fail(MSG_E_INCOMPLETE, "the 4 bytes of an int32");
            appendf(_out, "int32 %d\n", static_cast<int32_t>(be32(_in.at())));
            _in.skip(4);
            return DumpResult();
        case TAG_INT64:
            if (!_in.need(8)) return fail(MSG_E_INCOMPLETE, "the 8 bytes of an int64");
            appendf(_out, "int64 %lld\n", static_cast<long long>(getBE64(_in.at())));
            _in.skip(8);
            return DumpResult();
        case TAG_FLOAT: {
            if (!_in.need(4)) return fail(MSG_E_INCOMPLETE, "the 4 bytes of a float");
            uint32_t bits = be32(_in.at());
            float f;
            memcpy(&f, &bits, 4);
            appendf(_out, "float %.9g\n", f);
            _in.skip(4);
            return DumpResult();
        }
        case TAG_DOUBLE: {
            if (!_in.need(8)) return fail(MSG_E_INCOMPLETE, "the 8 bytes of a double");
            uint64_t bits = getBE64(_in.at());
            double d;
            memcpy(&d, &bits, 8);
            appendf(_out, "double %.17g\n", d);
            _in.skip(8);
            return DumpResult();
        }
        case TAG_STRING: {
            if (!_in.need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte length of a string");
            uint32_t length = be32(_in.at());
            _in.skip(4);
            if (!_in.need(length)) {
                snprintf(why, sizeof(why), "%u bytes of string, %zu left", length, _in.left());
                return fail(MSG_E_INCOMPLETE, why);
            }
            _out += "string ";
            appendQuoted(_out, _in.at(), length);
            _out += '\n';
            _in.skip(length);
            return DumpResult();
        }
        case TAG_NULL_STRING: _out += "null string\n"; return DumpResult();
        case TAG_NULL_OBJECT: _out += "null object\n"; return DumpResult();
        case TAG_BYTES: {
            if (!_in.need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte length of a byte block");
            uint32_t length = be32(_in.at());
            _in.skip(4);
            if (!_in.need(length)) {
                snprintf(why, sizeof(why), "%u bytes of byte block, %zu left", length, _in.left());
                return fail(MSG_E_INCOMPLETE, why);
            }
            appendf(_out, "bytes %u", length);
            size_t shown = _options.fullBlocks || length <= kBlockPreview ? length : kBlockPreview;
            if (shown > 0) _out += ":";
            for (size_t i = 0; i < shown; i++) appendf(_out, " %02X", _in.at()[i]);
            if (shown < length) _out += " ...";
            _out += '\n';
            _in.skip(length);
            return DumpResult();
        }
        case TAG_STRING_ARRAY: {
            if (!_in.need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte count of a string array");
            uint32_t count = be32(_in.at());
            _in.skip(4);
            appendf(_out, "strings %u [", count);
            for (uint32_t i = 0; i < count; i++) {
                if (!_in.need(4)) {
                    _out += " ...\n";
                    snprintf(why, sizeof(why), "the length of string %u of %u", i + 1, count);
                    return fail(MSG_E_INCOMPLETE, why);
                }
                uint32_t length = be32(_in.at());
                _in.skip(4);
                if (!_in.need(length)) {
                    _out += " ...\n";
                    snprintf(why, sizeof(why), "%u bytes of string %u of %u, %zu left", length, i + 1, count,
                             _in.left());
                    return fail(MSG_E_INCOMPLETE, why);
                }
                _out += i == 0 ? " " : ", ";
                appendQuoted(_out, _in.at(), length);
                _in.skip(length);
            }
            _out += count > 0 ? " ]\n" : "]\n";
            return DumpResult();
        }
        case TAG_OBJECT:
        case TAG_CONTAINER: {
            if (!_in.need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte object id");
            uint32_t id = be32(_in.at());
            _in.skip(4);
            _out += tag == TAG_OBJECT ? "object " : "container ";
            appendId(_out, id);
            _out += tag == TAG_OBJECT ? " {\n" : " [\n";
            _stack.push_back(Open{tag == TAG_OBJECT});
            return DumpResult();
        }
        case TAG_CMD:
            if (field < 0 && _stack.empty()) {
                if (!_in.need(4)) return fail(MSG_E_INCOMPLETE, "the 4 bytes of a command");
                appendf(_out, "command %d\n", static_cast<int32_t>(be32(_in.at())));
                _in.skip(4);
                return DumpResult();
            }
            _out += "?\n";
            return failAt(at, MSG_E_MISSING_TYPE, "a value; a command (tag 16) is not one");
        default:
            _out += "?\n";
            snprintf(why, sizeof(why), "a value; tag %u is not one", tag);
            return failAt(at, MSG_E_MISSING_TYPE, why);
        }
    }

    // A failure reported at the value's tag, one byte back.
    DumpResult failAt(size_t at, int code, const char* why) {
        DumpResult r = fail(code, why);
        r.offset = at;
        return r;
    }

    Input& _in;
    const DumpOptions& _options;
    Output& _out;
    size_t _fieldAt = 0;
    std::vector<Open> _stack;
};

// Decoding goes through the record's translator, which reads from memory:
// the input (or the frame's body) is read whole first; it is one record.
DumpResult decodeObject(Input& in, const DumpOptions& options, Output& out) {
    in.needAll();
    const unsigned char* data = in.at();
    size_t n = in.left();
    size_t base = in.offset();
    DumpResult r;
    if (n > 0 && data[0] == TAG_CONTAINER) {
        r.code = MSG_E_BAD_TYPE;
        r.offset = base;
        r.reason = "an object (tag 9); the input is a container, whose records drvdump decodes one by one only";
        return r;
    }
    if (MessageBase::findXlatorFn(options.objectId) == nullptr) {
        r.code = MSG_E_NO_TRANSLATOR;
        r.offset = base;
        r.reason = "an object id with a translator";
        return r;
    }
    Message m(reinterpret_cast<const char*>(data), n);
    Translatable* obj = nullptr;
    int rc = m.readObject(options.objectId, &obj);
    if (rc != 0) {
        r.code = m.getError() != 0 ? m.getError() : rc;
        r.offset = base + m.readOffset();
        r.reason = "a record the translator of object " + std::to_string(options.objectId) + " accepts";
        if (r.code == -1) {
            r.code = MSG_E_BAD_TYPE;
            r.reason += " (it refused the values)";
        }
        return r;
    }
    if (obj == nullptr) {
        out += "null object\n";
    } else {
        char* text = obj->toString(nullptr);
        out += text != nullptr ? text : "(no text)";
        out += '\n';
        free(text);
        delete obj;
    }
    size_t used = m.readOffset();
    if (used < n) {
        char note[96];
        snprintf(note, sizeof(note), "(%zu bytes follow the object)\n", n - used);
        out += note;
    }
    in.skip(n);
    return r;
}

// Whether the input is a framed message: code 3, a body length from 1 that
// matches the bytes that follow, and a message type up to 0xFFFFFF. Only a
// header that could be right makes it read as far as that length says.
bool inputLooksFramed(Input& in) {
    if (!in.need(kHeader + 1) || in.peek() != 3) return false;
    uint32_t length = be32(in.at() + 1);
    if (length < 1 || length > kMaxBody || be32(in.at() + 5) > kMaxType) return false;
    return in.need(kHeader + length) && !in.need(kHeader + length + 1);
}

DumpResult dumpInput(Input& in, const DumpOptions& options, Output& out) {
    bool framed = options.framing == DumpOptions::FRAMED ||
                  (options.framing == DumpOptions::AUTO && inputLooksFramed(in));
    if (!framed) return options.decodeObject ? decodeObject(in, options, out) : Walker(in, options, out).run();

    DumpResult r;
    if (!in.need(kHeader)) {
        r.code = MSG_E_EOF;
        r.offset = in.left();
        r.reason = "a 9-byte frame header";
        return r;
    }
    unsigned code = in.peek();
    uint32_t length = be32(in.at() + 1);
    uint32_t type = be32(in.at() + 5);
    appendf(out, "frame: type %u, body %u bytes\n", type, length);
    char why[128];
    if (code != 3) {
        r.code = -1;
        snprintf(why, sizeof(why), "wrong frame code: found %u, expected 3", code);
        r.reason = why;
        return r;
    }
    if (length < 1 || length > kMaxBody || type > kMaxType) {
        r.code = -1;
        r.offset = length < 1 || length > kMaxBody ? 1 : 5;
        if (length < 1)
            snprintf(why, sizeof(why), "Less than or zero size message: found body length 0, expected 1 or more");
        else if (length > kMaxBody)
            snprintf(why, sizeof(why), "packet too large 2G: found body length %u, expected at most %u", length,
                     kMaxBody);
        else
            snprintf(why, sizeof(why), "illogical message type: found %u, expected at most %u", type, kMaxType);
        r.reason = why;
        return r;
    }
    // The body is one message: it is held whole, as the runtime holds it.
    if (!in.need(kHeader + length)) {
        r.code = MSG_E_INCOMPLETE;
        r.offset = in.offset() + in.left();
        snprintf(why, sizeof(why), "a body of %u bytes; %zu follow the header", length, in.left() - kHeader);
        r.reason = why;
        return r;
    }
    in.skip(kHeader);
    in.limitTo(in.offset() + length);
    DumpResult body = options.decodeObject ? decodeObject(in, options, out) : Walker(in, options, out).run();
    in.unlimit();
    if (body.code == 0) {
        size_t extra = in.skipRest();
        if (extra > 0) appendf(out, "(%zu bytes follow the frame)\n", extra);
    }
    return body;
}

}  // namespace

const char* objectIdName(unsigned int id) {
    for (const IdName& e : kIdNames)
        if (e.id == id) return e.name;
    return nullptr;
}

bool looksFramed(const unsigned char* data, size_t n) {
    if (n < kHeader + 1 || data[0] != 3) return false;
    uint32_t length = be32(data + 1);
    return length >= 1 && length == n - kHeader && be32(data + 5) <= kMaxType;
}

DumpResult dumpEncoding(const unsigned char* data, size_t n, const DumpOptions& options, std::string& out) {
    Input in(data, n);
    Output text(out);
    return dumpInput(in, options, text);
}

DumpResult dumpStream(FILE* in, const DumpOptions& options, FILE* out, bool* readError) {
    Input input(in);
    DumpResult r;
    {
        Output text(out);
        r = dumpInput(input, options, text);
    }
    *readError = input.failed();
    return r;
}
