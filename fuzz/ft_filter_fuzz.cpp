// Path filters from arbitrary text: lines up to an empty line are filters
// (first character the action: '+', '-' or 'P'; the rest the pattern), the
// lines after it paths, each tried as a file and as a directory. Bad
// patterns must match nothing, and nothing may crash or overrun.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/log.h"
#include "ft/ft_filter.h"
#include "ft/ft_transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Patterns may backtrack without bound; long inputs only measure that.
    if (size > 2048) return 0;
    _log_level = LOG_CRITICAL + 1;
    std::string input(reinterpret_cast<const char*>(data), size);
    FtTransaction t;
    size_t pos = 0;
    bool inFilters = true;
    int filters = 0;
    while (pos <= input.size()) {
        size_t nl = input.find('\n', pos);
        std::string line = input.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? input.size() + 1 : nl + 1;
        if (inFilters) {
            if (line.empty() || filters >= 8) {
                inFilters = false;
                continue;
            }
            int action = line[0] == '+' ? PAT_INCLUDE : line[0] == '-' ? PAT_EXCLUDE : PAT_PROTECT;
            t.addFilter(action, line.c_str() + 1);
            filters++;
            continue;
        }
        for (bool isDir : {false, true}) {
            int r = fmatch(line.c_str(), isDir, t.filters);
            if (r < PAT_INCLUDE || r > PAT_PROTECT) abort();
            if (t.filters == nullptr && r != PAT_INCLUDE) abort();
        }
    }
    return 0;
}
