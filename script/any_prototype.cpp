#include "script/any_prototype.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/string_builder.h"
#include "io/utf8.h"
#include "script/builtin_args.h"
#include "script/lex_pattern.h"
#include "script/operators.h"
#include "script/parser.h"

using namespace script_builtin;

// concat 3, charAt 4, charCodeAt 5, endsWith 6, includes 7, indexOf 8,
// search 9, replace 10, toLowerCase 11, toLocaleLowerCase 12, toUpperCase 13,
// toLocaleUpperCase 14, lastIndexOf 17, substring 75, slice 76, split 78,
// startsWith 79.
const int AnyPrototype::kMemberIds[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 17, 75, 76, 78, 79, 0};

namespace {

// The string a method is called on.
struct Text {
    const char* s;
    size_t length;
    // Number of characters (computed once, on demand).
    int chars() {
        if (_chars < 0) _chars = u8_charnum(s, static_cast<int>(length));
        return _chars;
    }
    int _chars = -1;
};

typedef int (*Method)(Parser* parser, Text& t, Any** args, Any** result);

// Longest search text that lastIndexOf compares position by position.
const size_t kShortSearch = 32;

// Byte offset of character position n (0 <= n <= character count).
size_t byteAt(const Text& t, long long n) {
    return static_cast<size_t>(u8_offset(t.s, static_cast<int>(n)));
}

int characterAt(Text& t, Any** args, size_t* begin, size_t* end) {
    long long index = 0;
    int rc = argInt64(args, 0, true, &index);
    if (rc != 0) return rc;
    if (index < 0 || index >= t.chars()) return DirError::E_INDEX_OUT_OF_BOUNDS;
    int b = u8_offset(t.s, static_cast<int>(index)), e = b;
    u8_inc(t.s, &e);
    *begin = static_cast<size_t>(b);
    *end = static_cast<size_t>(e);
    return 0;
}

int charAt(Parser*, Text& t, Any** args, Any** result) {
    size_t b, e;
    int rc = characterAt(t, args, &b, &e);
    if (rc == 0) *result = newText(t.s + b, e - b);
    return rc;
}

int charCodeAt(Parser*, Text& t, Any** args, Any** result) {
    size_t b, e;
    int rc = characterAt(t, args, &b, &e);
    if (rc != 0) return rc;
    // The code of exactly the character charAt gives: decoding from the
    // text itself would take in continuation bytes past it (a lead byte
    // with more of them than a character steps over), so the code and the
    // character at the same position would disagree.
    char one[8];
    size_t n = std::min(e - b, sizeof(one) - 1);
    memcpy(one, t.s + b, n);
    one[n] = '\0';
    int i = 0;
    *result = new Any(static_cast<int>(u8_nextchar(one, &i)));
    return 0;
}

int concat(Parser* parser, Text& t, Any** args, Any** result) {
    TextBuffer out;
    out.append(t.s, t.length);
    for (int i = 0; args != nullptr && args[i] != nullptr; i++) {
        TextArg a;
        int rc = a.read(parser, args[i]);
        if (rc != 0) return rc;
        if (out.length() + a.length > kMaxStringBytes) return DirError::E_NO_RESOURCE;
        out.append(a.text, a.length);
    }
    *result = adoptText(out.take());
    return 0;
}

// The search text and a 32-bit position (dflt when absent).
int searchArgs(Parser* parser, Any** args, TextArg* search, int* position, int dflt) {
    int rc = search->read(parser, arg(args, 0));
    if (rc != 0) return rc;
    *position = dflt;
    return argInt32(args, 1, false, position);
}

int startsWith(Parser* parser, Text& t, Any** args, Any** result) {
    TextArg search;
    int position;
    int rc = searchArgs(parser, args, &search, &position, 0);
    if (rc != 0) return rc;
    bool yes = position >= 0 && static_cast<size_t>(position) <= t.length &&
               t.length - static_cast<size_t>(position) >= search.length &&
               memcmp(t.s + position, search.text, search.length) == 0;
    *result = new Any(yes);
    return 0;
}

// True when the text from byte end - length(search) to the end of the
// string equals search: with an end short of the string's end that is only
// so when the rest of the string is search too.
int endsWith(Parser* parser, Text& t, Any** args, Any** result) {
    TextArg search;
    int end;
    int rc = searchArgs(parser, args, &search, &end, static_cast<int>(t.length));
    if (rc != 0) return rc;
    if (end < 0 || static_cast<size_t>(end) > t.length) return DirError::E_INDEX_OUT_OF_BOUNDS;
    bool yes = false;
    if (search.length > 0 && search.length <= static_cast<size_t>(end)) {
        size_t from = static_cast<size_t>(end) - search.length;
        yes = t.length - from == search.length && memcmp(t.s + from, search.text, search.length) == 0;
    }
    *result = new Any(yes);
    return 0;
}

// The first occurrence of search at or after byte from, or -1.
long long find(const Text& t, const TextArg& search, size_t from) {
    if (from > t.length) return -1;
    const void* at = memmem(t.s + from, t.length - from, search.text, search.length);
    return at != nullptr ? static_cast<const char*>(at) - t.s : -1;
}

// The last occurrence of search (not empty) starting at or before byte
// from, or -1.
long long findLast(const Text& t, const TextArg& search, size_t from) {
    size_t m = search.length;
    if (m > t.length) return -1;
    size_t last = t.length - m < from ? t.length - m : from;
    if (m <= kShortSearch) {
        for (size_t i = last;; i--) {
            if (memcmp(t.s + i, search.text, m) == 0) return static_cast<long long>(i);
            if (i == 0) return -1;
        }
    }
    // Comparing a long search at every position costs the text's length
    // times the search's. The first occurrence of the reversed search in
    // the reversed text is the last one, and memmem finds it in linear time.
    size_t n = last + m;
    std::string text(t.s, n), wanted(search.text, m);
    std::reverse(text.begin(), text.end());
    std::reverse(wanted.begin(), wanted.end());
    const void* hit = memmem(text.data(), n, wanted.data(), m);
    if (hit == nullptr) return -1;
    size_t end = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
    return static_cast<long long>(n - end - m);
}

int includes(Parser* parser, Text& t, Any** args, Any** result) {
    TextArg search;
    int position;
    int rc = searchArgs(parser, args, &search, &position, 0);
    if (rc != 0) return rc;
    if (position < 0) position = 0;
    *result = new Any(find(t, search, static_cast<size_t>(position)) >= 0);
    return 0;
}

int indexOf(Parser* parser, Text& t, Any** args, Any** result) {
    TextArg search;
    int from;
    int rc = searchArgs(parser, args, &search, &from, 0);
    if (rc != 0) return rc;
    if (from < 0) from = 0;
    long long at;
    if (static_cast<size_t>(from) >= t.length)
        at = static_cast<long long>(t.length);
    else if (search.length == 0)
        at = from;
    else
        at = find(t, search, static_cast<size_t>(from));
    *result = new Any(static_cast<int>(at));
    return 0;
}

int lastIndexOf(Parser* parser, Text& t, Any** args, Any** result) {
    TextArg search;
    int from;
    int rc = searchArgs(parser, args, &search, &from, static_cast<int>(t.length));
    if (rc != 0) return rc;
    if (from < 0) from = 0;
    if (static_cast<size_t>(from) > t.length) from = static_cast<int>(t.length);
    long long at = search.length == 0 ? from : findLast(t, search, static_cast<size_t>(from));
    *result = new Any(static_cast<int>(at));
    return 0;
}

int search(Parser*, Text& t, Any** args, Any** result) {
    Any* a = arg(args, 0);
    if (a == nullptr) return DirError::E_MISSING_ARGUMENTS;
    ZephanPattern* p = patternOf(a);
    if (p == nullptr) return DirError::E_NOT_CONVERTIBLE;
    *result = new Any(p->search(t.s));
    return 0;
}

// Every occurrence of what, left to right, without rescanning the inserted
// text. An empty what replaces nothing.
int replaceText(const Text& t, const char* what, size_t whatLength, const TextArg& with, Any** result) {
    if (whatLength == 0) {
        *result = newText(t.s, t.length);
        return 0;
    }
    TextBuffer out;
    size_t copied = 0;
    for (;;) {
        const void* hit = memmem(t.s + copied, t.length - copied, what, whatLength);
        if (hit == nullptr) break;
        size_t at = static_cast<size_t>(static_cast<const char*>(hit) - t.s);
        if (out.length() + (at - copied) + with.length > kMaxStringBytes) return DirError::E_NO_RESOURCE;
        out.append(t.s + copied, at - copied);
        out.append(with.text, with.length);
        copied = at + whatLength;
    }
    if (copied == 0) {
        *result = newText(t.s, t.length);
        return 0;
    }
    if (out.length() + (t.length - copied) > kMaxStringBytes) return DirError::E_NO_RESOURCE;
    out.append(t.s + copied, t.length - copied);
    *result = adoptText(out.take());
    return 0;
}

int replace(Parser* parser, Text& t, Any** args, Any** result) {
    Any* what = arg(args, 0);
    if (what == nullptr) return DirError::E_MISSING_ARGUMENTS;
    ZephanPattern* p = patternOf(what);
    if (p == nullptr && !isText(what)) return DirError::E_NOT_CONVERTIBLE;
    TextArg with;
    int rc = with.read(parser, arg(args, 1));
    if (rc != 0) return rc;
    if (p == nullptr) {
        const char* w = what->getString() != nullptr ? what->getString() : "";
        return replaceText(t, w, strlen(w), with, result);
    }
    char* out = nullptr;
    rc = p->replace(t.s, with.text, kMaxStringBytes, &out);
    if (rc != 0) return rc;
    *result = adoptText(out);
    return 0;
}

int mapCase(Text& t, Any** result, bool upper) {
    char* out = static_cast<char*>(malloc(t.length + 1));
    for (size_t i = 0; i < t.length; i++) {
        char c = t.s[i];
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out[i] = c;
    }
    out[t.length] = '\0';
    *result = adoptText(out);
    return 0;
}

int toLowerCase(Parser*, Text& t, Any**, Any** result) {
    return mapCase(t, result, false);
}

int toUpperCase(Parser*, Text& t, Any**, Any** result) {
    return mapCase(t, result, true);
}

// start (required) and end (default: the character count).
int range(Text& t, Any** args, long long* start, long long* end) {
    int rc = argInt64(args, 0, true, start);
    if (rc != 0) return rc;
    *end = t.chars();
    return argInt64(args, 1, false, end);
}

int substring(Parser*, Text& t, Any** args, Any** result) {
    long long start = 0, end;
    int rc = range(t, args, &start, &end);
    if (rc != 0) return rc;
    long long count = t.chars();
    start = start < 0 ? 0 : start > count ? count : start;
    end = end < 0 ? 0 : end > count ? count : end;
    if (start > end) std::swap(start, end);
    size_t b = byteAt(t, start), e = byteAt(t, end);
    *result = newText(t.s + b, e - b);
    return 0;
}

int slice(Parser*, Text& t, Any** args, Any** result) {
    long long start = 0, end;
    int rc = range(t, args, &start, &end);
    if (rc != 0) return rc;
    long long count = t.chars();
    if (start < 0) start += count;
    if (end < 0) end += count;
    if (start < 0 || start >= count || end < start) {
        *result = newText("", 0);
        return 0;
    }
    if (end > count) end = count;
    size_t b = byteAt(t, start), e = byteAt(t, end);
    *result = newText(t.s + b, e - b);
    return 0;
}

AnyArray* arrayOf(std::vector<Any*>& pieces) {
    AnyArray* array = new AnyArray();
    if (!pieces.empty()) {
        array->elements = static_cast<Any**>(malloc(sizeof(Any*) * pieces.size()));
        memcpy(array->elements, pieces.data(), sizeof(Any*) * pieces.size());
        array->count = static_cast<int>(pieces.size());
    }
    return array;
}

// The pieces between occurrences of separator, left to right; a trailing
// empty piece is left out. An empty separator splits nothing. Null when the
// pieces would hold more than maxBytes (see pieceBytes).
AnyArray* splitText(const Text& t, const char* separator, size_t separatorLength, size_t maxBytes) {
    std::vector<Any*> pieces;
    if (separatorLength == 0) {
        pieces.push_back(newText(t.s, t.length));
        return arrayOf(pieces);
    }
    size_t last = 0, held = 0;
    for (;;) {
        const void* hit = separatorLength == 1 ? memchr(t.s + last, separator[0], t.length - last)
                                               : memmem(t.s + last, t.length - last, separator, separatorLength);
        if (hit == nullptr) break;
        size_t at = static_cast<size_t>(static_cast<const char*>(hit) - t.s);
        held += pieceBytes(at - last);
        if (held > maxBytes) {
            for (Any* p : pieces) delete p;
            return nullptr;
        }
        pieces.push_back(newText(t.s + last, at - last));
        last = at + separatorLength;
    }
    if (last < t.length) pieces.push_back(newText(t.s + last, t.length - last));
    return arrayOf(pieces);
}

// The most a split may make at once: what the run may grow by.
size_t splitAllowance(Parser* parser) {
    return static_cast<size_t>(parser != nullptr ? parser->memoryAllowance() : Parser::kDefaultMemoryAllowance);
}

int split(Parser* parser, Text& t, Any** args, Any** result) {
    long long limit = 0;
    int rc = argInt64(args, 1, false, &limit);  // must convert; does not shorten the result
    if (rc != 0) return rc;
    Any* separator = arg(args, 0);
    AnyArray* array = nullptr;
    if (separator == nullptr || (!separator->isEncoded() && separator->getType() == ANY_UNDEFINED)) {
        std::vector<Any*> whole{newText(t.s, t.length)};
        array = arrayOf(whole);
    } else if (ZephanPattern* p = patternOf(separator)) {
        rc = p->split(t.s, splitAllowance(parser), &array);
        if (rc != 0) return rc;
    } else if (isText(separator)) {
        const char* s = separator->getString() != nullptr ? separator->getString() : "";
        array = splitText(t, s, strlen(s), splitAllowance(parser));
        if (array == nullptr) return DirError::E_NO_RESOURCE;
    } else {
        return DirError::E_NOT_CONVERTIBLE;
    }
    noteNewArray(parser, array);
    *result = newReference(array);
    return 0;
}

struct Entry {
    const char* name;
    Method method;
};

const Entry kMethods[] = {
    {"charAt", charAt},
    {"charCodeAt", charCodeAt},
    {"concat", concat},
    {"startsWith", startsWith},
    {"endsWith", endsWith},
    {"includes", includes},
    {"indexOf", indexOf},
    {"lastIndexOf", lastIndexOf},
    {"search", search},
    {"replace", replace},
    {"toLowerCase", toLowerCase},
    {"toLocaleLowerCase", toLowerCase},
    {"toUpperCase", toUpperCase},
    {"toLocaleUpperCase", toUpperCase},
    {"substring", substring},
    {"slice", slice},
    {"split", split},
};

}  // namespace

int AnyPrototype::callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) {
    *result = nullptr;
    const Any* value = self != nullptr && self != this && self->getObjectID() == OBJ_ANY_ID
                           ? dynamic_cast<const Any*>(self)
                           : nullptr;
    if (value != nullptr && value->isEncoded()) return DirError::E_TYPE_MISMATCH;
    if (value == nullptr || !isText(value) || name == nullptr)
        return Translatable::callMemberFn(parser, result, self, name, args);
    for (const Entry& e : kMethods) {
        if (strcmp(e.name, name) != 0) continue;
        Text t{value->getString() != nullptr ? value->getString() : "", 0};
        t.length = strlen(t.s);
        return e.method(parser, t, args, result);
    }
    return Translatable::callMemberFn(parser, result, self, name, args);
}

char* AnyPrototype::toString(Parser*) {
    return strdup("[class Any]");
}
