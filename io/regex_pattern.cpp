#include "io/regex_pattern.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>

#include <oniguruma.h>

namespace {

// Oniguruma wants one explicit initialisation before any compile.
std::once_flag _onigInitOnce;

void initOnig() {
    std::call_once(_onigInitOnce, [] {
        OnigEncoding encodings[1] = {ONIG_ENCODING_UTF8};
        onig_initialize(encodings, 1);
    });
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

RegexPattern::RegexPattern(const char* source, int flags)
    : _regex(nullptr), _source(strdup(source != nullptr ? source : "")), _flags(flags) {
    _error[0] = '\0';
    initOnig();
    OnigOptionType options = ONIG_OPTION_NONE;
    if ((flags & IGNORE_CASE) != 0) options |= ONIG_OPTION_IGNORECASE;
    if ((flags & DOT_ALL) != 0) options |= ONIG_OPTION_MULTILINE;
    const OnigUChar* pattern = reinterpret_cast<const OnigUChar*>(_source);
    OnigRegex regex = nullptr;
    OnigErrorInfo info;
    int rc = onig_new(&regex, pattern, pattern + strlen(_source), options, ONIG_ENCODING_UTF8, ONIG_SYNTAX_JAVA,
                      &info);
    if (rc != ONIG_NORMAL) {
        OnigUChar text[ONIG_MAX_ERROR_MESSAGE_LEN];
        onig_error_code_to_str(text, rc, &info);
        snprintf(_error, sizeof(_error), "%s", reinterpret_cast<const char*>(text));
        return;
    }
    _regex = regex;
}

RegexPattern::~RegexPattern() {
    if (_regex != nullptr) onig_free(static_cast<OnigRegex>(_regex));
    free(_source);
}

int RegexPattern::search(const char* text, size_t length, size_t start, RegexMatch* match) const {
    if (_regex == nullptr || text == nullptr || start > length) return -1;
    OnigRegion* region = onig_region_new();
    const OnigUChar* s = reinterpret_cast<const OnigUChar*>(text);
    int at = onig_search(static_cast<OnigRegex>(_regex), s, s + length, s + start, s + length, region,
                         ONIG_OPTION_NONE);
    if (at >= 0 && match != nullptr) {
        int n = region->num_regs;
        int* offsets = static_cast<int*>(malloc(sizeof(int) * 2 * static_cast<size_t>(n > 0 ? n : 1)));
        for (int i = 0; i < n; i++) {
            offsets[2 * i] = region->beg[i];
            offsets[2 * i + 1] = region->end[i];
        }
        match->set(n, offsets);
        free(offsets);
    }
    onig_region_free(region, 1);
    // Mismatch and search errors (such as a retry limit) both mean "not found".
    return at >= 0 ? at : -1;
}

int RegexPattern::search(const char* text) const {
    return text != nullptr ? search(text, strlen(text), 0, nullptr) : -1;
}

bool RegexPattern::matches(const char* text) const {
    if (_regex == nullptr || text == nullptr) return false;
    size_t length = strlen(text);
    const OnigUChar* s = reinterpret_cast<const OnigUChar*>(text);
    // onig_match anchors at the start only; the whole text must be consumed.
    int consumed = onig_match(static_cast<OnigRegex>(_regex), s, s + length, s, nullptr, ONIG_OPTION_NONE);
    return consumed >= 0 && static_cast<size_t>(consumed) == length;
}
