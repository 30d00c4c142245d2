#include "dir/search_helper.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "common/log.h"
#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "io/regex_pattern.h"

namespace {

// Tags are one string of keys and values joined by backquotes.
const char kTagSeparator = '`';

char* dupOrNull(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

// The value of name in attributes, else in the candidate entry, else null.
const Any* lookUp(const DirNameEntry* candidate, const Attributes* attributes, const char* name) {
    const Any* value = attributes != nullptr ? attributes->getAttribute(name) : nullptr;
    if (value == nullptr && candidate != nullptr) value = candidate->getAttributeValue(name);
    return value;
}

}  // namespace

SearchHelper::SearchHelper()
    : filters(nullptr), classPattern(nullptr), className(nullptr), attributeList(nullptr), tagKey(nullptr),
      tagValue(nullptr) {}

SearchHelper::~SearchHelper() {
    clear();
}

void SearchHelper::clear() {
    while (filters != nullptr) {
        Filter* next = filters->next;
        free(filters->name);
        delete filters->pattern;
        delete filters->value;
        delete filters;
        filters = next;
    }
    delete classPattern;
    classPattern = nullptr;
    free(className);
    free(attributeList);
    free(tagKey);
    free(tagValue);
    className = attributeList = tagKey = tagValue = nullptr;
    _wanted.clear();
    _wantedFrom = nullptr;
}

namespace {

// Calls fn(token, length) for each name of a list split at commas and
// spaces, until fn answers true; whether one did.
template <typename Fn>
bool eachListedName(const char* list, Fn fn) {
    for (const char* p = list; *p != '\0';) {
        p += strspn(p, ", ");
        size_t length = strcspn(p, ", ");
        if (length == 0) break;
        if (fn(p, length)) return true;
        p += length;
    }
    return false;
}

}  // namespace

int SearchHelper::set(const DirNameEntry* entry, const char* list) {
    clear();
    if (entry == nullptr) {
        classPattern = new RegexPattern(".*", 0);
        // A search without a last entry returns whole objects: the list of
        // wanted attributes only applies to a pattern entry.
        log(LOG_DEBUG, 0, 0, "SearchHelper: search class pattern for all");
        return 0;
    }
    const char* cls = entry->getClassName();
    if (entry->classIsExpression && cls != nullptr) {
        log(LOG_DEBUG, 0, 0, "SearchHelper: search class pattern for '%s'", cls);
        classPattern = new RegexPattern(cls, 0);
        if (classPattern->failed()) {
            log(LOG_WARNING, 0, 0, "SearchHelper: bad class pattern '%s': %s", cls, classPattern->errorText());
            return DirError::E_BAD_REGEX;
        }
    } else if (cls != nullptr) {
        log(LOG_DEBUG, 0, 0, "SearchHelper: search class exact match for '%s'", cls);
        className = strdup(cls);
    }

    int result = 0;
    // The newest filter of each name so far: filters of one name are chained
    // as they are added, without a walk of the list for every new one (a
    // peer's search entry may carry any number of conditions).
    std::unordered_map<std::string, Filter*> newestOfName;
    for (const DirNameEntry::AttrList* a = entry->head; a != nullptr; a = a->next) {
        if (a->name == nullptr) continue;
        const char* text = a->value != nullptr ? a->value->getString() : nullptr;
        if (strcmp(a->name, "tagKey") == 0) {
            free(tagKey);
            tagKey = dupOrNull(text);
            continue;
        }
        if (strcmp(a->name, "tagValue") == 0) {
            free(tagValue);
            tagValue = dupOrNull(text);
            continue;
        }
        Filter* f;
        if (a->isExpression) {
            if (text == nullptr) {
                result = DirError::E_BAD_REGEX;
                continue;
            }
            RegexPattern* pattern = new RegexPattern(text, 0);
            if (pattern->failed()) {
                log(LOG_WARNING, 0, 0, "SearchHelper: bad pattern for %s '%s': %s", a->name, text,
                    pattern->errorText());
                delete pattern;
                result = DirError::E_BAD_REGEX;
                continue;
            }
            log(LOG_DEBUG, 0, 0, "SearchHelper: added filter for %s, regex match to %s", a->name, text);
            f = new Filter{strdup(a->name), pattern, nullptr, nullptr, nullptr, true};
        } else {
            Any* value = a->value != nullptr ? new Any(*a->value) : new Any();
            // The value came from the caller's name, perhaps a peer's: its
            // text is formed only for a line that is written.
            if (_log_level <= LOG_DEBUG) {
                char* shown = value->toString(nullptr);
                log(LOG_DEBUG, 0, 0, "SearchHelper: added filter for %s, regex match to %s", a->name,
                    shown != nullptr ? shown : "null");
                free(shown);
            }
            f = new Filter{strdup(a->name), nullptr, value, nullptr, nullptr, true};
        }
        f->next = filters;
        filters = f;
        // The new filter heads the list, so it is now the first of its name.
        Filter*& newest = newestOfName[f->name];
        if (newest != nullptr) newest->firstOfName = false;
        f->sameName = newest;
        newest = f;
    }
    attributeList = dupOrNull(list);
    if (attributeList != nullptr) {
        eachListedName(attributeList, [this](const char* p, size_t n) {
            _wanted.emplace(p, n);
            return false;
        });
        _wantedFrom = attributeList;
    }
    return result;
}

bool SearchHelper::classMatches(const char* name) const {
    if (classPattern != nullptr) return classPattern->matches(name);
    return name != nullptr && className != nullptr && strcmp(name, className) == 0;
}

bool SearchHelper::attributeMatches(const char* name, const Any& value) const {
    if (filters == nullptr) return true;
    if (name == nullptr) return true;  // no filter is nameless
    const Filter* first = filters;
    while (first != nullptr && strcmp(first->name, name) != 0) first = first->next;
    if (first == nullptr) {
        log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, no filter ever matched, we succeed");
        return true;
    }
    return groupMatches(first, value);
}

bool SearchHelper::groupMatches(const Filter* first, const Any& value) const {
    // The value's text form, made on the first string filter that needs it
    // and kept for the rest: a peer may send any number of alternatives,
    // and forming a long value's text for each would cost their count times
    // its length.
    std::unique_ptr<char, decltype(&free)> shown(nullptr, free);
    bool formed = false;
    for (const Filter* f = first; f != nullptr; f = f->sameName) {
        log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, found the attr filter");
        if (f->pattern != nullptr) {
            const char* text = value.getType() == ANY_STRING ? value.getString() : nullptr;
            if (text == nullptr) continue;
            log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, seeing if '%s' matches regex", text);
            if (f->pattern->matches(text)) {
                log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, yes, it matches");
                return true;
            }
            continue;
        }
        if (value == *f->value) {
            log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, it's an exact attribute match");
            return true;
        }
        const char* wanted = f->value->getType() == ANY_STRING ? f->value->getString() : nullptr;
        if (wanted == nullptr) continue;
        if (!formed) {
            shown.reset(const_cast<Any&>(value).toString(nullptr));
            formed = true;
        }
        log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, comparing string value '%s' to string filter '%s'",
            shown != nullptr ? shown.get() : "null", wanted);
        if (shown != nullptr && strcmp(shown.get(), wanted) == 0) {
            log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, it's a match");
            return true;
        }
    }
    log(LOG_TRACE, 0, 0, "SearchHelper: attributeMatch, at least one matched but not all, we fail");
    return false;
}

bool SearchHelper::attributeMatches(const char* name, const char* value) const {
    if (filters == nullptr) return true;
    if (name == nullptr) return true;  // no filter is nameless
    bool named = false;
    for (const Filter* f = filters; f != nullptr; f = f->next) {
        if (strcmp(f->name, name) != 0) continue;
        named = true;
        if (value == nullptr) continue;
        if (f->pattern != nullptr) {
            if (f->pattern->matches(value)) return true;
            continue;
        }
        const char* wanted = f->value->getType() == ANY_STRING ? f->value->getString() : nullptr;
        if (wanted != nullptr && strcmp(wanted, value) == 0) return true;
    }
    return !named;
}

bool SearchHelper::tagsMatch(const DirNameEntry* candidate, const Attributes* attributes) const {
    const Any* tags = lookUp(candidate, attributes, "tags");
    const char* text = tags != nullptr && tags->getType() == ANY_STRING ? tags->getString() : nullptr;
    if (text == nullptr) return false;
    size_t keyLength = strlen(tagKey), valueLength = strlen(tagValue);
    for (const char* p = text;;) {
        const char* keyEnd = strchr(p, kTagSeparator);
        const char* value = keyEnd != nullptr ? keyEnd + 1 : p + strlen(p);
        const char* valueEnd = keyEnd != nullptr ? strchr(value, kTagSeparator) : nullptr;
        size_t k = keyEnd != nullptr ? static_cast<size_t>(keyEnd - p) : strlen(p);
        size_t v = valueEnd != nullptr ? static_cast<size_t>(valueEnd - value) : strlen(value);
        if (k == keyLength && v == valueLength && memcmp(p, tagKey, k) == 0 && memcmp(value, tagValue, v) == 0)
            return true;
        if (valueEnd == nullptr) return false;
        p = valueEnd + 1;
    }
}

bool SearchHelper::attributesMatch(const DirNameEntry* candidate, const Attributes* attributes) const {
    if (tagKey != nullptr && tagValue != nullptr && !tagsMatch(candidate, attributes)) return false;
    // Each name once, with all its filters: a walk of every filter for each
    // filter would cost the square of a peer's condition count per object.
    for (const Filter* f = filters; f != nullptr; f = f->next) {
        if (!f->firstOfName) continue;
        const Any* value = lookUp(candidate, attributes, f->name);
        if (value == nullptr || !groupMatches(f, *value)) return false;
    }
    return true;
}

bool SearchHelper::shouldAddAttribute(const char* name) const {
    if (attributeList == nullptr) return true;
    if (name == nullptr) return false;
    // A list made only of separators names nothing and lets all through.
    if (attributeList == _wantedFrom) return _wanted.empty() || _wanted.count(name) != 0;
    size_t n = strlen(name);
    bool anyToken = false;
    bool found = eachListedName(attributeList, [&](const char* p, size_t length) {
        anyToken = true;
        return length == n && memcmp(p, name, n) == 0;
    });
    return found || !anyToken;
}
