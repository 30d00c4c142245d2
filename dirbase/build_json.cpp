#include "dirbase/build_json.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "dirbase/translatable.h"

namespace {

class Text {
public:
    Text() : _data(static_cast<char*>(malloc(128))), _length(0), _capacity(128) { _data[0] = '\0'; }
    void add(const char* s) { add(s, strlen(s)); }
    void add(const char* s, size_t n) {
        if (_length + n + 1 > _capacity) {
            while (_length + n + 1 > _capacity) _capacity *= 2;
            _data = static_cast<char*>(realloc(_data, _capacity));
        }
        memcpy(_data + _length, s, n);
        _length += n;
        _data[_length] = '\0';
    }
    // Adds an allocated text (or "null") and frees it.
    void addOwned(char* s) {
        add(s != nullptr ? s : "null");
        free(s);
    }
    char* take() { return _data; }

private:
    char* _data;
    size_t _length;
    size_t _capacity;
};

}  // namespace

char* buildJSON(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Text out;
    out.add("{ ");
    bool first = true;
    auto member = [&](const char* name) {
        if (!first) out.add(", ");
        first = false;
        out.add("\"");
        out.add(name != nullptr ? name : "");
        out.add("\" : ");
    };
    char buf[128];
    for (const char* f = format; *f != '\0'; f++) {
        switch (*f) {
        case 's': {
            const char* name = va_arg(args, const char*);
            const char* v = va_arg(args, const char*);
            member(name);
            if (v == nullptr) {
                out.add("null");
            } else {
                out.add("\"");
                out.add(v);
                out.add("\"");
            }
            break;
        }
        case 'i': {
            const char* name = va_arg(args, const char*);
            int v = va_arg(args, int);
            member(name);
            snprintf(buf, sizeof(buf), "%d", v);
            out.add(buf);
            break;
        }
        case 'j': {
            const char* name = va_arg(args, const char*);
            const long long* v = va_arg(args, const long long*);
            member(name);
            if (v == nullptr) {
                out.add("null");
            } else {
                snprintf(buf, sizeof(buf), "%lld", *v);
                out.add(buf);
            }
            break;
        }
        case 'b': {
            const char* name = va_arg(args, const char*);
            int v = va_arg(args, int);
            member(name);
            out.add(v ? "true" : "false");
            break;
        }
        case 't': {
            const char* name = va_arg(args, const char*);
            int v = va_arg(args, int);
            member(name);
            time_t t = v;
            struct tm tm;
            char when[64] = "";
            if (localtime_r(&t, &tm) != nullptr) strftime(when, sizeof(when), "%x %X", &tm);
            snprintf(buf, sizeof(buf), "%d /* %s */", v, when);
            out.add(buf);
            break;
        }
        case 'o':
        case 'x': {
            const char* name = va_arg(args, const char*);
            Translatable* v = va_arg(args, Translatable*);
            member(name);
            out.addOwned(v != nullptr ? v->toJSON(nullptr) : nullptr);
            break;
        }
        case 'a': {
            const char* name = va_arg(args, const char*);
            Translatable** v = va_arg(args, Translatable**);
            char* text = v != nullptr && *v != nullptr ? (*v)->toString(nullptr) : nullptr;
            if (text != nullptr) {
                member(name);
                out.addOwned(text);
            }
            break;
        }
        case 'l': {
            const char* name = va_arg(args, const char*);
            void* cursor = va_arg(args, void*);
            JsonNextFn next = va_arg(args, JsonNextFn);
            member(name);
            out.add("[");
            bool firstElement = true;
            for (char* text; next != nullptr && (text = next(&cursor)) != nullptr;) {
                if (!firstElement) out.add(", ");
                firstElement = false;
                out.addOwned(text);
            }
            out.add("]");
            break;
        }
        default: break;
        }
    }
    va_end(args);
    out.add(" }");
    return out.take();
}
