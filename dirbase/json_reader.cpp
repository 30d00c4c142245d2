#include "dirbase/json_reader.h"

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <unordered_map>
#include <vector>

#include "dirbase/any.h"
#include "dirbase/attributes.h"

namespace {

const int kMaxDepth = 64;

class JsonReader {
public:
    explicit JsonReader(const char* text) : _p(text) {}

    Any* read(std::string* error) {
        Any* v = value(0);
        skipSpace();
        if (v != nullptr && *_p != '\0') {
            delete v;
            v = nullptr;
            _error = "text after the value";
        }
        if (v == nullptr) *error = _error.empty() ? "not a JSON value" : _error;
        return v;
    }

private:
    void skipSpace() {
        while (isspace(static_cast<unsigned char>(*_p))) _p++;
    }
    bool literal(const char* word) {
        size_t n = strlen(word);
        if (strncmp(_p, word, n) != 0) return false;
        _p += n;
        return true;
    }
    Any* fail(const char* why) {
        if (_error.empty()) _error = why;
        return nullptr;
    }

    Any* value(int depth) {
        if (depth > kMaxDepth) return fail("nested too deeply");
        skipSpace();
        if (*_p == '"') {
            std::string s;
            if (!string(&s)) return fail("unterminated or malformed string");
            return new Any(s.c_str());
        }
        if (*_p == '[') return array(depth);
        if (*_p == '{') return object(depth);
        if (literal("true")) return new Any(true);
        if (literal("false")) return new Any(false);
        if (literal("null")) return new Any();
        return number();
    }

    // Four hex digits at p, as a number.
    static bool hex4(const char* p, unsigned* code) {
        *code = 0;
        for (int i = 0; i < 4; i++) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            if (!isxdigit(c)) return false;
            *code = *code * 16 + (isdigit(c) ? c - '0' : tolower(c) - 'a' + 10);
        }
        return true;
    }

    static void appendUtf8(std::string* out, unsigned code) {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool string(std::string* out) {
        _p++;  // the opening quote
        while (*_p != '"') {
            if (*_p == '\0') return false;
            if (*_p != '\\') {
                *out += *_p++;
                continue;
            }
            _p++;
            switch (*_p) {
                case '"': *out += '"'; break;
                case '\\': *out += '\\'; break;
                case '/': *out += '/'; break;
                case 'b': *out += '\b'; break;
                case 'f': *out += '\f'; break;
                case 'n': *out += '\n'; break;
                case 'r': *out += '\r'; break;
                case 't': *out += '\t'; break;
                case 'u': {
                    unsigned code;
                    if (!hex4(_p + 1, &code)) return false;
                    _p += 4;
                    // A character beyond the basic plane comes as a high
                    // surrogate escape followed by a low one; either half
                    // alone is no character, and its bytes would not be
                    // UTF-8.
                    if (code >= 0xDC00 && code <= 0xDFFF) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        unsigned low;
                        if (_p[1] != '\\' || _p[2] != 'u' || !hex4(_p + 3, &low) || low < 0xDC00 || low > 0xDFFF)
                            return false;
                        _p += 6;
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    }
                    appendUtf8(out, code);
                    break;
                }
                default: return false;
            }
            _p++;
        }
        _p++;  // the closing quote
        return true;
    }

    Any* number() {
        const char* start = _p;
        if (*_p == '-') _p++;
        if (!isdigit(static_cast<unsigned char>(*_p))) return fail("expected a value");
        bool whole = true;
        while (isdigit(static_cast<unsigned char>(*_p))) _p++;
        if (*_p == '.' || *_p == 'e' || *_p == 'E') whole = false;
        std::string text(start, _p);
        if (whole) {
            errno = 0;
            long long v = strtoll(text.c_str(), nullptr, 10);
            if (errno == 0) {
                if (v >= INT32_MIN && v <= INT32_MAX) return new Any(static_cast<int>(v));
                return new Any(v);
            }
        }
        char* end = nullptr;
        double d = strtod(start, &end);
        if (end == start) return fail("malformed number");
        _p = end;
        return new Any(d);
    }

    // The elements are gathered first and the array made once: appending
    // grows an array by one slot at a time, which costs a copy of the whole
    // array per element.
    Any* array(int depth) {
        _p++;
        std::vector<Any*> elements;
        auto drop = [&elements] {
            for (Any* e : elements) delete e;
        };
        skipSpace();
        if (*_p == ']') {
            _p++;
        } else {
            for (;;) {
                Any* v = value(depth + 1);
                if (v == nullptr) {
                    drop();
                    return nullptr;
                }
                elements.push_back(v);
                skipSpace();
                if (*_p == ',') {
                    _p++;
                    continue;
                }
                if (*_p == ']') {
                    _p++;
                    break;
                }
                drop();
                return fail("expected ',' or ']'");
            }
        }
        AnyArray* a = new AnyArray();
        if (!elements.empty()) {
            a->elements = static_cast<Any**>(malloc(sizeof(Any*) * elements.size()));
            memcpy(a->elements, elements.data(), sizeof(Any*) * elements.size());
            a->count = static_cast<int>(elements.size());
        }
        Any* out = new Any();
        out->setArray(a);
        return out;
    }

    // A repeated name replaces the value of its entry; the entries are found
    // by name through a table rather than by walking the set each time.
    Any* object(int depth) {
        _p++;
        Attributes* attrs = new Attributes();
        std::unordered_map<std::string, Attributes::AttrList*> byName;
        skipSpace();
        if (*_p == '}') {
            _p++;
        } else {
            for (;;) {
                skipSpace();
                std::string key;
                if (*_p != '"' || !string(&key)) {
                    delete attrs;
                    return fail("expected a member name");
                }
                skipSpace();
                if (*_p != ':') {
                    delete attrs;
                    return fail("expected ':'");
                }
                _p++;
                Any* v = value(depth + 1);
                if (v == nullptr) {
                    delete attrs;
                    return nullptr;
                }
                // The entry's name ends at the first NUL a "\u0000" made.
                std::string name(key.c_str());
                auto found = byName.find(name);
                if (found != byName.end()) {
                    found->second->replaceValue(v);
                } else {
                    attrs->addAttribute(name.c_str(), v);
                    byName.emplace(std::move(name), attrs->head);
                }
                skipSpace();
                if (*_p == ',') {
                    _p++;
                    continue;
                }
                if (*_p == '}') {
                    _p++;
                    break;
                }
                delete attrs;
                return fail("expected ',' or '}'");
            }
        }
        Any* out = new Any();
        out->setObject(attrs);
        return out;
    }

    const char* _p;
    std::string _error;
};

}  // namespace

Any* parseJsonValue(const char* text, std::string* error) {
    return JsonReader(text != nullptr ? text : "").read(error);
}
