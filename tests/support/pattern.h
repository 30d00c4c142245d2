// Matching printed text against POSIX extended regular expressions.
//
// <regex.h> rather than <regex>: std::regex costs every test file that
// includes it several seconds of compile time, under the sanitizers most.
// The patterns are POSIX ERE: no \d (write [0-9]), no non-capturing groups.
#ifndef DRV_TESTS_SUPPORT_PATTERN_H
#define DRV_TESTS_SUPPORT_PATTERN_H

#include <regex.h>

#include <string>
#include <vector>

// Whether pattern matches somewhere in text (whole: all of it). On a match,
// *groups (if given) holds the text of each parenthesised group in order.
inline bool matchesPattern(const std::string& text, const std::string& pattern, bool whole,
                           std::vector<std::string>* groups = nullptr) {
    // Anchored by an outer group, which is then left out of *groups.
    const std::string compiled = whole ? "^(" + pattern + ")$" : pattern;
    const size_t skip = whole ? 2 : 1;
    regex_t re;
    if (regcomp(&re, compiled.c_str(), REG_EXTENDED) != 0) return false;
    std::vector<regmatch_t> m(re.re_nsub + 1);
    bool found = regexec(&re, text.c_str(), m.size(), m.data(), 0) == 0;
    if (found && groups != nullptr) {
        groups->clear();
        for (size_t i = skip; i < m.size(); i++)
            groups->push_back(m[i].rm_so < 0 ? std::string()
                                             : text.substr(static_cast<size_t>(m[i].rm_so),
                                                           static_cast<size_t>(m[i].rm_eo - m[i].rm_so)));
    }
    regfree(&re);
    return found;
}

inline bool fullMatch(const std::string& text, const std::string& pattern, std::vector<std::string>* groups = nullptr) {
    return matchesPattern(text, pattern, true, groups);
}

inline bool containsMatch(const std::string& text, const std::string& pattern) {
    return matchesPattern(text, pattern, false);
}

#endif
