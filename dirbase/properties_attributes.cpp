// The properties as an attribute set. It lives with the records because the
// settings layer sits below them and cannot build an Attributes itself.
#include <vector>

#include "common/properties.h"
#include "dirbase/attributes.h"

Attributes* Properties::getProperties() const {
    // Attributes put new entries in front, and the entries here run from the
    // last line read to the first: add them oldest first so that the later
    // line of a repeated key is the one found.
    std::vector<const Property*> entries;
    for (const Property* p = first(); p != nullptr; p = p->next) entries.push_back(p);
    Attributes* all = new Attributes();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) all->setAttribute((*it)->key, (*it)->value);
    return all;
}

Attributes* s_getAllProperties() {
    Attributes* all = nullptr;
    s_withDravikaProperties(
        [](const Properties* current, void* out) {
            *static_cast<Attributes**>(out) = current != nullptr ? current->getProperties() : new Attributes();
        },
        &all);
    return all;
}
