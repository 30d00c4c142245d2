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
    for (Location** l = e->traceback; l != nullptr && *l != nullptr; l++) {
        const Location* at = *l;
        if (at->functionName != nullptr)
            snprintf(line, sizeof(line), "    at: %s (%s:%d:%d)\n", at->functionName, at->fileName, at->line,
                     at->column);
        else
            snprintf(line, sizeof(line), "    at: %s:%d:%d\n", at->fileName, at->line, at->column);
        out += line;
    }
    return out;
}
