// A search's last name entry from arbitrary text: the first line is the entry
// (class and attribute conditions, expressions in angle brackets), the rest
// the text that the class, attribute and tag conditions are tried on. Bad
// expressions must fail set() with 10 and never crash a match. The same
// entry is also a listener's filter, tried on the rest read as a changed
// entry.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory_spi.h"
#include "dir/search_helper.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "io/regex_pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Patterns may backtrack without bound; long inputs only measure that.
    if (size > 512) return 0;
    _log_level = LOG_CRITICAL + 1;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nl = input.find('\n');
    std::string entryText = input.substr(0, nl);
    std::string subject = nl == std::string::npos ? std::string() : input.substr(nl + 1);

    RegexPattern raw(entryText.c_str(), static_cast<int>(size % 4));
    if (raw.failed() && raw.errorText()[0] == '\0') abort();
    RegexMatch match;
    int at = raw.search(subject.c_str(), subject.size(), 0, &match);
    if (at >= 0 && (match.groupCount() < 1 || match.begin(0) != at || match.end(0) < at ||
                    static_cast<size_t>(match.end(0)) > subject.size()))
        abort();
    (void)raw.matches(subject.c_str());

    int error = 0;
    DirNameEntry* entry = DirNameEntry::createFromString(entryText.c_str(), &error);
    if (entry == nullptr) return 0;
    SearchHelper helper;
    int rc = helper.set(entry, subject.c_str());
    if (rc != 0 && rc != DirError::E_BAD_REGEX) abort();
    (void)helper.classMatches(subject.c_str());
    Attributes attributes;
    attributes.setAttribute("tags", subject.c_str(), 0);
    attributes.setAttribute("name", subject.c_str(), 0);
    attributes.setAttribute("size", static_cast<int>(size), 0);
    (void)helper.attributesMatch(entry, &attributes);
    (void)helper.attributeMatches("name", subject.c_str());
    (void)helper.attributeMatches("size", Any(static_cast<int>(size)));
    (void)helper.shouldAddAttribute("name");

    DirectorySPI::DirListenerEntry record{nullptr, nullptr, entry, nullptr, 1, false, nullptr};
    DirNameEntry* changed = DirNameEntry::createFromString(subject.c_str(), &error);
    (void)DirectorySPI::matchingNotify(&record, changed, &attributes);
    if (changed != nullptr) {
        (void)DirectorySPI::matchingNotify(&record, changed, nullptr);
        DirectorySPI::DirListenerEntry reverse{nullptr, nullptr, changed, nullptr, 2, false, nullptr};
        (void)DirectorySPI::matchingNotify(&reverse, entry, &attributes);
    }
    delete changed;
    delete entry;
    return 0;
}
