// SearchHelper: what a provider's search asks whether a class or attribute
// matches the search pattern, and which attributes to return. The directory
// fills it from the last entry of the searched name: a class (exact, or a
// regular expression when written in angle brackets), attribute conditions
// (exact values or expressions), the tag condition "tagKey"/"tagValue", and
// the caller's list of wanted attributes.
//
// Ownership: the helper owns its filters, patterns and strings; set() and
// clear() release what a previous set() built.
//
// Thread-safety: filled by one thread with set(); afterwards the matchers
// only read, so providers may consult one helper from several threads as
// long as nobody calls set() or clear() meanwhile.
#ifndef DRV_DIR_SEARCH_HELPER_H
#define DRV_DIR_SEARCH_HELPER_H

#include <string>
#include <unordered_set>

class Any;
class Attributes;
class DirNameEntry;
class RegexPattern;

// A plain record: the directory fills it from the search's last name entry.
class SearchHelper {
public:
    // Filters of one name are alternatives; filters of different names must
    // all hold.
    struct Filter {
        char* name;
        RegexPattern* pattern;  // exactly one of pattern and value is set
        Any* value;
        Filter* next;
        // The next filter of the same name in list order, and whether this is
        // the first of its name: a match visits each name's filters once.
        Filter* sameName;
        bool firstOfName;
    };

    SearchHelper();
    ~SearchHelper();
    SearchHelper(const SearchHelper&) = delete;
    SearchHelper& operator=(const SearchHelper&) = delete;

    // Rebuilds the helper from entry and keeps a copy of attributeList (null:
    // every attribute). Without an entry every class and every attribute
    // passes. 0, or 10 ("Illegal regular
    // expression") when a class or attribute expression does not compile or
    // an expression attribute is not a string; the rest of the entry is
    // still taken in, but the caller abandons the search.
    int set(const DirNameEntry* entry, const char* attributeList);

    // Frees everything and resets every field to null.
    void clear();

    // With a class pattern, whether it matches the whole name; otherwise
    // true only when both names exist and are equal (case-sensitive).
    bool classMatches(const char* name) const;

    // Whether a value of attribute name passes the filters of that name; a
    // name without filters passes. An exact filter also accepts a value
    // whose text form equals its string.
    bool attributeMatches(const char* name, const Any& value) const;
    // The same for a plain string: non-string exact filters never match it.
    bool attributeMatches(const char* name, const char* value) const;

    // Whether an object passes the tag condition and every filter, looking
    // each filtered attribute up in attributes first and in the candidate
    // entry's own attributes second; a filtered attribute that neither has
    // fails. Either argument may be null.
    bool attributesMatch(const DirNameEntry* candidate, const Attributes* attributes) const;

    // Whether the caller asked for attribute name (always, without a list or
    // with a list made only of separators).
    bool shouldAddAttribute(const char* name) const;

    Filter* filters;
    RegexPattern* classPattern;
    char* className;
    char* attributeList;
    char* tagKey;
    char* tagValue;

private:
    // The names of attributeList, split once by set(): a provider asks about
    // every attribute of every object it returns, and the list is the
    // caller's (perhaps a peer's), of any length. Used only while
    // attributeList is still the copy set() made (_wantedFrom).
    std::unordered_set<std::string> _wanted;
    const char* _wantedFrom = nullptr;

    // Whether value passes one of the filters chained from first (the first
    // filter of its name).
    bool groupMatches(const Filter* first, const Any& value) const;
    bool tagsMatch(const DirNameEntry* candidate, const Attributes* attributes) const;
};

#endif
