// The sender against a receiver that answers oddly: errors where a reply
// was due, out-of-range sizes and times, an index that lists a name twice
// or lists a great many entries. Each case must end with a clear result,
// lose nothing on the destination that the source still has, and never
// crash or stall.
#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <limits>
#include <string>

#include "ft/ft.h"
#include "ft/ft_entry.h"
#include "ft/ft_protocol.h"
#include "tests/ft/ft_engine_support.h"
#include "tests/ft/ft_test_peer.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"

namespace {

FtIndexRecord record(int type, const std::string& name, long long size, long long mtimeMs) {
    FtIndexRecord r;
    r.type = type;
    r.name = name;
    r.size = size;
    r.mtimeMs = mtimeMs;
    return r;
}

}  // namespace

// Index times at the ends of the 64-bit range are compared and logged
// without overflow, and the file is sent.
TEST(FtHostilePeer, ExtremeIndexTimesAreComparedWithoutOverflow) {
    for (long long mtime : {std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max()}) {
        TempDir dir;
        const std::string src = dir.file("src");
        mkdir(src.c_str(), 0755);
        writeFile(src + "/f", "12345");
        TestPeer peer;
        peer.extraIndex.push_back(record(FT_TYPE_FILE, "f", 5, mtime));
        Ft ft;
        FtTransaction* t = transaction(src, "/d");
        t->modifiedOnly = true;
        ft.addTransaction(t);
        Recorder rec;
        EXPECT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec)) << mtime;
        EXPECT_EQ("12345", peer.files["f"].content) << mtime;
    }
}
