#include "io/regex_pattern.h"

#include <stdlib.h>
#include <string.h>

#include <dlfcn.h>
#include <stdio.h>

#include <mutex>
#include <string>

#include <oniguruma.h>

#include "io/utf8.h"

namespace {

// Oniguruma also exports the POSIX names regcomp, regexec and regfree. Linked
// into a program, it would take those names from the C library for every
// other user in the process (and a pattern compiled by one side and run by
// the other hangs or crashes). So the library is opened privately and only
// the functions used here are looked up in it.
struct Onig {
    decltype(&onig_initialize) initialize;
    decltype(&onig_new) compile;
    decltype(&onig_free) free;
    decltype(&onig_search) search;
    decltype(&onig_match) match;
    decltype(&onig_region_new) regionNew;
    decltype(&onig_region_free) regionFree;
    decltype(&onig_error_code_to_str) errorText;
    decltype(&onig_set_retry_limit_in_match) retryLimitInMatch;      // optional
    decltype(&onig_set_retry_limit_in_search) retryLimitInSearch;    // optional
    decltype(&onig_set_match_stack_limit_size) matchStackLimit;      // optional
    OnigEncoding utf8;
    OnigSyntaxType* java;
};

const unsigned long kRetryLimitInMatch = 5000000;
const unsigned long kRetryLimitInSearch = 20000000;
const unsigned int kMatchStackLimit = 4000000;

std::once_flag _onigOnce;
// Written once under _onigOnce, read-only afterwards; null when the library
// could not be opened.
const Onig* _onig = nullptr;

template <class T>
bool lookUp(void* handle, const char* name, T* out) {
    *out = reinterpret_cast<T>(dlsym(handle, name));
    return *out != nullptr;
}

const Onig* onig() {
    std::call_once(_onigOnce, [] {
        void* handle = nullptr;
        for (const char* name : {"libonig.so.5", DRV_ONIG_LIBRARY})
            if ((handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)) != nullptr) break;
        if (handle == nullptr) return;
        static Onig o;
        if (!lookUp(handle, "onig_initialize", &o.initialize) || !lookUp(handle, "onig_new", &o.compile) ||
            !lookUp(handle, "onig_free", &o.free) || !lookUp(handle, "onig_search", &o.search) ||
            !lookUp(handle, "onig_match", &o.match) || !lookUp(handle, "onig_region_new", &o.regionNew) ||
            !lookUp(handle, "onig_region_free", &o.regionFree) ||
            !lookUp(handle, "onig_error_code_to_str", &o.errorText) ||
            !lookUp(handle, "OnigEncodingUTF8", &o.utf8) || !lookUp(handle, "OnigSyntaxJava", &o.java))
            return;
        // Java has named groups, (?<name>X) and \k<name>, which the
        // library's Java syntax leaves out; numbered groups keep capturing.
        static OnigSyntaxType java = *o.java;
        java.op2 |= ONIG_SYN_OP2_QMARK_LT_NAMED_GROUP | ONIG_SYN_OP2_ESC_K_NAMED_BACKREF;
        o.java = &java;
        // Oniguruma wants one explicit initialisation before any compile.
        OnigEncoding encodings[1] = {o.utf8};
        o.initialize(encodings, 1);
        // The library's own defaults let a search backtrack without bound
        // (no limit over all start positions, an unlimited stack). These
        // bounds are far above what a sensible pattern needs on megabytes
        // of text and stop a catastrophic one within about a second.
        if (lookUp(handle, "onig_set_retry_limit_in_match", &o.retryLimitInMatch))
            o.retryLimitInMatch(kRetryLimitInMatch);
        if (lookUp(handle, "onig_set_retry_limit_in_search", &o.retryLimitInSearch))
            o.retryLimitInSearch(kRetryLimitInSearch);
        if (lookUp(handle, "onig_set_match_stack_limit_size", &o.matchStackLimit))
            o.matchStackLimit(kMatchStackLimit);
        _onig = &o;
    });
    return _onig;
}

}  // namespace

RegexMatch::~RegexMatch() {
    free(_offsets);
}

void RegexMatch::set(int count, const int* offsets) {
    free(_offsets);
    _offsets = nullptr;
    _count = 0;
    if (count <= 0) return;
    _offsets = static_cast<int*>(malloc(sizeof(int) * 2 * static_cast<size_t>(count)));
    memcpy(_offsets, offsets, sizeof(int) * 2 * static_cast<size_t>(count));
    _count = count;
}

namespace {

OnigOptionType optionsOf(int flags) {
    OnigOptionType options = ONIG_OPTION_NONE;
    if ((flags & RegexPattern::IGNORE_CASE) != 0) options |= ONIG_OPTION_IGNORECASE;
    if ((flags & RegexPattern::DOT_ALL) != 0) options |= ONIG_OPTION_MULTILINE;
    return options;
}

// Compiles text in the Java syntax over UTF-8; ONIG_NORMAL or Oniguruma's
// error code (info filled).
int compile(const Onig* lib, const std::string& text, int flags, OnigRegex* regex, OnigErrorInfo* info) {
    const OnigUChar* pattern = reinterpret_cast<const OnigUChar*>(text.data());
    return lib->compile(regex, pattern, pattern + text.size(), optionsOf(flags), lib->utf8, lib->java, info);
}

// The library takes a character's length from its lead byte, so in a text
// that ends in a multi-byte character cut short (bytes from a file, a script
// string built byte by byte) it reads past the end and can report a match
// that ends there. Such a text is searched in a copy padded with zero bytes,
// and every offset handed back is kept within the text; any other text is
// searched where it lies.
class Searched {
public:
    Searched(const char* text, size_t length) : bytes(reinterpret_cast<const OnigUChar*>(text)) {
        // A lead byte claims at most six bytes: only the last five can
        // claim more than the text has.
        bool cut = false;
        for (size_t i = length > 5 ? length - 5 : 0; i < length && !cut; i++)
            cut = static_cast<size_t>(u8_seqlen(text + i)) > length - i;
        if (!cut) return;
        _copy.assign(text, length);
        _copy.append(8, '\0');
        bytes = reinterpret_cast<const OnigUChar*>(_copy.data());
    }

    const OnigUChar* bytes;

private:
    std::string _copy;
};

// An offset of the library's (negative: none) within 0..length.
int within(int offset, size_t length) {
    return offset > static_cast<int>(length) ? static_cast<int>(length) : offset;
}

// onig_match's answer: whether the match from the start took the whole text.
bool consumedAll(int consumed, size_t length) {
    return consumed >= 0 && static_cast<size_t>(within(consumed, length)) == length;
}

}  // namespace

RegexPattern::RegexPattern(const char* source, int flags)
    : _regex(nullptr), _source(strdup(source != nullptr ? source : "")), _flags(flags) {
    _error[0] = '\0';
    if (strlen(_source) > kMaxSource) {
        snprintf(_error, sizeof(_error), "pattern longer than %zu bytes", kMaxSource);
        return;
    }
    const Onig* lib = onig();
    if (lib == nullptr) {
        snprintf(_error, sizeof(_error), "the Oniguruma library could not be loaded");
        return;
    }
    OnigRegex regex = nullptr;
    OnigErrorInfo info;
    int rc = compile(lib, _source, flags, &regex, &info);
    if (rc != ONIG_NORMAL) {
        OnigUChar text[ONIG_MAX_ERROR_MESSAGE_LEN];
        lib->errorText(text, rc, &info);
        snprintf(_error, sizeof(_error), "%s", reinterpret_cast<const char*>(text));
        return;
    }
    _regex = regex;
}

// A pattern may be compiled by one copy of this code and run by another (a
// loaded module carries its own), so every use reaches the library through
// onig(), which opens it in whichever copy runs; the library itself is one.
RegexPattern::~RegexPattern() {
    if (_regex != nullptr) onig()->free(static_cast<OnigRegex>(_regex));
    if (_whole != nullptr) onig()->free(static_cast<OnigRegex>(_whole));
    free(_source);
}

int RegexPattern::search(const char* text, size_t length, size_t start, RegexMatch* match) const {
    int at = searchChecked(text, length, start, match);
    return at >= 0 ? at : -1;
}

int RegexPattern::searchChecked(const char* text, size_t length, size_t start, RegexMatch* match) const {
    if (_regex == nullptr || text == nullptr || start > length) return -1;
    const Onig* lib = onig();
    OnigRegion* region = lib->regionNew();
    Searched searched(text, length);
    const OnigUChar* s = searched.bytes;
    int at = lib->search(static_cast<OnigRegex>(_regex), s, s + length, s + start, s + length, region,
                         ONIG_OPTION_NONE);
    if (at >= 0 && match != nullptr) {
        int n = region->num_regs;
        int* offsets = static_cast<int*>(malloc(sizeof(int) * 2 * static_cast<size_t>(n > 0 ? n : 1)));
        for (int i = 0; i < n; i++) {
            offsets[2 * i] = within(region->beg[i], length);
            offsets[2 * i + 1] = within(region->end[i], length);
        }
        match->set(n, offsets);
        free(offsets);
    }
    lib->regionFree(region, 1);
    if (at >= 0) return within(at, length);
    return at == ONIG_MISMATCH ? -1 : kGaveUp;
}

int RegexPattern::search(const char* text) const {
    return text != nullptr ? search(text, strlen(text), 0, nullptr) : -1;
}

bool RegexPattern::matches(const char* text) const {
    if (_regex == nullptr || text == nullptr) return false;
    size_t length = strlen(text);
    Searched searched(text, length);
    const OnigUChar* s = searched.bytes;
    // onig_match anchors at the start only and stops at the first match it
    // finds there, which must consume the whole text.
    int consumed = onig()->match(static_cast<OnigRegex>(_regex), s, s + length, s, nullptr, ONIG_OPTION_NONE);
    return consumedAll(consumed, length);
}

// The pattern as a non-capturing group followed by \z: a match from the
// start must then reach the end, and backtracking tries every alternative
// until one does. Only a pattern that compiled alone is wrapped (a broken
// one such as "a)(b" would compile once wrapped). Two endings that the
// plain group would swallow get their own form: a trailing comment of the
// extended mode runs to a line end, which that mode otherwise ignores, and
// an unclosed \Q quote ends at \E.
void RegexPattern::compileWhole() const {
    if (_regex == nullptr) return;
    const Onig* lib = onig();
    const std::string source = _source;
    for (const char* ending : {")\\z", "\n)\\z", "\\E)\\z"}) {
        OnigRegex regex = nullptr;
        OnigErrorInfo info;
        if (compile(lib, "(?:" + source + ending, _flags, &regex, &info) == ONIG_NORMAL) {
            _whole = regex;
            return;
        }
    }
}

bool RegexPattern::matchesWhole(const char* text) const {
    if (_regex == nullptr || text == nullptr) return false;
    std::call_once(_wholeOnce, [this] { compileWhole(); });
    // No anchored form could be made (no such pattern is known): the first
    // match decides, as matches() does.
    if (_whole == nullptr) return matches(text);
    size_t length = strlen(text);
    Searched searched(text, length);
    const OnigUChar* s = searched.bytes;
    int consumed = onig()->match(static_cast<OnigRegex>(_whole), s, s + length, s, nullptr, ONIG_OPTION_NONE);
    return consumedAll(consumed, length);
}
