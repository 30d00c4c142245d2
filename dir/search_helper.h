// SearchHelper: what a provider's search asks whether a class or attribute
// matches the search pattern, and which attributes to return.
#ifndef DRV_DIR_SEARCH_HELPER_H
#define DRV_DIR_SEARCH_HELPER_H

class Any;
class ZephanPattern;

// A plain record: the directory fills it from the search's last name entry.
class SearchHelper {
public:
    struct Filter {
        char* name;
        ZephanPattern* pattern;  // exactly one of pattern and value is set
        Any* value;
        Filter* next;
    };

    SearchHelper();
    ~SearchHelper();
    SearchHelper(const SearchHelper&) = delete;
    SearchHelper& operator=(const SearchHelper&) = delete;

    // Frees everything and resets every field to null.
    void clear();

    // With a class pattern, whether it matches; otherwise true only when both
    // names exist and are equal (case-sensitive).
    bool classMatches(const char* name) const;

    Filter* filters;
    ZephanPattern* classPattern;
    char* className;
    char* attributeList;
    char* tagKey;
    char* tagValue;
};

#endif
