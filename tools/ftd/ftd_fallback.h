// Previous versions ("fallbacks") of the files a transaction replaces or
// removes, kept when the sender asks for them (FT_KEEP_FALLBACKS before the
// transaction's start).
//
// Where: in the service's state folder, out of the peers' sight and out of
// every index, mirroring the tree: the fallbacks of "a/b/f" are
// "<root>/.drvftd/fallbacks/a/b/f.1" (the newest), "f.2", ... up to the
// count asked for. A folder on the way whose name ends in a dot and digits,
// or in "~", gets a "~" added there ("a.1/f" is kept as "a.1~/f.1"): it
// would otherwise be taken for a previous version of "a". A new fallback shifts the older ones up by one; what
// would go beyond the count is dropped, and so is every fallback that has
// been one for longer than the age asked for (days, counted from when it
// was superseded, which is recorded as its access time: renames would move
// its change time, and reading a fallback moves the access time at most
// once a day, so a fallback that is read may outlive its age a little,
// though never a newer one that aged out: every older one goes with it). A
// removed folder is kept whole, as one fallback.
//
// A replaced file is kept by a second link to it made just before the new
// version is renamed over it, so keeping costs no copy; a removed entry is
// renamed into the fallbacks.
//
// Thread-safety: a FtdFallbacks holds no state besides the tree (immutable)
// and the clock, and may be used by every session at once; two sessions
// replacing the same file at the same moment may shift its fallbacks in
// either order.
#ifndef DRV_TOOLS_FTD_FTD_FALLBACK_H
#define DRV_TOOLS_FTD_FTD_FALLBACK_H

#include <time.h>

#include <string>

class FtdTree;

// What a sender asked for; the texts are its description, logged.
struct FtdFallbackPolicy {
    bool keep = false;
    int count = 2;
    int ageDays = 30;  // 0 or less: no age limit
    std::string text;
    std::string fallbackText;

    // The largest count honoured.
    static const int kMaxCount = 100;
};

class FtdFallbacks {
public:
    explicit FtdFallbacks(const FtdTree& tree) : _tree(tree) {}

    // Keeps the entry leaf of dirFd (rel below the root) as the newest
    // fallback, before it is replaced: a second link for a file (the entry
    // stays), a rename for anything else (the entry goes). Nothing happens
    // when the policy keeps nothing or the entry does not exist. A folder is
    // left where it is (EISDIR): the caller keeps it with keepRemoved when
    // it has to go. 0, or -1 with errno when the fallback could not be made.
    int keepReplaced(int dirFd, const std::string& leaf, const std::string& rel, const FtdFallbackPolicy& policy);
    // Moves rel into the fallbacks instead of removing it. 0, or -1 with
    // errno (rel then stays where it was).
    int keepRemoved(const std::string& rel, const FtdFallbackPolicy& policy);

    // The folder below the root that holds the fallbacks.
    static const char* folder();

    // Seconds since the epoch; replaceable so that ages can be tested.
    time_t (*now)() = defaultNow;

private:
    static time_t defaultNow() { return time(nullptr); }
    // Opens the fallback folder of rel and makes room for a new ".1": drops
    // the last and the too old, shifts the others. The folder's descriptor,
    // or -1 with errno.
    int makeRoom(const std::string& rel, const FtdFallbackPolicy& policy, std::string* leaf);
    // Marks name in fb as superseded now.
    void stamp(int fb, const std::string& name);

    const FtdTree& _tree;
};

#endif
