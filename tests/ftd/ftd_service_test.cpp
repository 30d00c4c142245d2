// The receiving service driven by a hand-written sender on loopback: trees
// with their attributes, partial updates, hostile commands, a sender that
// dies mid-file, and the index across a restart.
#include <openssl/md5.h>

#include "ft/ft_checksum.h"
#include "ft/ft_filesum.h"
#include "ft/ft_sync.h"
#include "tests/ftd/ftd_peer.h"
#include "tests/support/log_capture.h"
#include "tools/ftd/ftd_direct.h"

using namespace ftdtest;

TEST(FtdTree, ConfinesPeerPathsAndLinks) {
    struct Case {
        const char* peer;
        const char* rel;  // null: refused
    } cases[] = {
        {"a/b", "a/b"},         {"./a//b/.", "a/b"},       {"", ""},           {"a/../b", nullptr},
        {"..", nullptr},        {"/etc/passwd", nullptr},  {"\\x", nullptr},   {".drvftd/index", nullptr},
        {"x/.drvftd", "x/.drvftd"}, {"sp ace/new\nline/é名", "sp ace/new\nline/é名"},
    };
    for (const Case& c : cases) {
        std::string rel;
        std::string reason;
        bool ok = FtdTree::confine(c.peer, &rel, &reason);
        EXPECT_EQ(c.rel != nullptr, ok) << c.peer;
        if (c.rel != nullptr) {
            EXPECT_EQ(c.rel, rel) << c.peer;
        } else {
            EXPECT_FALSE(reason.empty()) << c.peer;
        }
    }
    // A ".." after another component may climb out of a link met on the
    // way, however the text balances.
    struct Link {
        const char* name;
        const char* target;
        bool inside;
    } links[] = {
        {"a/b/l", "../c", true},   {"a/b/l", "../../c/d", true}, {"a/l", "../c", true},   {"a/l", "./.././c/./d", true},
        {"a/l", "..", true},       {"h/d/s", ".", true},         {"a/l", "../../c", false}, {"l", "..", false},
        {"l", "/etc/passwd", false}, {"l", "", false},           {"a/l", "x/../../a/y", false}, {"a/l", "x/..", false},
        {"h/d/e", "s/s/s/../../../etc", false},
    };
    for (const Link& l : links) EXPECT_EQ(l.inside, FtdTree::linkStaysInside(l.name, l.target)) << l.target;

    // A link already in the root is never followed on the way to a write.
    Service s;
    ASSERT_EQ(0, symlink(s.outside.c_str(), s.path("jump").c_str()));
    FtdStagedFile f;
    EXPECT_NE(0, f.open(s.server->tree(), "jump/pwned"));
    EXPECT_NE(0, f.open(s.server->tree(), "jump/deeper/pwned"));
    std::vector<std::string> outside;
    walk(s.outside, "", &outside);
    EXPECT_TRUE(outside.empty());
}

// A link to its own folder makes "s/s/s/.." text that balances but climbs:
// with s -> ".", every "s" stays in h/d while every ".." leaves a level, so
// e would reach /etc. Refused whether s arrives before or after e.
TEST(FtdService, LinksCannotClimbOutThroughOtherLinks) {
    const std::string climb = "s/s/s/s/s/s/s/s/s/s/../../../../../../../../../../../../etc";
    for (bool shallowFirst : {true, false}) {
        Service s;
        Sender p(s.port(), FT_PROTOCOL_2);
        ASSERT_TRUE(p.opening());
        p.start("h");
        p.header("d", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0755);
        if (shallowFirst) p.link("d/s", ".");
        p.link("d/e", climb);
        if (!shallowFirst) p.link("d/s", ".");
        ASSERT_TRUE(p.endFiles());
        EXPECT_EQ(".", linkTarget(s.path("h/d/s"))) << shallowFirst;
        EXPECT_FALSE(exists(s.path("h/d/e"))) << "a link out through s is not made";
        ASSERT_EQ(1u, p.errors.size()) << shallowFirst;
        EXPECT_EQ("d/e", p.errors[0].texts[0]);
        EXPECT_NE(std::string::npos, p.errors[0].texts[3].find("leaves the root"));
        EXPECT_TRUE(p.quit());
    }
}

TEST(FtdService, ReceivesATreeWithAttributesAndAnswersItsIndex) {
    Service s;
    Sender p(s.port(), FT_PROTOCOL_2);
    ASSERT_TRUE(p.opening());
    // Large enough to cross the stream's 32 KiB and 16 KiB read buffers, the
    // inflater's 64 KiB output and many 50 KB blocks (100 MB is too slow
    // under the sanitizers; the boundaries are the same).
    const std::string big = randomBytes(3 * 1024 * 1024 + 17, 1);
    const std::string odd = "name with space,\nnewline and multi-byte é名";
    const long long t1 = 1400000000456LL;
    p.cmd(FT_CREATE_DEST);
    p.out->writeString("dest/deeper");
    p.start("dest/deeper");
    p.header("empty", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0700, t1);
    p.header("sub", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0755, t1 + 1000);
    p.file("sub/zero", "", 0600, t1 + 2000);
    p.file("sub/big", big, 0750, t1 + 3000);
    p.file("sub/" + odd, "odd\n", 0644, t1 + 4000);
    // One byte block holding many stored blocks (more than one gathered
    // write takes) and then compressed ones, whose output must land after
    // them.
    const std::string mixed = randomBytes(5 * 1024 * 1024, 7) + std::string(300000, 'x') + randomBytes(999, 8);
    p.header("sub/mixed", FT_TYPE_FILE, FT_BODY_WHOLE, static_cast<long long>(mixed.size()));
    for (const std::string& b : deflateBlocks(mixed, 6, mixed.size())) p.out->writeBytes(b.data(), b.size());
    p.out->writeBytes("", 0);
    p.out->writeInt32(FT_DATA_OK);
    p.link("sub/link", "big");
    p.link("escape", "../../../outside");
    ASSERT_TRUE(p.endFiles());

    const std::string d = s.path("dest/deeper/");
    EXPECT_EQ(big, readFile(d + "sub/big"));
    EXPECT_TRUE(readFile(d + "sub/mixed") == mixed) << "the mixed stream arrived changed";
    EXPECT_EQ("", readFile(d + "sub/zero"));
    EXPECT_EQ("odd\n", readFile(d + "sub/" + odd));
    EXPECT_EQ(0750, modeOf(d + "sub/big"));
    EXPECT_EQ(0600, modeOf(d + "sub/zero"));
    EXPECT_EQ(t1 + 3000, mtimeMs(d + "sub/big"));
    // Folder attributes are set after their contents arrived.
    EXPECT_EQ(0700, modeOf(d + "empty"));
    EXPECT_EQ(t1, mtimeMs(d + "empty"));
    EXPECT_EQ(t1 + 1000, mtimeMs(d + "sub"));
    EXPECT_EQ("big", linkTarget(d + "sub/link"));
    EXPECT_FALSE(exists(d + "escape")) << "a link leaving the root is not made";
    ASSERT_EQ(1u, p.errors.size());
    EXPECT_EQ("escape", p.errors[0].texts[0]);
    EXPECT_NE(std::string::npos, p.errors[0].texts[3].find("leaves the root"));
    EXPECT_TRUE(noTemporaryFiles(s.root));

    // The index lists folders before their contents, with digests of the
    // bytes that were sent.
    std::vector<FtIndexRecord> index = p.index("dest/deeper", true);
    std::map<std::string, FtIndexRecord> byName;
    std::vector<std::string> order;
    for (const FtIndexRecord& r : index) {
        byName[r.name] = r;
        order.push_back(r.name);
    }
    ASSERT_EQ(7u, index.size());
    EXPECT_EQ(FT_TYPE_DIRECTORY, byName["sub"].type);
    EXPECT_LT(std::find(order.begin(), order.end(), "sub") - order.begin(),
              std::find(order.begin(), order.end(), "sub/big") - order.begin());
    EXPECT_EQ(md5Hex(big), byName["sub/big"].digest);
    EXPECT_EQ(static_cast<long long>(big.size()), byName["sub/big"].size);
    EXPECT_EQ(t1 + 3000, byName["sub/big"].mtimeMs);
    EXPECT_EQ(md5Hex(""), byName["sub/zero"].digest);
    EXPECT_EQ(md5Hex("odd\n"), byName["sub/" + odd].digest);
    EXPECT_EQ(FT_TYPE_LINK, byName["sub/link"].type);
    EXPECT_EQ("big", byName["sub/link"].target);
    EXPECT_TRUE(p.index("no/such/dest", false).empty());

    // Checksums of named files, the byte count, and a polite close.
    p.cmd(FT_CHECKSUM_REQUEST);
    p.out->writeString("sub/big");
    p.out->writeString("/local/big");
    p.out->writeString("sub/missing");
    p.out->writeString("/local/missing");
    p.out->writeString("");
    Reply sums = p.skipTo(FT_CHECKSUM_LIST);
    ASSERT_EQ(5u, sums.texts.size());
    EXPECT_EQ(md5Hex(big), sums.texts[1]);
    EXPECT_EQ("", sums.texts[3]);
    p.cmd(FT_MARK_COMPLETE);
    Reply ack = p.skipTo(FT_ACK_COMPLETE);
    ASSERT_EQ(1u, ack.numbers.size());
    EXPECT_EQ(static_cast<long long>(big.size() + 4 + mixed.size()), ack.numbers[0]);
    EXPECT_TRUE(p.quit());
}

TEST(FtdService, PartialUpdatesRebuildFilesFromOldBlocksAndLiterals) {
    Service s;
    mkdir(s.path("d").c_str(), 0755);
    const std::string logText = randomBytes(10000, 2);
    const std::string old = randomBytes(200000, 3);
    writeFile(s.path("d/log"), logText);
    writeFile(s.path("d/data"), old);
    writeFile(s.path("d/keep"), old);
    writeFile(s.path("d/legacy"), old);
    Sender p(s.port());
    ASSERT_TRUE(p.opening());
    p.start("d");

    // Append check: the digest of the head, then only the new tail.
    const std::string tail = "appended line\n";
    p.header("log", FT_TYPE_FILE, FT_BODY_SYNC, logText.size() + tail.size());
    p.findMd5(0, 4096);
    Reply found = p.skipTo(FT_SYNC_FIND_MD5_REPLY);
    EXPECT_EQ(0, found.numbers.at(0));
    EXPECT_EQ(md5Hex(logText.substr(0, 4096)), found.texts.at(0));
    p.syncWrite(static_cast<long long>(logText.size()), tail);
    p.syncEnd();

    // Block exchange: blocks 0-47 and 50-195 kept, 48-49 replaced.
    const int bs = 1024;
    const uint32_t seed = 0x1234;
    const std::string literal = randomBytes(2 * bs, 4);
    const std::string fresh = old.substr(0, 48 * bs) + literal + old.substr(50 * bs);
    p.header("data", FT_TYPE_FILE, FT_BODY_SYNC, fresh.size(), 0640, 1600000000000LL);
    p.rollingStart(bs, seed);
    Reply sig = p.skipTo(FT_SYNC_SIGNATURES);
    ASSERT_EQ(FT_SYNC_SIGNATURES, sig.code);
    EXPECT_EQ(200000, sig.numbers.at(0));
    ASSERT_EQ(196, sig.numbers.at(1));  // the last block is short
    ASSERT_EQ(196u, sig.texts.size());
    // Each block's MD5, cut to the announced length.
    const size_t strong = static_cast<size_t>(sig.numbers.at(2));
    EXPECT_EQ(static_cast<long long>(ft_strongLength(200000, static_cast<int>(bs))), sig.numbers.at(2));
    for (size_t b = 0; b < 196; b++) EXPECT_EQ(md5Hex(old.substr(b * bs, bs)).substr(0, 2 * strong), sig.texts[b]) << b;
    // The weak sum by its definition: A starts from the seed, B sums A.
    uint32_t a = seed & 0xffff;
    uint32_t bsum = 0;
    for (size_t i = 0; i < bs; i++) {
        a = (a + static_cast<unsigned char>(old[i])) % 65521;
        bsum = (bsum + a) % 65521;
    }
    EXPECT_EQ((bsum << 16) | a, static_cast<uint32_t>(sig.numbers.at(3)));
    p.copyBlocks(0, 48);
    p.syncWrite(48 * bs, literal);
    p.copyBlocks(50, 146);
    auto fileSum = [](const std::string& content) {
        unsigned char sum[1 + FtFileSum::kLength] = {FT_SUM_FILESUM};
        FtFileSum f;
        f.update(content.data(), content.size());
        f.final(sum + 1);
        return std::string(reinterpret_cast<char*>(sum), sizeof sum);
    };
    auto blocksThenDigest = [&](const char* name, int count, const std::string& digest) {
        p.header(name, FT_TYPE_FILE, FT_BODY_SYNC, old.size(), 0600, 1500000000000LL);
        p.rollingStart(bs, 7);
        p.copyBlocks(0, count);
        p.newDigest(digest.data(), digest.size());
        p.syncEnd();
    };
    const std::string freshSum = fileSum(fresh);
    p.newDigest(freshSum.data(), freshSum.size());
    p.syncEnd();

    // A rebuilt file that does not have the sender's sum (its last block
    // left out) is refused and the old file kept.
    blocksThenDigest("keep", 195, fileSum(old));
    // An older sender's MD5 is checked by reading the rebuilt file again.
    unsigned char oldMd5[16];
    MD5(reinterpret_cast<const unsigned char*>(old.data()), old.size(), oldMd5);
    blocksThenDigest("legacy", 196, std::string(reinterpret_cast<char*>(oldMd5), 16));

    // A file the service does not have: no signatures, then the whole file.
    p.header("new", FT_TYPE_FILE, FT_BODY_SYNC, 5);
    p.rollingStart(bs, 7);
    const std::string freshText = "fresh";
    p.syncEnd(&freshText);
    ASSERT_TRUE(p.endFiles());

    EXPECT_EQ(logText + tail, readFile(s.path("d/log")));
    EXPECT_EQ(fresh, readFile(s.path("d/data")));
    EXPECT_EQ(0640, modeOf(s.path("d/data")));
    EXPECT_EQ(1600000000000LL, mtimeMs(s.path("d/data")));
    EXPECT_EQ(old, readFile(s.path("d/keep")));
    EXPECT_EQ(old, readFile(s.path("d/legacy")));
    EXPECT_EQ(1500000000000LL, mtimeMs(s.path("d/legacy")));
    EXPECT_EQ("fresh", readFile(s.path("d/new")));
    ASSERT_EQ(1u, p.errors.size());
    EXPECT_EQ("keep", p.errors[0].texts[0]);
    EXPECT_NE(std::string::npos, p.errors[0].texts[3].find("digest"));
    EXPECT_TRUE(noTemporaryFiles(s.root));
    EXPECT_TRUE(p.quit());
}

// Files large enough to be written around the page cache arrive whole, and
// a partial update rebuilds one from its previous version, read back around
// the page cache, at offsets that are not on device blocks.
TEST(FtdService, LargeFilesArriveAndRebuildAroundThePageCache) {
    Service s;
    const std::string old = randomBytes(static_cast<size_t>(FtdDirectSink::kMinSize) + 4097, 31);
    Sender p(s.port());
    ASSERT_TRUE(p.opening());
    p.start("d");
    p.file("big", old, 0600, 1500000000000LL);
    ASSERT_TRUE(p.endFiles());
    ASSERT_TRUE(readFile(s.path("d/big")) == old) << "the whole file arrived changed";
    // Out of the page cache again, as the service left it.
    int fd = open(s.path("d/big").c_str(), O_RDONLY);
    ASSERT_EQ(0, posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED));
    close(fd);

    // Blocks of 3000 bytes: every range of the old file starts inside a
    // device block. The new file drops block 1, changes the last bytes and
    // is checked against an older sender's MD5 (which reads it back).
    const int bs = 3000;
    const long long blocks = (static_cast<long long>(old.size()) + bs - 1) / bs;
    const std::string literal = randomBytes(777, 32);
    const std::string fresh = old.substr(0, bs) + old.substr(2 * bs, static_cast<size_t>(blocks - 3) * bs) + literal;
    unsigned char md5[16];
    MD5(reinterpret_cast<const unsigned char*>(fresh.data()), fresh.size(), md5);
    p.start("d");
    p.header("big", FT_TYPE_FILE, FT_BODY_SYNC, fresh.size(), 0600, 1600000000000LL);
    p.rollingStart(bs, 99);
    Reply sig = p.skipTo(FT_SYNC_SIGNATURES);
    ASSERT_EQ(blocks, sig.numbers.at(1));
    const size_t strong = static_cast<size_t>(sig.numbers.at(2));
    for (long long b : {0LL, 1LL, blocks / 2, blocks - 1})
        EXPECT_EQ(md5Hex(old.substr(static_cast<size_t>(b) * bs, bs)).substr(0, 2 * strong), sig.texts[b]) << b;
    p.copyBlocks(0, 1);
    p.copyBlocks(2, static_cast<int>(blocks - 3));
    p.syncWrite(static_cast<long long>(fresh.size() - literal.size()), literal);
    p.newDigest(md5, 16);
    p.syncEnd();
    ASSERT_TRUE(p.endFiles());
    ASSERT_EQ(0u, p.errors.size());
    EXPECT_TRUE(readFile(s.path("d/big")) == fresh) << "the rebuilt file differs";
    EXPECT_EQ(1600000000000LL, mtimeMs(s.path("d/big")));
    EXPECT_TRUE(noTemporaryFiles(s.root));
    EXPECT_TRUE(p.quit());
}

TEST(FtdService, RefusesHostileCommandsWithALoggedReason) {
    Service s;
    LogCapture logs;
    writeFile(s.outside + "/secret", "secret");
    {
        Sender p(s.port());
        ASSERT_TRUE(p.opening());
        // Destinations outside the root: every entry is refused.
        p.start("../outside");
        p.file("pwned", "x");
        p.plain(FT_END_OF_FILES);
        p.start("/abs");
        p.file("pwned", "x");
        p.plain(FT_END_OF_FILES);
        // Entry names leaving a good destination, or naming the state folder.
        p.start("");
        p.file("../outside/pwned", "x");
        p.file("/etc/pwned", "x");
        p.file(".drvftd/index", "x");
        // A size beyond any disk, and data beyond its announced size.
        p.header("huge", FT_TYPE_FILE, FT_BODY_WHOLE, 1LL << 60);
        p.data("small");
        p.header("bomb", FT_TYPE_FILE, FT_BODY_WHOLE, 10);
        p.data(std::string(1 << 20, 'z'));
        // The same through partial updates: no room for the declared size,
        // a literal beyond it, and literals that only together pass it.
        for (const char* name : {"hugesync", "syncbomb", "syncpieces"}) {
            bool huge = strcmp(name, "hugesync") == 0;
            p.header(name, FT_TYPE_FILE, FT_BODY_SYNC, huge ? 1LL << 60 : 10);
            if (strcmp(name, "syncpieces") == 0) {
                p.syncWrite(0, "0123456");
                p.syncWrite(7, "789ab");
            } else {
                p.syncWrite(0, huge ? "small" : std::string(8 << 20, '\0'));
            }
            p.syncEnd();
        }
        p.file("fine", "still served");
        p.plain(FT_END_OF_FILES);
        p.remove("../outside");
        p.remove("");
        ASSERT_TRUE(p.sync());
        EXPECT_EQ(12u, p.errors.size());  // two destinations, three names, five sizes, two removals
        for (const Reply& r : p.errors) EXPECT_FALSE(r.texts.at(3).empty());
        EXPECT_EQ("still served", readFile(s.path("fine")));
        for (const char* name : {"huge", "bomb", "hugesync", "syncbomb", "syncpieces"})
            EXPECT_FALSE(exists(s.path(name))) << name;
        // An unknown command ends the session (the stream cannot be trusted).
        p.cmd(4242);
        EXPECT_EQ(FT_ERROR, p.reply().code);
        EXPECT_EQ(-1, p.reply().code);
    }
    {
        Sender g(s.port());
        g.opening();
        g.cmd(FT_GET_FILE);
        g.out->writeString("../outside/secret");
        int64_t size = 0;
        EXPECT_NE(0, g.in->readInt64(&size));
        g.in->recover();
        EXPECT_EQ(FT_FAIL, g.reply().code);
    }
    {
        // Garbage after the opening: the session ends, the service goes on.
        Sender junk(s.port());
        junk.opening();
        std::string noise = randomBytes(4096, 9);
        junk.connection().writeBytes(noise.data(), static_cast<int>(noise.size()));
    }
    std::vector<std::string> outside;
    walk(s.outside, "", &outside);
    EXPECT_EQ(std::vector<std::string>{"secret"}, outside);
    EXPECT_TRUE(noTemporaryFiles(s.root));
    EXPECT_TRUE(waitFor([&] { return s.server->liveSessions() == 0; }));
    Sender after(s.port());
    after.opening();
    EXPECT_TRUE(after.sync());
    for (const char* reason : {"path leaves the root", "absolute path", "state folder", "exceeds the free space",
                               "more data than the size announced", "more data than the size declared",
                               "the root itself cannot be removed",
                               "unknown command 4242"})
        EXPECT_TRUE(logs.contains(reason)) << reason;
}

TEST(FtdService, ASenderThatDiesOrGivesUpLeavesThePreviousFile) {
    Service s;
    const std::string old = "the previous complete version\n";
    writeFile(s.path("f"), old);
    writeFile(s.path("g"), old);
    {
        Sender p(s.port());
        p.opening();
        p.start("");
        // A file the sender could not read whole: discarded.
        p.header("g", FT_TYPE_FILE, FT_BODY_WHOLE, 5);
        p.data("trunc", FT_DATA_DISCARD);
        // Half a file, then the connection is gone.
        const std::string fresh = randomBytes(2 * 1024 * 1024, 5);
        std::vector<std::string> blocks = deflateBlocks(fresh, 0);
        p.header("f", FT_TYPE_FILE, FT_BODY_WHOLE, fresh.size());
        for (size_t i = 0; i < blocks.size() / 2; i++) p.out->writeBytes(blocks[i].data(), blocks[i].size());
        p.connection().shutdown();
    }
    EXPECT_TRUE(waitFor([&] { return s.server->liveSessions() == 0; }));
    EXPECT_EQ(old, readFile(s.path("f")));
    EXPECT_EQ(old, readFile(s.path("g")));
    EXPECT_TRUE(noTemporaryFiles(s.root));
}

// A file where the destination has a folder replaces the folder (kept as
// a fallback when asked for: see the fallbacks test).
TEST(FtdService, AFileReplacesAFolder) {
    Service s;
    for (const char* d : {"r", "r/plain", "r/plain/sub"}) mkdir(s.path(d).c_str(), 0755);
    writeFile(s.path("r/plain/sub/inner"), "inner");
    Sender p(s.port());
    p.opening();
    p.start("r");
    p.file("plain", "now a file", 0640, 1500000000000LL);
    ASSERT_TRUE(p.endFiles());
    EXPECT_TRUE(p.errors.empty()) << (p.errors.empty() ? "" : p.errors[0].texts.at(3));
    EXPECT_EQ("now a file", readFile(s.path("r/plain")));
    EXPECT_EQ(0640, modeOf(s.path("r/plain")));
    EXPECT_EQ(1500000000000LL, mtimeMs(s.path("r/plain")));
    std::vector<FtIndexRecord> index = p.index("r", true);
    ASSERT_EQ(1u, index.size());
    EXPECT_EQ(FT_TYPE_FILE, index[0].type);
    EXPECT_EQ(md5Hex("now a file"), index[0].digest);
    EXPECT_TRUE(noTemporaryFiles(s.root));
}

// The index survives a restart, and received names that look like the
// service's temporaries are ordinary files: listed, and left alone when a
// service starts.
TEST(FtdService, TheIndexAndFilesNamedLikeTemporariesSurviveARestart) {
    Service s;
    const std::string a = randomBytes(300000, 6);
    {
        Sender p(s.port());
        p.opening();
        p.start("keep");
        p.file(".x.ftd-abc123", "mine", 0600);
        p.link(".l.ftd-link00", ".x.ftd-abc123");
        p.file("a", a);
        p.file("b", "bee");
        ASSERT_TRUE(p.endFiles());
        EXPECT_TRUE(p.errors.empty());
        // Received files are digested when first asked for, once.
        for (int round = 0; round < 2; round++) {
            std::vector<FtIndexRecord> index = p.index("keep", true);
            ASSERT_EQ(4u, index.size());
            EXPECT_EQ(md5Hex(a), index[2].digest);
            EXPECT_EQ(3, s.server->index().digestsComputed());
        }
        ASSERT_TRUE(p.quit());
    }
    ASSERT_TRUE(waitFor([&] { return s.server->liveSessions() == 0; }));
    EXPECT_TRUE(noTemporaryFiles(s.root));
    s.restart();
    EXPECT_EQ("mine", readFile(s.path("keep/.x.ftd-abc123")));
    EXPECT_EQ(".x.ftd-abc123", linkTarget(s.path("keep/.l.ftd-link00")));
    Sender p(s.port());
    p.opening();
    std::vector<FtIndexRecord> index = p.index("keep", true);
    ASSERT_EQ(4u, index.size());
    EXPECT_EQ(".l.ftd-link00", index[0].name);
    EXPECT_EQ(".x.ftd-abc123", index[1].name);
    EXPECT_EQ(md5Hex("mine"), index[1].digest);
    EXPECT_EQ(md5Hex(a), index[2].digest);
    EXPECT_EQ(md5Hex("bee"), index[3].digest);
    EXPECT_EQ(0, s.server->index().digestsComputed()) << "the digests came from the saved index";
    // A file changed behind the service's back is read again.
    writeFile(s.path("keep/b"), "wasp");
    index = p.index("keep", true);
    ASSERT_EQ(4u, index.size());
    EXPECT_EQ(md5Hex("wasp"), index[3].digest);
    EXPECT_EQ(1, s.server->index().digestsComputed());
    // So is one whose modification time (a sender may set any) lies past
    // what a 64-bit count of nanoseconds since 1970 holds.
    struct timespec times[2] = {{0, UTIME_OMIT}, {10000000000LL, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, s.path("keep/a").c_str(), times, 0));
    index = p.index("keep", true);
    ASSERT_EQ(4u, index.size());
    EXPECT_EQ(md5Hex(a), index[2].digest);
    EXPECT_EQ(2, s.server->index().digestsComputed());
}

TEST(FtdService, FallbacksKeepWhatATransactionReplacesOrRemoves) {
    Service s;
    auto version = [](int n) { return "version " + std::to_string(n); };
    // One transaction sending f, after asking for fallbacks when count >= 0;
    // removals follow the file list.
    auto send = [&](Sender& p, int n, int count, int age, const std::vector<std::string>& removals = {}) {
        if (count >= 0) p.keepFallbacks(count, age);
        p.start("d");
        if (n > 0) p.file("f", version(n));
        if (n == 6) p.file("sub/g", "gee");
        p.plain(FT_END_OF_FILES);
        for (const std::string& r : removals) p.remove(r);
        EXPECT_TRUE(p.sync());
    };
    {
        Sender p(s.port());
        p.opening();
        send(p, 1, 2, 30);
        EXPECT_FALSE(exists(s.fallback("d/f.1"))) << "nothing was replaced";
        for (int n = 2; n <= 4; n++) send(p, n, 2, 30);
        EXPECT_EQ(version(4), readFile(s.path("d/f")));
        EXPECT_EQ(version(3), readFile(s.fallback("d/f.1")));
        EXPECT_EQ(version(2), readFile(s.fallback("d/f.2")));
        EXPECT_FALSE(exists(s.fallback("d/f.3"))) << "two are kept";
        // A transaction that does not ask keeps nothing.
        send(p, 5, -1, 0);
        EXPECT_EQ(version(3), readFile(s.fallback("d/f.1")));
        // Removals move the entry, a folder whole; a larger count keeps more.
        send(p, 6, 3, 30);
        // A file takes a folder's place; the folder is kept whole.
        p.keepFallbacks(3);
        p.start("d");
        p.file("sub", "not a folder");
        EXPECT_TRUE(p.endFiles());
        EXPECT_TRUE(p.errors.empty());
        EXPECT_EQ("not a folder", readFile(s.path("d/sub")));
        EXPECT_EQ("gee", readFile(s.fallback("d/sub.1/g")));
        send(p, 0, 3, 30, {"d/f", "d/sub"});
        EXPECT_FALSE(exists(s.path("d/f")));
        EXPECT_FALSE(exists(s.path("d/sub")));
        EXPECT_EQ(version(6), readFile(s.fallback("d/f.1")));
        EXPECT_EQ(version(5), readFile(s.fallback("d/f.2")));
        EXPECT_EQ(version(3), readFile(s.fallback("d/f.3")));
        EXPECT_EQ("not a folder", readFile(s.fallback("d/sub.1")));
        EXPECT_EQ("gee", readFile(s.fallback("d/sub.2/g")));
        // The fallbacks are nobody's business but the service's.
        for (const FtIndexRecord& r : p.index("", false)) EXPECT_EQ(std::string::npos, r.name.find("fallbacks"));
        send(p, 7, -1, 0);
        EXPECT_TRUE(p.errors.empty());
        ASSERT_TRUE(p.quit());
    }
    ASSERT_TRUE(waitFor([&] { return s.server->liveSessions() == 0; }));
    // A month later, the fallbacks superseded before then are too old.
    s.server->fallbacks().now = [] { return time(nullptr) + 31 * 86400; };
    Sender p(s.port());
    p.opening();
    send(p, 8, 3, 30);
    EXPECT_EQ(version(7), readFile(s.fallback("d/f.1")));
    EXPECT_FALSE(exists(s.fallback("d/f.2")));
    EXPECT_FALSE(exists(s.fallback("d/f.3")));
    EXPECT_TRUE(p.errors.empty());
    ASSERT_TRUE(p.quit());
}
