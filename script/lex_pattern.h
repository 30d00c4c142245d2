// ZephanPattern: the script's regular-expression object. A regular-expression
// literal is compiled at once into one (Java syntax over UTF-8, through
// io/regex_pattern.h) and the token holds a reference to it; `new
// ZephanPattern(text)` builds one at run time (pattern_prototype.h). The
// string methods search, replace and split use the operations below, and the
// host matches single texts through zephan_match.
//
// Every search is bounded (see RegexPattern::searchChecked), and so is the
// processor time of a whole replace, split or match, which may search once
// per match: an operation whose search gave up, or that spent its budget,
// answers 39 ("System resource not available") instead of running on.
//
// Ownership: the pattern owns its compiled form; results are new values the
// caller owns. Reference-counted through ObjRef like every scriptable object.
// Thread-safety: never changed once built; used by one thread at a time.
#ifndef DRV_SCRIPT_LEX_PATTERN_H
#define DRV_SCRIPT_LEX_PATTERN_H

#include <stddef.h>

#include "dirbase/translatable.h"
#include "io/regex_pattern.h"

class Any;
class AnyArray;

const unsigned int OBJ_ZEPHAN_PATTERN_ID = 9223;

class ZephanPattern : public Translatable {
public:
    // IGNORE_CASE and MULTI_LINE (a dot also matches a line feed) reach the
    // compiler; GLOBAL makes replace, split and match go on after the first
    // match; ANY_MATCH makes matches accept a match anywhere in the text.
    enum Flags { IGNORE_CASE = 1, MULTI_LINE = 2, GLOBAL = 4, ANY_MATCH = 8 };

    // Compiles source; a pattern that does not compile still exists (failed)
    // and finds nothing.
    ZephanPattern(const char* source, int flags);
    ZephanPattern(const ZephanPattern&) = delete;
    ZephanPattern& operator=(const ZephanPattern&) = delete;

    bool failed() const { return _regex.failed(); }
    const char* errorText() const { return _regex.errorText(); }
    const char* source() const { return _regex.source(); }
    int flags() const { return _flags; }
    const RegexPattern& regex() const { return _regex; }

    // One search over the whole text: true when the first match covers all
    // of it (with ANY_MATCH: when there is a match at all). A search that
    // gave up is false.
    bool matches(const char* text) const;
    // Byte offset of the first match, or -1.
    int search(const char* text) const;
    // The text with the first match (every match with GLOBAL) replaced by
    // replacement, literally: "$1" is two characters, not a group. 39, as
    // soon as it is known, when the result would be longer than maxBytes.
    int replace(const char* text, const char* replacement, size_t maxBytes, char** out) const;
    // replace with the longest string a script may hold as the limit.
    int replace(const char* text, const char* replacement, char** out) const;
    // The pieces around the first match (every match with GLOBAL): the text
    // before it (none when it starts the text), the text between matches,
    // then the text after the last match.
    // 39, as soon as it is known, when the pieces would hold more than
    // maxBytes (their values and texts).
    int split(const char* text, size_t maxBytes, AnyArray** out) const;
    // split with no bound on what the pieces hold (the host's callers).
    int split(const char* text, AnyArray** out) const;
    // The first match's text and its groups' texts (a group that took no
    // part is undefined); with GLOBAL those of every match in turn. A null
    // value when nothing matches.
    int match(const char* text, Any** out) const;

    // "/" source "/" and "i", "g", "m" for the flags set, in that order.
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;
    // No fields of its own: the source and flags cannot be read.
    int getField(Parser* parser, Any** result, const char* name) const override;
    // Accepts and drops any field (answers success).
    int setField(Parser* parser, const char* name, Any* value) override;

private:
    // Where the search after a match that ended at end goes on: after an
    // empty match one character further, so a global scan always advances.
    size_t nextStart(const char* text, size_t length, size_t begin, size_t end) const;

    RegexPattern _regex;
    int _flags;
};

// Compiles pattern with no flags and tells whether it matches the whole of
// text; a pattern that does not compile matches nothing.
bool zephan_match(const char* pattern, const char* text);

#endif
