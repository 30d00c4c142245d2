// The text a runner shows for a failed script: the error class, code and
// message on one line, then one "    at: ..." line per traceback entry with
// function, file, line and column (a traceback longer than 17 entries shows
// its first 12 and last 4, and counts the others). Pure function; any
// thread.
#ifndef DRV_SCRIPT_REPORT_H
#define DRV_SCRIPT_REPORT_H

#include <string>

class Error;

// error may be null (a run that stopped without recording one).
std::string scriptErrorReport(const Error* error);

#endif
