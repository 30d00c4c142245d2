// RegexPattern: one compiled regular expression over UTF-8 text, in the Java
// syntax, on top of Oniguruma. The script pattern objects, the directory
// search filters and the file transfer path filters all compile through it,
// so every part of the runtime reads a pattern the same way.
//
// Ownership: the pattern owns its compiled form and its error text; a
// RegexMatch owns its group offsets.
//
// Thread-safety: construction and destruction belong to one thread. Once
// built, a pattern is never changed: Oniguruma keeps no state in a compiled
// expression while it searches (each call gets its own region here), so any
// number of threads may call matches and search on one pattern at once.
// matchesWhole builds its end-anchored form once, under a once flag, and
// may be called the same way.
#ifndef DRV_IO_REGEX_PATTERN_H
#define DRV_IO_REGEX_PATTERN_H

#include <stddef.h>

#include <mutex>

// The groups of one match: group 0 is the whole match, then the capture
// groups in order; a group that took no part has begin and end -1. Offsets
// are byte offsets into the searched text.
class RegexMatch {
public:
    RegexMatch() : _count(0), _offsets(nullptr) {}
    ~RegexMatch();
    RegexMatch(const RegexMatch&) = delete;
    RegexMatch& operator=(const RegexMatch&) = delete;

    int groupCount() const { return _count; }
    int begin(int group) const { return group >= 0 && group < _count ? _offsets[2 * group] : -1; }
    int end(int group) const { return group >= 0 && group < _count ? _offsets[2 * group + 1] : -1; }

    // Replaces the groups; offsets holds 2 * count numbers (begin, end).
    void set(int count, const int* offsets);

private:
    int _count;
    int* _offsets;
};

class RegexPattern {
public:
    // Compile options, as the script patterns number them.
    enum Flags {
        IGNORE_CASE = 1,
        DOT_ALL = 2,  // "." also matches a line feed
    };

    // The longest source compiled. Oniguruma's compile time grows with the
    // square of a pattern's length (a 64 KiB source takes seconds, a
    // megabyte hours), and scripts and peers hand us their patterns; none
    // written by hand comes near this.
    static const size_t kMaxSource = 8192;

    // Compiles source (null counts as empty). A pattern that does not
    // compile, or whose source is longer than kMaxSource, still exists:
    // failed() is true and errorText() says why.
    RegexPattern(const char* source, int flags);
    ~RegexPattern();
    RegexPattern(const RegexPattern&) = delete;
    RegexPattern& operator=(const RegexPattern&) = delete;

    bool failed() const { return _regex == nullptr; }
    // Oniguruma's text for the compile error, or "" when it compiled.
    const char* errorText() const { return _error; }
    const char* source() const { return _source; }
    int flags() const { return _flags; }

    // Whether the first match from the start of text reaches its end (up
    // to its NUL), the way script patterns and directory searches test a
    // text: the first alternative that matches decides, so "log|logs" does
    // not match "logs". False for a failed pattern or a null text.
    bool matches(const char* text) const;
    // Whether any way of matching covers all of text: "log|logs" matches
    // "logs". False for a failed pattern or a null text. The first call
    // compiles a second, end-anchored form of the pattern.
    bool matchesWhole(const char* text) const;
    // The byte offset of the first match at or after start, or -1 (also for
    // a failed pattern, a null text or a start past the end). When match is
    // given it receives the groups of that match.
    int search(const char* text, size_t length, size_t start, RegexMatch* match) const;
    int search(const char* text) const;
    // As search, but a search that gave up answers kGaveUp instead of -1.
    // Every search is bounded (backtracking retries per position and in
    // all, and the backtracking stack), so that a catastrophic pattern such
    // as (a+)+b over a long run of a's ends instead of running for ever.
    static const int kGaveUp = -2;
    int searchChecked(const char* text, size_t length, size_t start, RegexMatch* match) const;

private:
    // Compiles the end-anchored form into _whole (once).
    void compileWhole() const;

    void* _regex;  // OnigRegex, kept opaque so that users need no Oniguruma header
    // The pattern anchored at the end of the text, for matchesWhole; built
    // on first use under _wholeOnce, read-only afterwards. Null when it
    // could not be built.
    mutable std::once_flag _wholeOnce;
    mutable void* _whole = nullptr;
    char* _source;
    int _flags;
    char _error[96];
};

#endif
