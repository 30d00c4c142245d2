// Reads arbitrary text as a principal's security text through every
// accessor. Results must stay within their buffers, lists must be well
// formed, and the principal must come back equal from its encoding.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/log.h"
#include "dir/directory.h"
#include "dir/principal.h"
#include "dirbase/message.h"

namespace {

void checkBuffer(const char* buffer, size_t size) {
    if (memchr(buffer, '\0', size) == nullptr) abort();
}

void walk(char** list) {
    if (list == nullptr) return;
    for (char** p = list; *p != nullptr; p++) (void)strlen(*p);
    Principal::freeList(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        _debug_security = LOG_CRITICAL + 1;
        Directory::init();
        return true;
    }();
    (void)ready;
    std::string text(reinterpret_cast<const char*>(data), size);
    Principal p(text.c_str(), "domain", nullptr, static_cast<long long>(size));

    char small[4], big[64];
    if (p.getLoginUser(small, sizeof(small)) == 0) checkBuffer(small, sizeof(small));
    if (p.getDravikaUser(big, sizeof(big)) == 0) checkBuffer(big, sizeof(big));
    if (p.getPolicy("admin", small, sizeof(small)) == 1) checkBuffer(small, sizeof(small));
    (void)p.isPolicySet("x");
    walk(p.getAllPolicies());
    walk(p.getLoginGroups());
    walk(p.getDravikaGroups());
    walk(p.getNativeUsers());
    walk(p.getNativeGroups("a@ssh/u"));
    (void)p.containsDravikaGroup("Administrators@corp");
    (void)p.containsPrincipalName("a;b");

    char* services[] = {const_cast<char*>("ssh"), const_cast<char*>("ftp"), const_cast<char*>(""), nullptr};
    char login[4], credential[4], service[4], serviceDomain[4];
    if (p.getBestNativeLogin(services, size % 2 == 0 ? "a" : nullptr, login, sizeof(login), credential,
                             sizeof(credential), service, sizeof(service), serviceDomain, sizeof(serviceDomain)) == 0) {
        checkBuffer(login, sizeof(login));
        checkBuffer(credential, sizeof(credential));
        checkBuffer(service, sizeof(service));
        checkBuffer(serviceDomain, sizeof(serviceDomain));
    }
    free(p.asAuthString());
    free(p.toString(nullptr));

    Message m(0);
    if (m.writeObject(OBJ_PRINCIPAL_ID, &p) != 0) abort();
    m.switchToRead();
    Translatable* back = nullptr;
    if (m.readObject(OBJ_PRINCIPAL_ID, &back) != 0 || back == nullptr) abort();
    bool equal = false;
    back->isEqual(nullptr, &equal, &p);
    if (!equal) abort();
    delete back;
    return 0;
}
