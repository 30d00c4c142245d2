// Pattern compilation and matching on arbitrary subject text. The first
// byte chooses the flags; the rest is the pattern up to the first NUL byte,
// then the subject. Every operation must end (the searches are bounded) and
// answer 0 or the give-up code; anything else, a crash, a leak or a sanitizer
// report is a finding.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "common/log.h"
#include "dirbase/any.h"
#include "script/lex_pattern.h"

namespace {

void expectDone(int rc) {
    if (rc != 0 && rc != DirError::E_NO_RESOURCE) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        setLog("/dev/null");
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    int flags = data[0] & 15;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t cut = rest.find('\0');
    std::string pattern = rest.substr(0, cut);
    std::string subject = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
    subject = subject.c_str();  // the text ends at its first NUL, as a script string does

    ZephanPattern* p = new ZephanPattern(pattern.c_str(), flags);
    ObjRef hold(p);
    p->matches(subject.c_str());
    int at = p->search(subject.c_str());
    if (at < -1 || at > static_cast<int>(subject.size())) abort();
    char* replaced = nullptr;
    int rc = p->replace(subject.c_str(), "<>", &replaced);
    expectDone(rc);
    if (rc == 0 && p->failed() && strcmp(replaced, subject.c_str()) != 0) abort();
    free(replaced);
    AnyArray* pieces = nullptr;
    expectDone(p->split(subject.c_str(), &pieces));
    delete pieces;
    Any* found = nullptr;
    expectDone(p->match(subject.c_str(), &found));
    delete found;
    zephan_match(pattern.c_str(), subject.c_str());
    return 0;
}
