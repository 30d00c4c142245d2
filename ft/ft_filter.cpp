#include "ft/ft_filter.h"

#include <string.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/log.h"
#include "io/regex_pattern.h"

const char* const matchName[4] = {"PAT_NOMATCH", "PAT_INCLUDE", "PAT_EXCLUDE", "PAT_PROTECT"};
std::atomic<bool> _debug_fmatch{false};

namespace {

bool debugOn() { return _debug_fmatch.load(std::memory_order_relaxed); }

// One filter's answer, noted when debugging whichever way it was reached.
int answer(int result) {
    if (debugOn()) log(0, "fmatch: imatch returns %s", matchName[result]);
    return result;
}

// Splits text (modified in place) at "/" into at most max non-empty parts.
int splitParts(char* text, char** parts, int max) {
    int n = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(text, "/", &save); tok != nullptr && n < max; tok = strtok_r(nullptr, "/", &save))
        parts[n++] = tok;
    return n;
}

bool isDoubleStar(const char* s) { return s[0] == '*' && s[1] == '*' && s[2] == '\0'; }

}  // namespace

bool zephan_match(const char* pattern, const char* text) {
    // Walks compile the same few component patterns again and again: keep
    // them per thread (bounded, so hostile pattern lists cannot grow it).
    thread_local std::unordered_map<std::string, std::unique_ptr<RegexPattern>> cache;
    if (pattern == nullptr || text == nullptr) return false;
    auto it = cache.find(pattern);
    if (it == cache.end()) {
        if (cache.size() >= 256) cache.clear();
        it = cache.emplace(pattern, std::unique_ptr<RegexPattern>(new RegexPattern(pattern, 0))).first;
    }
    // Whole-text matching: "log|logs" must take "logs", and a protect filter
    // "keep|keep2" must cover keep2.
    bool ok = !it->second->failed() && it->second->matchesWhole(text);
    if (debugOn()) log(0, "compare regex '%s' and path '%s'", pattern, text);
    return ok;
}

void pp(char** parts, int n) {
    for (int i = 0; i < n; i++) log(0, "pp    %s", parts[i]);
}

bool rmatch(char** pat, int k, char** path, int n) {
    // The components after the last "**" stand for the last path components
    // one to one: compare them from the end, so a plain pattern costs at
    // most one comparison per component and most paths fail at the first.
    int last = k - 1;
    while (last >= 0 && !isDoubleStar(pat[last])) last--;
    int j = n;
    for (int i = k - 1; i > last; i--) {
        if (j == 0) return false;
        if (!zephan_match(pat[i], path[j - 1])) return false;
        j--;
    }
    if (last < 0) return true;
    // pat[0..last], which ends in "**", against path[0..j). Trying every
    // start for each "**" in turn costs a number of comparisons that grows
    // with the path length to the power of the number of "**" (a short
    // pattern and a path a few dozen deep take hours), so the same answer
    // is found a row at a time instead: reach[p] says whether the pattern
    // components so far can end just before path component p. Every
    // component is then compared with every path component at most once.
    std::vector<char> reach(static_cast<size_t>(j) + 1, 1);
    std::vector<char> next(reach.size());
    for (int i = 0; i <= last; i++) {
        next[0] = 0;
        if (isDoubleStar(pat[i])) {
            // One or more components: it can end at p when the components
            // before it ended anywhere before p.
            char any = 0;
            for (int p = 1; p <= j; p++) {
                any = any || reach[p - 1];
                next[p] = any;
            }
        } else {
            for (int p = 1; p <= j; p++) next[p] = reach[p - 1] && zephan_match(pat[i], path[p - 1]);
        }
        reach.swap(next);
    }
    return reach[j] != 0;
}

bool lmatch(char** pat, int k, char** path, int n, bool anyTail) {
    int i = 0;
    int j = 0;
    while (i < k) {
        if (isDoubleStar(pat[i])) {
            int rest = k - i - 1;
            if (rest == 0) return j < n;
            // The rest must match a tail of the path that leaves "**" at
            // least one component. rmatch is free at the start of the path
            // it is given, so the longest such tail answers for every
            // shorter one.
            return j + 1 < n && rmatch(pat + i + 1, rest, path + j + 1, n - j - 1);
        }
        if (j >= n) return false;
        if (!zephan_match(pat[i], path[j])) return false;
        i++;
        j++;
    }
    return j == n || anyTail;
}

int imatch(char** parts, int n, bool isDir, FtTransaction::FilterEntry* filter) {
    if (filter == nullptr || filter->pattern == nullptr || filter->pattern[0] == '\0') return answer(PAT_NOMATCH);
    const char* pattern = filter->pattern;
    size_t len = strlen(pattern);
    bool anyTail = len > 4 && strcmp(pattern + len - 4, "/***") == 0;
    if (!anyTail) {
        bool dirPattern = pattern[len - 1] == '/';
        if (dirPattern != isDir) {
            if (debugOn()) log(0, "fmatch: type mismatch, pattern '%s', isdir = %d", pattern, isDir ? 1 : 0);
            return answer(PAT_NOMATCH);
        }
    }
    // Only the path is cut to its limit: a cut pattern could match more
    // than the whole one, or stop compiling and match nothing.
    std::string copy(pattern, anyTail ? len - 4 : len);
    char* patParts[FT_FILTER_MAX_PARTS];
    int k = splitParts(&copy[0], patParts, FT_FILTER_MAX_PARTS);
    // No components is only possible for a pattern anchored at the top ("/",
    // "//***"): it names the top itself, and lmatch decides.
    if (k > n) return answer(PAT_NOMATCH);
    bool ok = pattern[0] == '/' ? lmatch(patParts, k, parts, n, anyTail) : rmatch(patParts, k, parts, n);
    int result = ok ? filter->action : PAT_NOMATCH;
    if (result < PAT_NOMATCH || result > PAT_PROTECT) result = PAT_NOMATCH;
    return answer(result);
}

int fmatch(const char* path, bool isDir, FtTransaction::FilterEntry* filters) {
    if (filters == nullptr) return PAT_INCLUDE;
    if (debugOn()) log(0, "fmatch: path = %s, isdir = %d", path != nullptr ? path : "", isDir ? 1 : 0);
    char copy[FT_FILTER_PATH_MAX + 1];
    snprintf(copy, sizeof copy, "%s", path != nullptr ? path : "");
    char* parts[FT_FILTER_MAX_PARTS];
    int n = splitParts(copy, parts, FT_FILTER_MAX_PARTS);
    if (debugOn()) pp(parts, n);
    for (FtTransaction::FilterEntry* f = filters; f != nullptr; f = f->next) {
        int r = imatch(parts, n, isDir, f);
        if (r != PAT_NOMATCH) return r;
    }
    return PAT_INCLUDE;
}
