#include "tools/drvdir_exec.h"

#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/listener.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"

namespace {

const int kFailExit = 1;
const int kMaxDepth = 64;

int fail(const char* what, int code) {
    fprintf(stderr, "drvdir: %s: error %d: %s\n", what, code, errorText(ERRORS_SHARED, code, "Unknown"));
    return kFailExit;
}

// A small recursive-descent reader of one JSON value.
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
                    unsigned code = 0;
                    for (int i = 1; i <= 4; i++) {
                        if (!isxdigit(static_cast<unsigned char>(_p[i]))) return false;
                        code = code * 16 + (isdigit(static_cast<unsigned char>(_p[i])) ? _p[i] - '0'
                                                                                      : (tolower(_p[i]) - 'a' + 10));
                    }
                    _p += 4;
                    // UTF-8 of a code point in the basic plane.
                    if (code < 0x80) {
                        *out += static_cast<char>(code);
                    } else if (code < 0x800) {
                        *out += static_cast<char>(0xC0 | (code >> 6));
                        *out += static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        *out += static_cast<char>(0xE0 | (code >> 12));
                        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        *out += static_cast<char>(0x80 | (code & 0x3F));
                    }
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

    Any* array(int depth) {
        _p++;
        AnyArray* a = new AnyArray();
        skipSpace();
        if (*_p == ']') {
            _p++;
        } else {
            for (;;) {
                Any* v = value(depth + 1);
                if (v == nullptr) {
                    delete a;
                    return nullptr;
                }
                a->append(v);
                skipSpace();
                if (*_p == ',') {
                    _p++;
                    continue;
                }
                if (*_p == ']') {
                    _p++;
                    break;
                }
                delete a;
                return fail("expected ',' or ']'");
            }
        }
        Any* out = new Any();
        out->setArray(a);
        return out;
    }

    Any* object(int depth) {
        _p++;
        Attributes* attrs = new Attributes();
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
                attrs->addOrSetAttribute(key.c_str(), v);
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

// Shows progress on standard error as it arrives.
class Progress final : public FutureResultListener {
public:
    void onComplete(FutureResult*) override {}
    void onUpdate(FutureResult*, ExecuteUpdate* u) override {
        fprintf(stderr, "  [%3.0f%%] %s\n", u->amount * 100, u->message != nullptr ? u->message : "");
        fflush(stderr);
    }
};

std::atomic<bool> _interrupted{false};

void onSignal(int) {
    _interrupted = true;
}

// Prints one line per change; the listener lock is held while it runs.
class Printer final : public DirectoryListener {
public:
    void directoryAdd(const DirNameEntry* e, const Attributes* a, const Acl*) override { print("add", e, a); }
    void directoryDelete(const DirNameEntry* e, const Attributes* a) override { print("delete", e, a); }
    void directoryModified(const DirNameEntry* e, const Attributes* a, const Acl*) override { print("modify", e, a); }
    void listenerDisconnected() override { fprintf(stderr, "drvdir: watch: provider disconnected\n"); }
    void listenerConnected() override {
        fprintf(stderr, "drvdir: watching (interrupt to stop)\n");
        fflush(stderr);
    }

    std::atomic<int> printed{0};

private:
    void print(const char* kind, const DirNameEntry* e, const Attributes* a) {
        char* entry = e != nullptr ? const_cast<DirNameEntry*>(e)->toString(nullptr) : nullptr;
        char* attrs = a != nullptr ? const_cast<Attributes*>(a)->toString(nullptr) : nullptr;
        printf("%s %s %s\n", kind, entry != nullptr ? entry : "?", attrs != nullptr ? attrs : "{}");
        fflush(stdout);
        free(entry);
        free(attrs);
        printed++;
    }
};

}  // namespace

Any* parseJsonArg(const char* text, std::string* error) {
    return JsonReader(text != nullptr ? text : "").read(error);
}

int runExec(Directory* dir, const DirName* name, const char* operation, const std::vector<const char*>& args,
            int timeoutSeconds) {
    std::vector<std::unique_ptr<Any>> values;
    std::vector<Any*> argv;
    for (const char* text : args) {
        std::string error;
        Any* v = parseJsonArg(text, &error);
        if (v == nullptr) {
            fprintf(stderr, "drvdir: exec: argument '%s' is not a JSON value: %s\n", text, error.c_str());
            return fail("exec", DirError::E_ILLEGAL_ARGUMENT);
        }
        values.emplace_back(v);
        argv.push_back(v);
    }
    argv.push_back(nullptr);
    FutureResult::defaultTimeout = timeoutSeconds;
    Progress progress;
    FutureResult* fr = dir->execute(name, &progress, operation, argv.data());
    fr->waitComplete();
    int rv = 0;
    if (fr->failed) {
        if (fr->errorText != nullptr) fprintf(stderr, "drvdir: exec: %s\n", fr->errorText);
        rv = fail("exec", fr->error);
    } else {
        char* text = fr->result != nullptr ? fr->result->toString(nullptr) : nullptr;
        printf("%s\n", text != nullptr ? text : "null");
        free(text);
    }
    // The listener lives on this stack: the result must not call it again.
    fr->listener = nullptr;
    FutureResult::destroy(fr);
    return rv;
}

int runWatch(Directory* dir, const DirName* name, int maxChanges) {
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    Printer printer;
    int err = 0;
    if (dir->addListener(name, &printer, &err) != 0) return fail("watch", err);
    while (!_interrupted && (maxChanges <= 0 || printer.printed < maxChanges)) usleep(100 * 1000);
    dir->removeListener(&printer);
    return 0;
}
