#include "common/x509_name.h"

#include <string.h>

#include <vector>

#include <openssl/objects.h>

#include "common/log.h"

namespace {

struct NameElement {
    const char* type;
    const char* value;
    bool joinsPrevious;  // came after a "+": same RDN as the element before
};

}  // namespace

X509_NAME* parse_name(char* subject, long type, int multirdn) {
    if (subject == nullptr) return nullptr;
    // Types and values are copied, unescaped and terminated, into one buffer;
    // each separator they lose pays for a terminator.
    std::vector<char> text(strlen(subject) + 2);
    char* out = text.data();
    std::vector<NameElement> elements;
    const char* p = subject;
    if (*p == '/') p++;
    bool joinsPrevious = false;
    while (*p != '\0') {
        NameElement e;
        e.type = out;
        e.joinsPrevious = joinsPrevious;
        bool typeEnded = false;
        while (*p != '\0' && !typeEnded) {
            if (*p == '\\') {
                if (*++p == '\0') {
                    log(0, "escape character at end of string");
                    return nullptr;
                }
                *out++ = *p++;
            } else if (*p == '=') {
                p++;
                typeEnded = true;
            } else {
                *out++ = *p++;
            }
        }
        if (!typeEnded) {
            log(0, "end of string encountered while processing type of subject name element #%d",
                static_cast<int>(elements.size()));
            return nullptr;
        }
        *out++ = '\0';
        e.value = out;
        joinsPrevious = false;
        while (*p != '\0') {
            if (*p == '\\') {
                if (*++p == '\0') {
                    log(0, "escape character at end of string");
                    return nullptr;
                }
                *out++ = *p++;
            } else if (*p == '/') {
                p++;
                break;
            } else if (*p == '+' && multirdn) {
                p++;
                joinsPrevious = true;
                break;
            } else {
                *out++ = *p++;
            }
        }
        *out++ = '\0';
        elements.push_back(e);
    }

    X509_NAME* name = X509_NAME_new();
    if (name == nullptr) return nullptr;
    for (const NameElement& e : elements) {
        int nid = OBJ_txt2nid(e.type);
        if (nid == NID_undef) {
            log(0, "Subject Attribute %s has no known NID, skipped", e.type);
            continue;
        }
        if (*e.value == '\0') {
            log(0, "No value provided for Subject Attribute %s, skipped", e.type);
            continue;
        }
        if (!X509_NAME_add_entry_by_NID(name, nid, static_cast<int>(type),
                                        reinterpret_cast<const unsigned char*>(e.value), -1, -1,
                                        e.joinsPrevious ? -1 : 0)) {
            log(0, "Subject Attribute %s does not take the value \"%s\"", e.type, e.value);
            X509_NAME_free(name);
            return nullptr;
        }
    }
    return name;
}
