#include "script/lex_pattern.h"

#include <stdint.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/string_builder.h"
#include "io/utf8.h"
#include "script/builtin_args.h"
#include "script/operators.h"

using script_builtin::newText;
using script_builtin::TextBuffer;

namespace {

// A global replace, split or match runs one search per match, and each
// search is bounded only on its own (RegexPattern::searchChecked): a text
// with many matches that each need heavy backtracking multiplies that
// bound ((a+)+b|c over hundreds of runs of 22 a's and a c takes tens of
// seconds). The operation as a whole gets one budget of the thread's
// processor time instead: a second, and a tenth of a millisecond more per
// byte of text, so that a long text with many cheap matches always
// finishes, even in a slow (instrumented) build.
class SearchBudget {
public:
    explicit SearchBudget(size_t length)
        : _wallStart(nanos(CLOCK_MONOTONIC)), _cpuStart(nanos(CLOCK_THREAD_CPUTIME_ID)),
          _allowance(kBaseNanos + kNanosPerByte * static_cast<long long>(length)) {}
    // Asked once per match. The thread's processor clock is a system call
    // (microseconds), the monotonic one is not; processor time never runs
    // ahead of elapsed time, so it is read only once the elapsed time is over.
    bool spent() const {
        if (nanos(CLOCK_MONOTONIC) - _wallStart <= _allowance) return false;
        return nanos(CLOCK_THREAD_CPUTIME_ID) - _cpuStart > _allowance;
    }

private:
    static const long long kBaseNanos = 1000000000LL;
    static const long long kNanosPerByte = 100000LL;
    static long long nanos(clockid_t clock) {
        timespec ts;
        clock_gettime(clock, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    }
    long long _wallStart;
    long long _cpuStart;
    long long _allowance;
};

}  // namespace

// The literal's m flag is Oniguruma's multi-line option (a dot also matches
// a line feed), which RegexPattern calls DOT_ALL; the global flag only
// changes how often the string methods search, so the compiler never sees it.
ZephanPattern::ZephanPattern(const char* source, int flags)
    : _regex(source, flags & (RegexPattern::IGNORE_CASE | RegexPattern::DOT_ALL)), _flags(flags) {}

bool ZephanPattern::matches(const char* text) const {
    if (text == nullptr) return false;
    size_t length = strlen(text);
    RegexMatch m;
    int at = _regex.searchChecked(text, length, 0, &m);
    if (at < 0) return false;
    if (_flags & ANY_MATCH) return true;
    return at == 0 && static_cast<size_t>(m.end(0)) == length;
}

int ZephanPattern::search(const char* text) const {
    return _regex.search(text);
}

size_t ZephanPattern::nextStart(const char* text, size_t length, size_t begin, size_t end) const {
    if (end > begin || end >= length) return end;
    int i = static_cast<int>(end);
    u8_inc(text, &i);
    return static_cast<size_t>(i);
}

int ZephanPattern::replace(const char* text, const char* replacement, size_t maxBytes, char** out) const {
    *out = nullptr;
    if (text == nullptr) text = "";
    if (replacement == nullptr) replacement = "";
    size_t length = strlen(text), replacementLength = strlen(replacement);
    TextBuffer result;
    size_t copied = 0, from = 0;
    RegexMatch m;
    SearchBudget budget(length);
    for (;;) {
        int at = _regex.searchChecked(text, length, from, &m);
        if (at == RegexPattern::kGaveUp || budget.spent()) return DirError::E_NO_RESOURCE;
        if (at < 0) break;
        size_t end = static_cast<size_t>(m.end(0));
        // Refused before the text grows past the limit, not after.
        size_t before = static_cast<size_t>(at) - copied;
        if (result.length() + before + replacementLength > maxBytes) return DirError::E_NO_RESOURCE;
        result.append(text + copied, before);
        result.append(replacement, replacementLength);
        copied = end;
        if (!(_flags & GLOBAL) || (end == static_cast<size_t>(at) && end >= length)) break;
        from = nextStart(text, length, static_cast<size_t>(at), end);
    }
    if (result.length() + (length - copied) > maxBytes) return DirError::E_NO_RESOURCE;
    result.append(text + copied, length - copied);
    *out = result.take();
    return 0;
}

int ZephanPattern::replace(const char* text, const char* replacement, char** out) const {
    return replace(text, replacement, kMaxStringBytes, out);
}

int ZephanPattern::split(const char* text, AnyArray** out) const {
    return split(text, SIZE_MAX, out);
}

int ZephanPattern::split(const char* text, size_t maxBytes, AnyArray** out) const {
    *out = nullptr;
    if (text == nullptr) text = "";
    size_t length = strlen(text);
    std::vector<Any*> pieces;
    size_t last = 0, from = 0, held = 0;
    RegexMatch m;
    SearchBudget budget(length);
    for (;;) {
        int at = _regex.searchChecked(text, length, from, &m);
        if (at == RegexPattern::kGaveUp || budget.spent()) {
            for (Any* p : pieces) delete p;
            return DirError::E_NO_RESOURCE;
        }
        if (at < 0) break;
        size_t begin = static_cast<size_t>(at), end = static_cast<size_t>(m.end(0));
        // A match at the very end, empty or not, leaves an empty last piece.
        if (begin > 0) {
            held += script_builtin::pieceBytes(begin - last);
            if (held > maxBytes) {
                for (Any* p : pieces) delete p;
                return DirError::E_NO_RESOURCE;
            }
            pieces.push_back(newText(text + last, begin - last));
        }
        last = end;
        if (!(_flags & GLOBAL) || (begin == end && end >= length)) break;
        from = nextStart(text, length, begin, end);
        if (from > length) break;
    }
    pieces.push_back(newText(text + last, length - last));
    AnyArray* array = new AnyArray();
    array->elements = static_cast<Any**>(malloc(sizeof(Any*) * pieces.size()));
    memcpy(array->elements, pieces.data(), sizeof(Any*) * pieces.size());
    array->count = static_cast<int>(pieces.size());
    *out = array;
    return 0;
}

int ZephanPattern::match(const char* text, Any** out) const {
    *out = nullptr;
    if (text == nullptr) text = "";
    size_t length = strlen(text);
    AnyArray* found = nullptr;
    size_t from = 0;
    RegexMatch m;
    SearchBudget budget(length);
    for (;;) {
        int at = _regex.searchChecked(text, length, from, &m);
        if (at == RegexPattern::kGaveUp || budget.spent()) {
            delete found;
            return DirError::E_NO_RESOURCE;
        }
        if (at < 0) break;
        if (found == nullptr) found = new AnyArray();
        for (int g = 0; g < m.groupCount(); g++) {
            if (m.begin(g) < 0)
                found->append(Any::makeUndefined());
            else
                found->append(newText(text + m.begin(g), static_cast<size_t>(m.end(g) - m.begin(g))));
        }
        size_t end = static_cast<size_t>(m.end(0));
        if (!(_flags & GLOBAL) || (end == static_cast<size_t>(at) && end >= length)) break;
        from = nextStart(text, length, static_cast<size_t>(at), end);
    }
    *out = found != nullptr ? script_builtin::newReference(found) : new Any();
    return 0;
}

char* ZephanPattern::toString(Parser*) {
    TextBuffer out;
    out.append("/");
    out.append(source() != nullptr ? source() : "");
    out.append("/");
    if (_flags & IGNORE_CASE) out.append("i");
    if (_flags & GLOBAL) out.append("g");
    if (_flags & MULTI_LINE) out.append("m");
    return out.take();
}

unsigned int ZephanPattern::getObjectID() const {
    return OBJ_ZEPHAN_PATTERN_ID;
}

int ZephanPattern::isEqual(const Principal*, bool* result, const Translatable* other) const {
    const ZephanPattern* p = dynamic_cast<const ZephanPattern*>(other);
    *result = p != nullptr && p->_flags == _flags &&
              strcmp(p->source() != nullptr ? p->source() : "", source() != nullptr ? source() : "") == 0;
    return 0;
}

int ZephanPattern::getField(Parser* parser, Any** result, const char* name) const {
    return Translatable::getField(parser, result, name);
}

int ZephanPattern::setField(Parser*, const char*, Any* value) {
    delete value;
    return 0;
}

bool zephan_match(const char* pattern, const char* text) {
    ZephanPattern* p = new ZephanPattern(pattern, 0);
    ObjRef hold(p);
    return !p->failed() && p->matches(text);
}
