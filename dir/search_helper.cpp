#include "dir/search_helper.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/any.h"

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
        delete filters->value;
        delete filters;
        filters = next;
    }
    free(className);
    free(attributeList);
    free(tagKey);
    free(tagValue);
    className = attributeList = tagKey = tagValue = nullptr;
    classPattern = nullptr;
}

bool SearchHelper::classMatches(const char* name) const {
    // Class patterns are compiled by the scripting language's pattern objects;
    // a helper never holds one before those exist.
    return name != nullptr && className != nullptr && strcmp(name, className) == 0;
}
