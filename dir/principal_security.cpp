// Principal: the accessors that read the security text, and the choice of a
// native login for a service.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "common/log.h"
#include "dir/principal.h"

namespace {

const char kSection = '`';
const char kItem = ',';
// Sections 0 to 2 are the policies, the login and the management user.
const int kFirstNative = 3;
// Items of a section start after its first two fields.
const int kFirstItem = 2;

// A piece of the security text: not terminated, never owned.
struct Span {
    const char* p;
    size_t n;
};

// The pieces of a span split at one separator, read front to back. Every
// walk over sections or items goes through one of these, so that each
// accessor reads the text once: a text of many thousand items (a hostile
// peer's, say) costs no more than its length.
class Pieces {
public:
    Pieces(Span s, char separator) : _rest(s), _separator(separator), _more(s.p != nullptr) {}

    // The next piece, or false past the last one.
    bool next(Span* out) {
        if (!_more) return false;
        const void* hit = memchr(_rest.p, _separator, _rest.n);
        if (hit == nullptr) {
            *out = _rest;
            _more = false;
            return true;
        }
        size_t n = static_cast<size_t>(static_cast<const char*>(hit) - _rest.p);
        *out = {_rest.p, n};
        _rest = {_rest.p + n + 1, _rest.n - n - 1};
        return true;
    }

    // Passes over n pieces; false when there were fewer.
    bool skip(int n) {
        Span ignored;
        for (; n > 0; n--)
            if (!next(&ignored)) return false;
        return true;
    }

private:
    Span _rest;
    char _separator;
    bool _more;
};

Span whole(const char* text) {
    return text != nullptr ? Span{text, strlen(text)} : Span{nullptr, 0};
}

// The sections of a security text from section `first` on; none when the
// text has fewer.
Pieces sectionsFrom(const char* text, int first) {
    Pieces sections(whole(text), kSection);
    if (!sections.skip(first)) return Pieces(Span{nullptr, 0}, kSection);
    return sections;
}

// Section i, or false when the text has fewer sections.
bool section(const char* text, int i, Span* out) {
    return sectionsFrom(text, i).next(out);
}

int fieldCount(Span s) {
    int n = 1;
    for (size_t i = 0; i < s.n; i++)
        if (s.p[i] == kItem) n++;
    return n;
}

// Field j of a section, or false past its last field.
bool field(Span s, int j, Span* out) {
    Pieces fields(s, kItem);
    return fields.skip(j) && fields.next(out);
}

// The fields of a section from field `first` on.
Pieces fieldsFrom(Span s, int first) {
    Pieces fields(s, kItem);
    if (!fields.skip(first)) return Pieces(Span{nullptr, 0}, kItem);
    return fields;
}

char* dupSpan(Span s) {
    char* out = static_cast<char*>(malloc(s.n + 1));
    memcpy(out, s.p, s.n);
    out[s.n] = '\0';
    return out;
}

// Copies s into buffer, truncated so that it always ends within size.
void copySpan(Span s, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    size_t n = s.n < size - 1 ? s.n : size - 1;
    memcpy(buffer, s.p, n);
    buffer[n] = '\0';
}

bool spanEquals(Span s, const char* text) {
    return strlen(text) == s.n && memcmp(s.p, text, s.n) == 0;
}

// The part of s before its first "@" (all of s without one).
Span beforeAt(Span s) {
    const void* at = memchr(s.p, '@', s.n);
    return at != nullptr ? Span{s.p, static_cast<size_t>(static_cast<const char*>(at) - s.p)} : s;
}

// Names written by different tools use ";" or "@" between user and domain.
bool namesEqual(Span s, const char* name, size_t length) {
    if (s.n != length) return false;
    for (size_t i = 0; i < length; i++) {
        char a = s.p[i] == ';' ? '@' : s.p[i];
        char b = name[i] == ';' ? '@' : name[i];
        if (a != b) return false;
    }
    return true;
}

char** newList(int capacity) {
    return static_cast<char**>(calloc(static_cast<size_t>(capacity) + 1, sizeof(char*)));
}

// The fields of section s after its first two, as a new list.
char** itemList(Span s) {
    char** list = newList(fieldCount(s));
    Pieces items = fieldsFrom(s, kFirstItem);
    Span f;
    for (int k = 0; items.next(&f); k++) list[k] = dupSpan(f);
    return list;
}

// The items of section i after its first two fields: an empty list when
// there are none, null when the section or its second field is missing.
char** sectionItems(const char* text, int i) {
    Span s, f;
    if (!section(text, i, &s) || !field(s, 1, &f)) return nullptr;
    return itemList(s);
}

// The first field of section i when the section has a comma.
bool firstField(const char* text, int i, Span* out) {
    Span s, second;
    return section(text, i, &s) && field(s, 1, &second) && field(s, 0, out);
}

}  // namespace

int Principal::getLoginUser(char* buffer, size_t size) const {
    Span user;
    if (!firstField(security, 1, &user)) return -1;
    copySpan(user, buffer, size);
    return 0;
}

int Principal::getDravikaUser(char* buffer, size_t size) const {
    Span user;
    if (!firstField(security, 2, &user)) return -1;
    copySpan(user, buffer, size);
    return 0;
}

int Principal::getPolicy(const char* name, char* buffer, size_t size) const {
    Span s, item;
    if (name == nullptr || !section(security, 0, &s)) return 0;
    // The version field comes first; the policies follow it.
    for (Pieces items = fieldsFrom(s, 1); items.next(&item);) {
        const void* colon = memchr(item.p, ':', item.n);
        size_t nameLength = colon != nullptr ? static_cast<size_t>(static_cast<const char*>(colon) - item.p) : item.n;
        // An empty item would otherwise name every policy.
        if (nameLength == 0 || strncmp(item.p, name, nameLength) != 0) continue;
        if (buffer != nullptr && size > 0) {
            if (colon != nullptr)
                copySpan(Span{item.p + nameLength + 1, item.n - nameLength - 1}, buffer, size);
            else
                buffer[0] = '\0';
        }
        return 1;
    }
    return 0;
}

char** Principal::getAllPolicies() const {
    Span s, item;
    if (!section(security, 0, &s) || !field(s, 1, &item)) return nullptr;
    int count = fieldCount(s);
    char** list = newList(2 * count);
    int k = 0;
    for (Pieces items = fieldsFrom(s, 1); items.next(&item);) {
        const void* colon = memchr(item.p, ':', item.n);
        size_t nameLength = colon != nullptr ? static_cast<size_t>(static_cast<const char*>(colon) - item.p) : item.n;
        list[k++] = dupSpan(Span{item.p, nameLength});
        list[k++] = colon != nullptr ? dupSpan(Span{item.p + nameLength + 1, item.n - nameLength - 1}) : strdup("");
    }
    return list;
}

char** Principal::getLoginGroups() const {
    return sectionItems(security, 1);
}

char** Principal::getDravikaGroups() const {
    return sectionItems(security, 2);
}

bool Principal::containsDravikaGroup(const char* group) const {
    Span s, item;
    if (group == nullptr || !section(security, 2, &s)) return false;
    const char* at = strchr(group, '@');
    size_t wanted = at != nullptr ? static_cast<size_t>(at - group) : strlen(group);
    for (Pieces items = fieldsFrom(s, kFirstItem); items.next(&item);) {
        Span name = beforeAt(item);
        if (name.n == wanted && memcmp(name.p, group, wanted) == 0) return true;
    }
    return false;
}

bool Principal::containsPrincipalName(const char* name) const {
    if (name == nullptr || name[0] == '\0') return false;
    size_t length = strlen(name);
    Span s, f;
    for (Pieces sections = sectionsFrom(security, 1); sections.next(&s);) {
        Pieces fields(s, kItem);
        // The second field is a credential or an opaque marker, never a name.
        for (int j = 0; fields.next(&f); j++)
            if (j != 1 && namesEqual(f, name, length)) return true;
    }
    return false;
}

char** Principal::getNativeUsers() const {
    Span s, f;
    int count = 0;
    for (Pieces sections = sectionsFrom(security, kFirstNative); sections.next(&s);) count++;
    char** list = newList(count);
    Pieces sections = sectionsFrom(security, kFirstNative);
    for (int i = 0; sections.next(&s); i++)
        if (field(s, 0, &f)) list[i] = dupSpan(f);
    return list;
}

char** Principal::getNativeGroups(const char* identity) const {
    Span s, f;
    if (identity == nullptr) return nullptr;
    for (Pieces sections = sectionsFrom(security, kFirstNative); sections.next(&s);)
        if (field(s, 0, &f) && spanEquals(f, identity)) return itemList(s);
    return nullptr;
}

int Principal::getBestNativeLogin(char** services, const char* lockedUser, char* login, size_t loginSize,
                                  char* credential, size_t credentialSize, char* service, size_t serviceSize,
                                  char* serviceDomain, size_t serviceDomainSize) const {
    if (_debug_security < LOG_INFO) {
        log(_debug_security, LOG_DEBUG, 0, 0, "getBestNativeIdentity called:");
        for (int i = 0; services != nullptr && services[i] != nullptr; i++)
            log(_debug_security, LOG_DEBUG, 0, 0, "    service[%d] = '%s'", i, services[i]);
        log(_debug_security, LOG_DEBUG, 0, 0, "    locked user = '%s'", lockedUser != nullptr ? lockedUser : "NULL");
        log(_debug_security, LOG_DEBUG, 0, 0, "    principal = '%s'", security != nullptr ? security : "NULL");
    }
    if (security == nullptr) {
        log(_debug_security, LOG_INFO, 0, 0, "getBestNativeIdentity: encoding is NULL, failing");
        return -1;
    }
    const char* c = strchr(security, kSection);
    log(_debug_security, LOG_TRACE, 0, 0, "getBestNativeIdentity: at CP1, c = '%s'", c != nullptr ? c : "NULL");
    c = c != nullptr ? strchr(c + 1, kSection) : nullptr;
    if (c == nullptr) {
        log(_debug_security, LOG_INFO, 0, 0, "getBestNativeIdentity: bad login user, failing");
        return -1;
    }
    log(_debug_security, LOG_TRACE, 0, 0, "getBestNativeIdentity: at CP2, c = '%s'", c);
    c = strchr(c + 1, kSection);
    if (c == nullptr) {
        log(_debug_security, LOG_INFO, 0, 0, "getBestNativeIdentity: bad token after dravika user, failing");
        return -1;
    }
    log(_debug_security, LOG_TRACE, 0, 0, "getBestNativeIdentity: at CP3, c = '%s'", c);
    if (c[1] == '\0' || services == nullptr) {
        log(_debug_security, LOG_INFO, 0, 0, "getBestNativeIdentity: No matching identity, will fail");
        return -1;
    }
    Span s, first, cred;
    for (Pieces sections = sectionsFrom(security, kFirstNative); sections.next(&s);) {
        log(_debug_security, LOG_TRACE, 0, 0, "getBestNativeIdentity: at CP4, c = '%.*s'", static_cast<int>(s.n), s.p);
        if (!field(s, 0, &first)) continue;
        const void* at = memchr(first.p, '@', first.n);
        if (at == nullptr) continue;
        Span user{first.p, static_cast<size_t>(static_cast<const char*>(at) - first.p)};
        Span rest{user.p + user.n + 1, first.n - user.n - 1};
        // The service ends in "/" and the identity's kind character.
        if (rest.n < 2) continue;
        Span serviceText{rest.p, rest.n - 2};
        for (int k = 0; services[k] != nullptr; k++) {
            const char* wanted = services[k];
            log(_debug_security, LOG_TRACE, 0, 0, "getBestNativeIdentity: testing service '%s' using '%.*s' with length %d",
                wanted, static_cast<int>(serviceText.n), serviceText.p, static_cast<int>(serviceText.n));
            if (strlen(wanted) != serviceText.n || strncasecmp(wanted, serviceText.p, serviceText.n) != 0) continue;
            log(_debug_security, LOG_TRACE, 0, 0, "getBestNativeIdentity: found it");
            if (lockedUser != nullptr &&
                (strlen(lockedUser) != user.n || strncasecmp(lockedUser, user.p, user.n) != 0))
                continue;
            if (!field(s, 1, &cred)) cred = Span{s.p + s.n, 0};
            copySpan(cred, credential, credentialSize);
            copySpan(Span{wanted, strlen(wanted)}, service, serviceSize);
            copySpan(user, login, loginSize);
            copySpan(serviceText, serviceDomain, serviceDomainSize);
            log(_debug_security, LOG_DEBUG, 0, 0, "getBestNativeIdentity: login = '%.*s'", static_cast<int>(user.n),
                user.p);
            log(_debug_security, LOG_DEBUG, 0, 0, "getBestNativeIdentity: returning success!");
            return 0;
        }
    }
    log(_debug_security, LOG_INFO, 0, 0, "getBestNativeIdentity: No matching identity, will fail");
    return -1;
}
