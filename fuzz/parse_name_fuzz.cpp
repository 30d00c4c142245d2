// parse_name over arbitrary text: the first byte chooses multi-valued RDNs,
// the rest is the subject.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "common/log.h"
#include "common/x509_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        setLog("/dev/null");
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    std::string subject(reinterpret_cast<const char*>(data + 1), size - 1);
    X509_NAME* name = parse_name(&subject[0], MBSTRING_UTF8, data[0] & 1);
    X509_NAME_free(name);
    return 0;
}
