#include "script/report.h"

#include <stdio.h>

#include "script/error.h"
#include "script/location.h"

std::string scriptErrorReport(const Error* e) {
    if (e == nullptr) return "Error: the script stopped without an error report\n";
    std::string out;
    char line[2048];
    snprintf(line, sizeof(line), "%s %d: %s\n", Error::typeName(e->type), e->code,
             e->message != nullptr ? e->message : "");
    out += line;
    size_t count = 0;
    while (e->traceback != nullptr && e->traceback[count] != nullptr) count++;
    // A runaway recursion has a frame per call: the innermost frames and
    // the outermost ones say where; the middle is counted.
    const size_t head = 12, tail = 4;
    for (size_t i = 0; i < count; i++) {
        if (count > head + tail + 1 && i == head) {
            snprintf(line, sizeof(line), "    ... %zu more\n", count - head - tail);
            out += line;
            i = count - tail - 1;
            continue;
        }
        const Location* at = e->traceback[i];
        if (at->functionName != nullptr)
            snprintf(line, sizeof(line), "    at: %s (%s:%d:%d)\n", at->functionName, at->fileName, at->line,
                     at->column);
        else
            snprintf(line, sizeof(line), "    at: %s:%d:%d\n", at->fileName, at->line, at->column);
        out += line;
    }
    return out;
}
