// The memory analysis hooks, played by a program built without sanitizers
// (tests/common/mem_hooks_child.cpp): the report it writes is read here byte
// by byte, against the addresses and block contents the program printed.
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

struct Rec {
    size_t offset;  // of the type byte in the report
    size_t length;
    int type;
    std::vector<uint64_t> frames;
    uint64_t size = 0, block = 0, start = 0, end = 0;
    std::string text;  // path or message
};

// The report read by its documented layout; a record that does not fit
// fails the test.
std::vector<Rec> parse(const std::string& bytes) {
    std::vector<Rec> recs;
    size_t at = 0;
    auto take = [&](size_t n) -> const char* {
        if (at + n > bytes.size()) throw std::runtime_error("truncated at " + std::to_string(at));
        const char* p = bytes.data() + at;
        at += n;
        return p;
    };
    auto u32 = [&] {
        uint32_t v;
        memcpy(&v, take(4), 4);
        return v;
    };
    auto u64 = [&] {
        uint64_t v;
        memcpy(&v, take(8), 8);
        return v;
    };
    while (at < bytes.size()) {
        Rec r;
        r.offset = at;
        r.type = static_cast<unsigned char>(*take(1));
        if (r.type == 3) {
            r.start = u64();
            r.end = u64();
            uint32_t len = u32();
            r.text.assign(take(len), len);
        } else if (r.type >= 1 && r.type <= 4) {
            uint32_t n = u32();
            if (n > 29) throw std::runtime_error("frame count " + std::to_string(n));
            for (uint32_t i = 0; i < n; i++) r.frames.push_back(u64());
            if (r.type == 1) r.size = u64();
            if (r.type == 1 || r.type == 2) r.block = u64();
            if (r.type == 4) {
                uint64_t len = u64();
                r.text.assign(take(len), len);
            }
        } else {
            throw std::runtime_error("type " + std::to_string(r.type) + " at " + std::to_string(r.offset));
        }
        r.length = at - r.offset;
        recs.push_back(r);
    }
    return recs;
}

// "name value" lines printed by the program; values in hex unless they are words.
std::map<std::string, std::string> printed(const std::string& out) {
    std::map<std::string, std::string> values;
    std::istringstream in(out);
    std::string name, value;
    while (in >> name >> value) {
        values[name] = value;
        if (in.peek() == ' ') in >> values[name + "+"];
    }
    return values;
}

uint64_t hex(const std::string& s) {
    return std::stoull(s, nullptr, 16);
}

std::string le(uint64_t v, int width) {
    return std::string(reinterpret_cast<const char*>(&v), width);
}

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

const std::string kPre = "ZZZZpreguardZZZZ";
const std::string kPost = "ZZZZpostguardZZZ";

std::string guardedBlock(uint64_t size, const std::string& user) {
    return toHex(le(size, 8) + kPre + user + kPost);
}

struct Played {
    int status;
    std::map<std::string, std::string> values;
    std::string bytes;
    std::vector<Rec> recs;
};

Played play(const char* scenario) {
    TempDir dir;
    std::string report = dir.file("report");
    Outcome o = runToEnd(MEM_HOOKS_CHILD, {scenario, report});
    Played run{o.status, printed(o.out), readFile(report), {}};
    EXPECT_EQ(0, o.status) << o.out << o.err;
    try {
        run.recs = parse(run.bytes);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "report does not parse: " << e.what();
    }
    return run;
}

// The index of the first allocation or release record for block from the
// index given, or -1. Addresses come back after a release, so the tests look
// in the order the program ran.
int find(const std::vector<Rec>& recs, int type, uint64_t block, size_t from = 0) {
    for (size_t i = from; i < recs.size(); i++)
        if (recs[i].type == type && recs[i].block == block) return static_cast<int>(i);
    return -1;
}

// The innermost reported frame is a return address inside fn (the caller
// of the replacement; the replacement itself is left out).
void expectCalledFrom(const Rec& r, uint64_t fn) {
    ASSERT_FALSE(r.frames.empty());
    EXPECT_GT(r.frames[0], fn);
    EXPECT_LT(r.frames[0], fn + 96) << std::hex << r.frames[0] << " vs " << fn;
}

TEST(MemHooks, PlainRecordsCarryTheStackTheSizeAndTheAddressHandedOut) {
    Played run = play("records");
    const auto& recs = run.recs;
    auto& v = run.values;
    ASSERT_FALSE(recs.empty());

    // The mappings come first, one for each executable mapping, among them
    // the program's own code.
    uint64_t site = hex(v["allocateHere"]);
    bool ownCode = false;
    size_t i = 0;
    for (; i < recs.size() && recs[i].type == 3; i++) {
        EXPECT_LT(recs[i].start, recs[i].end);
        if (recs[i].start <= site && site < recs[i].end)
            ownCode = recs[i].text.find("mem_hooks_child") != std::string::npos;
    }
    EXPECT_TRUE(ownCode);
    EXPECT_GT(i, 2u);  // the program, the C library, the loader at least
    for (; i < recs.size(); i++) EXPECT_NE(3, recs[i].type);

    // malloc(100) then free, each from its own function; the bytes of the
    // allocation record written out by hand.
    uint64_t a = hex(v["a"]);
    int alloc = find(recs, 1, a);
    ASSERT_GE(alloc, 0);
    const Rec& ar = recs[alloc];
    expectCalledFrom(ar, site);
    std::string frames;
    for (uint64_t f : ar.frames) frames += le(f, 8);
    EXPECT_EQ(std::string("\x01", 1) + le(ar.frames.size(), 4) + frames + le(100, 8) + le(a, 8),
              run.bytes.substr(ar.offset, ar.length));
    ASSERT_EQ(2, recs[alloc + 1].type);
    EXPECT_EQ(a, recs[alloc + 1].block);
    expectCalledFrom(recs[alloc + 1], hex(v["releaseHere"]));

    // calloc reports the product and hands out zeroed memory.
    int c = find(recs, 1, hex(v["c"]), alloc + 2);
    ASSERT_GE(c, 0);
    EXPECT_EQ(30u, recs[c].size);
    EXPECT_EQ("zeroed", v["c+"]);

    // realloc(NULL, 50) is an allocation alone; realloc(r, 200) a release of
    // r and an allocation, with one stack.
    int r = find(recs, 1, hex(v["r"]), c + 1);
    ASSERT_EQ(c + 1, r);
    EXPECT_EQ(50u, recs[r].size);
    ASSERT_EQ(2, recs[r + 1].type);
    EXPECT_EQ(hex(v["r"]), recs[r + 1].block);
    ASSERT_EQ(1, recs[r + 2].type);
    EXPECT_EQ(200u, recs[r + 2].size);
    EXPECT_EQ(hex(v["r2"]), recs[r + 2].block);
    EXPECT_EQ(recs[r + 1].frames, recs[r + 2].frames);

    // free(NULL) between the two markers writes nothing.
    int m1 = -1;
    for (size_t k = 0; k < recs.size(); k++)
        if (recs[k].type == 1 && recs[k].size == 11111) m1 = static_cast<int>(k);
    ASSERT_GE(m1, 0);
    ASSERT_LT(static_cast<size_t>(m1 + 2), recs.size());
    EXPECT_EQ(2, recs[m1 + 1].type);
    EXPECT_EQ(1, recs[m1 + 2].type);
    EXPECT_EQ(22222u, recs[m1 + 2].size);
}

TEST(MemHooks, GuardsFenceEveryBlockAndABrokenOneIsReportedWhenFreed) {
    Played run = play("guards");
    const auto& recs = run.recs;
    auto& v = run.values;

    EXPECT_EQ(guardedBlock(10, std::string(10, 'u')), v["block-over"]);
    EXPECT_EQ(guardedBlock(20, std::string(20, '\0')), v["block-zeroed"]);
    EXPECT_EQ("zeroed", v["zeroed+"]);

    // Records name the start of the guarded block, 24 bytes before the user's.
    uint64_t over = hex(v["over"]) - 24;
    int alloc = find(recs, 1, over);
    ASSERT_GE(alloc, 0);
    EXPECT_EQ(10u, recs[alloc].size);
    expectCalledFrom(recs[alloc], hex(v["allocateHere"]));

    // One byte past the end: the release, then the message with the stack
    // of the free.
    int rel = find(recs, 2, over, alloc);
    ASSERT_GE(rel, 0);
    ASSERT_LT(static_cast<size_t>(rel + 1), recs.size());
    EXPECT_EQ(4, recs[rel + 1].type);
    EXPECT_EQ("POSTGUARD was destroyed. Detected in free()", recs[rel + 1].text);
    expectCalledFrom(recs[rel + 1], hex(v["releaseHere"]));
    // One byte before the start.
    rel = find(recs, 2, hex(v["under"]) - 24, rel + 2);
    ASSERT_GE(rel, 0);
    EXPECT_EQ("PREGUARD was destroyed. Detected in free()", recs[rel + 1].text);
    // The whole pre-guard overwritten: reported alone, the post-guard and
    // the size are still there.
    rel = find(recs, 2, hex(v["wrecked"]) - 24, rel + 2);
    ASSERT_GE(rel, 0);
    EXPECT_EQ("PREGUARD was destroyed. Detected in free()", recs[rel + 1].text);
    ASSERT_LT(static_cast<size_t>(rel + 2), recs.size());
    EXPECT_NE(4, recs[rel + 2].type);
    EXPECT_GE(std::stoul(v["usable-aligned"]), 100u);
    // An intact block passes quietly.
    rel = find(recs, 2, hex(v["clean"]) - 24, rel + 2);
    ASSERT_GE(rel, 0);
    EXPECT_NE(4, recs[rel + 1].type);
    EXPECT_EQ("10", v["usable-clean"]);
    EXPECT_GE(std::stoul(v["usable-early"]), 33u);

    // realloc keeps the contents and puts fresh guards around the new size;
    // the overrun of the shrunk block is caught too.
    EXPECT_EQ("kept", v["moved+"]);
    EXPECT_EQ(guardedBlock(100, "abcdefgh" + std::string(92, 'm')), v["block-moved"]);
    EXPECT_EQ(guardedBlock(4, "abcd"), v["block-shrunk"]);
    int grown = find(recs, 1, hex(v["grown"]) - 24, rel + 1);
    ASSERT_GE(grown, 0);
    EXPECT_EQ(8u, recs[grown].size);
    ASSERT_EQ(2, recs[grown + 1].type);
    EXPECT_EQ(hex(v["grown"]) - 24, recs[grown + 1].block);
    EXPECT_EQ(100u, recs[grown + 2].size);
    EXPECT_EQ(hex(v["moved"]) - 24, recs[grown + 2].block);
    int shrunk = find(recs, 1, hex(v["shrunk"]) - 24, grown + 3);
    ASSERT_GE(shrunk, 0);
    EXPECT_EQ(4u, recs[shrunk].size);
    rel = find(recs, 2, hex(v["shrunk"]) - 24, shrunk);
    ASSERT_GE(rel, 0);
    EXPECT_EQ("POSTGUARD was destroyed. Detected in free()", recs[rel + 1].text);

    int messages = 0;
    for (const Rec& r : recs) messages += r.type == 4;
    EXPECT_EQ(4, messages);
}

TEST(MemHooks, AForkedChildAfterPostForkWritesNothingAndFreesInheritedGuardedBlocks) {
    Played run = play("fork");
    EXPECT_EQ("0", run.values["child"]);  // its frees and realloc of guarded blocks worked
    bool before = false, after = false;
    for (const Rec& r : run.recs) {
        EXPECT_TRUE(r.size < 33333 || r.size > 33335) << r.size;
        before = before || r.size == 11111;
        after = after || r.size == 22222;
    }
    EXPECT_TRUE(before);
    EXPECT_TRUE(after);
}

TEST(MemHooks, ABlockWhoseRecordedSizeWasOverwrittenIsSizedByTheBlockItself) {
    Played run = play("damaged-size");
    // The usable size is what the block has room for, not the eight bytes
    // of '!' the underrun left where the size was.
    unsigned long usable = std::stoul(run.values["usable"]);
    EXPECT_GE(usable, 300000u);
    EXPECT_LT(usable, 300000u + 8192u);
    // The child's realloc copied the block's contents and no more.
    EXPECT_EQ("0", run.values["child"]);
}

TEST(MemHooks, ManyGuardedBlocksFreedAndResizedInAnyOrderStayKnownAndIntact) {
    Played run = play("churn");
    EXPECT_EQ("0", run.values["bad"]);
    long allocs = 0, releases = 0, messages = 0;
    for (const Rec& r : run.recs) {
        allocs += r.type == 1;
        releases += r.type == 2;
        messages += r.type == 4;
    }
    EXPECT_EQ(0, messages);
    EXPECT_GT(allocs, 12000);
    // Every block the run made is released by its end.
    EXPECT_EQ(allocs, releases);
}

// The analyser reads a little and goes away: the next report write fails,
// and the program says so and ends with status 0 instead of dying of SIGPIPE.
TEST(MemHooks, AnAnalyserThatGoesAwayEndsTheProgramWithItsMessage) {
    TempDir dir;
    std::string path = dir.file("analyser.sock");
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, listen(listener, 1));
    std::thread analyser([listener] {
        int c = accept(listener, nullptr, nullptr);
        char buf[256];
        ssize_t n = read(c, buf, sizeof buf);
        (void)n;
        close(c);
    });
    Outcome o = runToEnd(MEM_HOOKS_CHILD, {"analyser-gone", path});
    analyser.join();
    close(listener);
    EXPECT_EQ(0, o.status) << o.out << o.err;
    EXPECT_NE(std::string::npos, o.out.find("ERROR write to memory analyzer failed")) << o.out;
}

}  // namespace
