// Path filters: an ordered list of include, exclude and protect entries
// whose patterns are written in "/"-separated components, each a regular
// expression matched against a whole path component. "**" stands for one or
// more components, a leading "/" anchors the pattern at the top of the
// transfer, a trailing "/" makes it match directories only (otherwise only
// non-directories), and a trailing "/***" matches the named directory and
// everything below it. The first filter that matches decides; a path that
// matches none is included.
//
// Thread-safety: the functions keep no shared state except a per-thread
// cache of compiled component patterns and the _debug_fmatch flag.
#ifndef DRV_FT_FT_FILTER_H
#define DRV_FT_FT_FILTER_H

#include <atomic>

#include "ft/ft_transaction.h"

enum PatMatch { PAT_NOMATCH = 0, PAT_INCLUDE = 1, PAT_EXCLUDE = 2, PAT_PROTECT = 3 };

// "PAT_NOMATCH" ... "PAT_PROTECT", indexed by PatMatch.
extern const char* const matchName[4];

// When set, every step logs its inputs and result.
extern std::atomic<bool> _debug_fmatch;

// At most this many characters of a path, and this many components, are
// looked at; the rest is ignored.
const int FT_FILTER_PATH_MAX = 4095;
const int FT_FILTER_MAX_PARTS = 256;

int fmatch(const char* path, bool isDir, FtTransaction::FilterEntry* filters);
int imatch(char** pathParts, int n, bool isDir, FtTransaction::FilterEntry* filter);
bool lmatch(char** patParts, int k, char** pathParts, int n, bool anyTail);
bool rmatch(char** patParts, int k, char** pathParts, int n);
// Whether pattern (no options) matches the whole text; a pattern that does
// not compile matches nothing.
bool zephan_match(const char* pattern, const char* text);
void pp(char** parts, int n);

#endif
