// drvdump's reader on arbitrary bytes: the tree walk with each framing, and
// decoding through a translator picked by the first byte.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "common/log.h"
#include "dir/directory.h"
#include "tools/dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
        return true;
    }();
    (void)ready;
    static const unsigned int kIds[] = {1000, 1001, 1004, 1007, 1010, 1013, 1014, 1020, 1030, 2391};
    for (DumpOptions::Framing framing : {DumpOptions::AUTO, DumpOptions::BARE, DumpOptions::FRAMED}) {
        DumpOptions options;
        options.framing = framing;
        options.offsets = framing == DumpOptions::BARE;
        std::string out;
        dumpEncoding(data, size, options, out);
    }
    if (size > 0) {
        DumpOptions decode;
        decode.decodeObject = true;
        decode.objectId = kIds[data[0] % (sizeof(kIds) / sizeof(kIds[0]))];
        std::string out;
        dumpEncoding(data + 1, size - 1, decode, out);
    }
    return 0;
}
