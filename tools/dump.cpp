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

void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* fmt, ...) {
    char buf[256];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1);
}

// Bytes as a C-style quoted text.
void appendQuoted(std::string& out, const unsigned char* p, size_t n) {
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

void appendId(std::string& out, uint32_t id) {
    const char* name = objectIdName(id);
    if (name != nullptr)
        appendf(out, "%u (%s)", id, name);
    else
        appendf(out, "%u", id);
}

// Walks a bare value stream. Containers and objects are followed with an
// explicit stack, so that any nesting depth costs heap, not stack.
class Walker {
public:
    Walker(const unsigned char* data, size_t n, size_t base, const DumpOptions& options, std::string& out)
        : _data(data), _n(n), _base(base), _options(options), _out(out), _pos(0) {}

    DumpResult run() {
        if (_n == 0) return fail(MSG_E_EOF, "a value (the input is empty)");
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
                if (_pos == _n) return DumpResult();
                expectValue = true;
                continue;
            }
            Open& top = _stack.back();
            if (_pos == _n) {
                return top.object ? fail(MSG_E_NO_FIELD_CODE, "a field or the object trailer (tag 10)")
                                  : fail(MSG_E_MISSING_TYPE, "a value or the container trailer (tag 13)");
            }
            unsigned char b = _data[_pos];
            if (top.object) {
                if (b == TAG_OBJECT_END) {
                    close("}");
                } else if (b == TAG_FIELD) {
                    if (_pos + 1 == _n) {
                        _pos++;
                        return fail(MSG_E_NO_FIELD_CODE, "a field number after tag 11");
                    }
                    field = _data[_pos + 1];
                    _fieldAt = _pos;
                    _pos += 2;
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
        r.offset = _base + _pos;
        r.reason = why;
        return r;
    }

    void line(int field, size_t at) {
        size_t depth = _stack.size() < kMaxIndent ? _stack.size() : kMaxIndent;
        _out.append(depth * 2, ' ');
        if (_options.offsets) appendf(_out, "@%zu ", _base + (field >= 0 ? _fieldAt : at));
        if (field >= 0) appendf(_out, "%d: ", field);
    }

    void close(const char* bracket) {
        size_t at = _pos++;
        _stack.pop_back();
        line(-1, at);
        _out += bracket;
        _out += '\n';
    }

    bool need(size_t n) const { return _n - _pos >= n; }

    DumpResult value(int field) {
        size_t at = _pos;
        if (_pos == _n) return fail(MSG_E_MISSING_TYPE, "a value after the field number");
        unsigned char tag = _data[_pos++];
        line(field, at);
        char why[96];
        switch (tag) {
        case TAG_BOOL:
            if (!need(1)) return fail(MSG_E_INCOMPLETE, "the byte of a boolean");
            _out += _data[_pos++] != 0 ? "bool true\n" : "bool false\n";
            return DumpResult();
        case TAG_INT32:
            if (!need(4)) return fail(MSG_E_INCOMPLETE, "the 4 bytes of an int32");
            appendf(_out, "int32 %d\n", static_cast<int32_t>(be32(_data + _pos)));
            _pos += 4;
            return DumpResult();
        case TAG_INT64:
            if (!need(8)) return fail(MSG_E_INCOMPLETE, "the 8 bytes of an int64");
            appendf(_out, "int64 %lld\n", static_cast<long long>(getBE64(_data + _pos)));
            _pos += 8;
            return DumpResult();
        case TAG_FLOAT: {
            if (!need(4)) return fail(MSG_E_INCOMPLETE, "the 4 bytes of a float");
            uint32_t bits = be32(_data + _pos);
            float f;
            memcpy(&f, &bits, 4);
            appendf(_out, "float %.9g\n", f);
            _pos += 4;
            return DumpResult();
        }
        case TAG_DOUBLE: {
            if (!need(8)) return fail(MSG_E_INCOMPLETE, "the 8 bytes of a double");
            uint64_t bits = getBE64(_data + _pos);
            double d;
            memcpy(&d, &bits, 8);
            appendf(_out, "double %.17g\n", d);
            _pos += 8;
            return DumpResult();
        }
        case TAG_STRING: {
            if (!need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte length of a string");
            uint32_t length = be32(_data + _pos);
            _pos += 4;
            if (!need(length)) {
                snprintf(why, sizeof(why), "%u bytes of string, %zu left", length, _n - _pos);
                return fail(MSG_E_INCOMPLETE, why);
            }
            _out += "string ";
            appendQuoted(_out, _data + _pos, length);
            _out += '\n';
            _pos += length;
            return DumpResult();
        }
        case TAG_NULL_STRING: _out += "null string\n"; return DumpResult();
        case TAG_NULL_OBJECT: _out += "null object\n"; return DumpResult();
        case TAG_BYTES: {
            if (!need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte length of a byte block");
            uint32_t length = be32(_data + _pos);
            _pos += 4;
            if (!need(length)) {
                snprintf(why, sizeof(why), "%u bytes of byte block, %zu left", length, _n - _pos);
                return fail(MSG_E_INCOMPLETE, why);
            }
            appendf(_out, "bytes %u", length);
            size_t shown = _options.fullBlocks || length <= kBlockPreview ? length : kBlockPreview;
            if (shown > 0) _out += ":";
            for (size_t i = 0; i < shown; i++) appendf(_out, " %02X", _data[_pos + i]);
            if (shown < length) _out += " ...";
            _out += '\n';
            _pos += length;
            return DumpResult();
        }
        case TAG_STRING_ARRAY: {
            if (!need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte count of a string array");
            uint32_t count = be32(_data + _pos);
            _pos += 4;
            appendf(_out, "strings %u [", count);
            for (uint32_t i = 0; i < count; i++) {
                if (!need(4)) {
                    _out += " ...\n";
                    snprintf(why, sizeof(why), "the length of string %u of %u", i + 1, count);
                    return fail(MSG_E_INCOMPLETE, why);
                }
                uint32_t length = be32(_data + _pos);
                _pos += 4;
                if (!need(length)) {
                    _out += " ...\n";
                    snprintf(why, sizeof(why), "%u bytes of string %u of %u, %zu left", length, i + 1, count,
                             _n - _pos);
                    return fail(MSG_E_INCOMPLETE, why);
                }
                _out += i == 0 ? " " : ", ";
                appendQuoted(_out, _data + _pos, length);
                _pos += length;
            }
            _out += count > 0 ? " ]\n" : "]\n";
            return DumpResult();
        }
        case TAG_OBJECT:
        case TAG_CONTAINER: {
            if (!need(4)) return fail(MSG_E_INCOMPLETE, "the 4-byte object id");
            uint32_t id = be32(_data + _pos);
            _pos += 4;
            _out += tag == TAG_OBJECT ? "object " : "container ";
            appendId(_out, id);
            _out += tag == TAG_OBJECT ? " {\n" : " [\n";
            _stack.push_back(Open{tag == TAG_OBJECT});
            return DumpResult();
        }
        case TAG_CMD:
            if (field < 0 && _stack.empty()) {
                if (!need(4)) return fail(MSG_E_INCOMPLETE, "the 4 bytes of a command");
                appendf(_out, "command %d\n", static_cast<int32_t>(be32(_data + _pos)));
                _pos += 4;
                return DumpResult();
            }
            _out += "?\n";
            _pos = at;
            return fail(MSG_E_MISSING_TYPE, "a value; a command (tag 16) is not one");
        default:
            _out += "?\n";
            _pos = at;
            snprintf(why, sizeof(why), "a value; tag %u is not one", tag);
            return fail(MSG_E_MISSING_TYPE, why);
        }
    }

    const unsigned char* _data;
    size_t _n;
    size_t _base;
    const DumpOptions& _options;
    std::string& _out;
    size_t _pos;
    size_t _fieldAt = 0;
    std::vector<Open> _stack;
};

DumpResult decodeObject(const unsigned char* data, size_t n, size_t base, const DumpOptions& options,
                        std::string& out) {
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
    return r;
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
    bool framed = options.framing == DumpOptions::FRAMED ||
                  (options.framing == DumpOptions::AUTO && looksFramed(data, n));
    if (framed) {
        DumpResult r;
        if (n < kHeader) {
            r.code = MSG_E_EOF;
            r.offset = n;
            r.reason = "a 9-byte frame header";
            return r;
        }
        uint32_t length = be32(data + 1);
        uint32_t type = be32(data + 5);
        appendf(out, "frame: type %u, body %u bytes\n", type, length);
        if (data[0] != 3) {
            r.code = -1;
            r.reason = "frame code 3";
            return r;
        }
        if (length < 1 || length > kMaxBody || type > kMaxType) {
            r.code = -1;
            r.offset = length < 1 || length > kMaxBody ? 1 : 5;
            r.reason = length < 1 ? "Less than or zero size message"
                                  : (length > kMaxBody ? "packet too large 2G" : "illogical message type");
            return r;
        }
        if (length > n - kHeader) {
            r.code = MSG_E_INCOMPLETE;
            r.offset = n;
            char why[96];
            snprintf(why, sizeof(why), "a body of %u bytes; %zu follow the header", length, n - kHeader);
            r.reason = why;
            return r;
        }
        size_t extra = n - kHeader - length;
        DumpResult body = options.decodeObject ? decodeObject(data + kHeader, length, kHeader, options, out)
                                               : Walker(data + kHeader, length, kHeader, options, out).run();
        if (body.code == 0 && extra > 0) appendf(out, "(%zu bytes follow the frame)\n", extra);
        return body;
    }
    if (options.decodeObject) return decodeObject(data, n, 0, options, out);
    return Walker(data, n, 0, options, out).run();
}
