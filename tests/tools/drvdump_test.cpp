// drvdump: the reader on good and damaged input, and the program itself.
#include "tools/dump.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/any.h"
#include "dirbase/message.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs drvdump in a scratch folder with the given input on standard input.
class DrvdumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        _log_level = LOG_CRITICAL;
        Directory::init();
    }
    // Standard output goes to a file of the folder, or to `to` when given.
    Outcome run(const std::string& args, const std::string& input = "", const std::string& to = "") {
        writeFile(_dir.file("in"), input);
        std::string out = to.empty() ? _dir.file("out") : to;
        std::string cmd =
            std::string(DRVDUMP_PATH) + " " + args + " < " + _dir.file("in") + " > " + out + " 2> " + _dir.file("err");
        int rc = system(cmd.c_str());
        return Outcome{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, to.empty() ? readFile(out) : "",
                       readFile(_dir.file("err"))};
    }

    TempDir _dir;
};

std::string dump(const Bytes& bytes, DumpOptions options = DumpOptions(), DumpResult* result = nullptr) {
    std::string out;
    DumpResult r = dumpEncoding(reinterpret_cast<const unsigned char*>(bytes.c_str()), bytes.size(), options, out);
    if (result != nullptr) *result = r;
    return out;
}

// The tree, the text form and framing are the README's examples; --bare
// takes a frame header for values.
TEST_F(DrvdumpTest, BareReadsAFrameHeaderAsValues) {
    Outcome framed = run("--framed --type 224 --encode-name /a:");
    ASSERT_EQ(0, framed.status) << framed.err;
    Outcome bare = run("--bare", framed.out);
    EXPECT_EQ(0u, bare.out.find("int64 ")) << "tag 3 read as a value";
}

// A file transfer record, as a directory message may carry one, is read
// by its own translator.
TEST_F(DrvdumpTest, ReadsFileTransferRecords) {
    Outcome ft = run("--bare --object 2109", Bytes().object(2109).field(3).str("old").field(4).int32(5).end().data);
    ASSERT_EQ(0, ft.status) << ft.err;
    EXPECT_NE(std::string::npos, ft.out.find("\"fallbackText\" : \"old\", \"fallbackCount\" : 5")) << ft.out;
}

TEST_F(DrvdumpTest, DamagedInputSaysWhereAndWhy) {
    struct Case {
        Bytes input;
        const char* args;
        const char* message;
    } cases[] = {
        {Bytes(), "", "stopped at byte 0: error -11 (Unexpected end of file)"},
        {Bytes{2, 0, 0}, "", "stopped at byte 1: error -12 (Incomplete message)"},
        {Bytes().int32(1).u8(0x30), "", "stopped at byte 5: error -13 (Missing type in message)"},
        {Bytes().object(1000).field(1).int32(1), "", "stopped at byte 12: error -16 (Missing field code)"},
        {Bytes().object(1000).u8(2), "", "stopped at byte 5: error -17 (Unexpected field code)"},
        {Bytes().object(1001).end(), "--object 1000", "error -14 (Invalid or unexpected type)"},
        {Bytes().object(1000).field(2).int32(1).end(), "--object 1000", "error -15 (Missing field in object)"},
        {Bytes().object(77).end(), "--object 77", "error -18 (No translator for this object)"},
        {Bytes().u8(3).be32(0).be32(0).u8(8), "--framed", "bad frame header at byte 1: Less than or zero size message"},
        {Bytes().u8(3).be32(5).be32(1).u8(8), "--framed", "stopped at byte 10: error -12 (Incomplete message)"},
        // A bad header names what it found and what it expected (a wrong code: the README).
        {Bytes().u8(3).be32(1).be32(0x1000000).u8(8), "--framed",
         "illogical message type: found 16777216, expected at most 16777215"},
        {Bytes().u8(3).be32(0).be32(0).u8(8), "--framed", "found body length 0, expected 1 or more"},
    };
    for (const Case& c : cases) {
        Outcome r = run(c.args, c.input.data);
        EXPECT_EQ(1, r.status) << c.message;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    }
    // What was read before the damage is still shown.
    Outcome partial = run("", Bytes().int32(7).object(1000).field(1).u8(3).be32(0).data);
    EXPECT_EQ("int32 7\nobject 1000 (Any) {\n  1: ?\n", partial.out);
}

TEST_F(DrvdumpTest, OptionsAndFiles) {
    Outcome help = run("--help");
    EXPECT_EQ(0, help.status);
    for (const char* option : {"--bare", "--framed", "--object", "--offsets", "--full", "--encode-name", "--type",
                               "--help", "Exit status"})
        EXPECT_NE(std::string::npos, help.out.find(option)) << option;
    EXPECT_EQ("", help.err);
    Outcome shortHelp = run("-h");
    EXPECT_EQ(0, shortHelp.status);
    EXPECT_EQ(help.out, shortHelp.out);
    // A bad command line says what is wrong and exits with 64.
    struct Case {
        const char* args;
        const char* err;
    } usage[] = {
        {"--bogus", "drvdump: unknown option: --bogus\n"},
        {"--object", "drvdump: --object needs a value\n"},
        {"--object twelve", "drvdump: bad object id: twelve\n"},
        {"--stats", "drvdump: --stats needs a file\n"},
        {"a b", "drvdump: one input at a time (also got b)\n"},
        {"--consolidate d 2024-13-01", "drvdump: bad day: 2024-13-01 (want YYYYMMDD or YYYY-MM-DD)\n"},
    };
    for (const Case& c : usage) {
        Outcome r = run(c.args);
        EXPECT_EQ(64, r.status) << c.args;
        EXPECT_EQ(std::string(c.err) + "Try 'drvdump --help'.\n", r.err);
        EXPECT_EQ("", r.out);
    }
    // An input that cannot be read is not a usage problem, nor malformed.
    EXPECT_EQ(2, run(_dir.file("missing")).status);
    Outcome stats = run("--stats " + _dir.file("missing"));
    EXPECT_EQ(2, stats.status) << stats.err;
    EXPECT_EQ(0u, stats.err.find("drvdump: " + _dir.file("missing") + " cannot be opened: ")) << stats.err;
    writeFile(_dir.file("garbage"), "not statistics\n");
    EXPECT_EQ(1, run("--stats " + _dir.file("garbage")).status);
    // Neither is an output that cannot be written, nor is it a success.
    std::string name = run("--encode-name '/host:id=\"h1\"'").out;
    ASSERT_FALSE(name.empty());
    for (const char* args : {"", "--object 1007"}) {
        Outcome full = run(args, name, "/dev/full");
        EXPECT_EQ(2, full.status) << args;
        EXPECT_EQ(0u, full.err.find("drvdump: cannot write: ")) << args << ": " << full.err;
    }
}

TEST_F(DrvdumpTest, TheReaderShowsEveryKindOfValue) {
    Bytes all = Bytes{1, 1};
    all.int64(-2).u8(4).be32(0x3F000000).u8(5).be64(0x4004000000000000ull).str("q\"\n\x01");
    all.u8(7).u8(8).u8(14).be32(20).raw(std::string(20, 'x')).u8(15).be32(2).be32(1).raw("a").be32(0);
    all.u8(16).be32(3).container(1003).object(1002).field(1).str("k").end().containerEnd();
    all.object(4242).field(200).u8(8).end();
    EXPECT_EQ(
        "bool true\nint64 -2\nfloat 0.5\ndouble 2.5\nstring \"q\\\"\\n\\x01\"\nnull string\nnull object\n"
        "bytes 20: 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78 ...\nstrings 2 [ \"a\", \"\" ]\ncommand 3\n"
        "container 1003 (Attributes entries) [\n  object 1002 (Attributes entry) {\n    1: string \"k\"\n  }\n]\n"
        "object 4242 {\n  200: null object\n}\n",
        dump(all));
    DumpOptions full;
    full.fullBlocks = true;
    std::string whole = "bytes 20:";
    for (int i = 0; i < 20; i++) whole += " 78";
    EXPECT_EQ(whole + "\n", dump(Bytes().u8(14).be32(20).raw(std::string(20, 'x')), full));

    // Decoding through a translator (a record's text form is the program
    // test's): a null object, and a list where the record should be.
    DumpOptions decode;
    decode.decodeObject = true;
    decode.objectId = OBJ_ATTRIBUTES_ID;
    EXPECT_EQ("null object\n", dump(Bytes{8}, decode));
    DumpResult r;
    dump(Bytes().container(1001).containerEnd(), decode, &r);
    EXPECT_EQ(MSG_E_BAD_TYPE, r.code);

    // Deep nesting is walked without recursion, and indentation stops growing.
    Bytes deep;
    for (int i = 0; i < 100000; i++) deep.object(1).field(1);
    deep.u8(8);
    for (int i = 0; i < 100000; i++) deep.end();
    std::string out = dump(deep, DumpOptions(), &r);
    EXPECT_EQ(0, r.code);
    EXPECT_LT(out.size(), 100000u * 2 * 80);
}

// The stream reader against the reader over bytes in memory, on inputs long
// enough that values straddle the window's refills.
TEST(DumpStream, PrintsWhatTheWholeInputReadingPrints) {
    _log_level = LOG_CRITICAL + 1;
    Directory::init();
    Bytes big;
    for (int i = 0; i < 3000; i++) {
        big.object(1000).field(1).str(std::string(static_cast<size_t>(i * 37 % 5000), 'a' + i % 26));
        big.field(2).int32(i).end();
    }
    big.u8(14).be32(200000).raw(std::string(200000, 'z'));
    Bytes bigFramed = Bytes().u8(3).be32(static_cast<uint32_t>(big.size())).be32(9).raw(big.data);
    Bytes trailing = Bytes(bigFramed).raw("xyz");
    Bytes damaged = Bytes(big).str("short").u8(6).be32(100000).raw(std::string(70000, 'q'));
    // Lengths the input claims but does not carry are not memory to set aside.
    Bytes claims = Bytes().int32(1).u8(6).be32(0xFFFFFFF0u).raw("only this");
    Bytes claimsFramed = Bytes().u8(3).be32(0x4FFFFFFFu).be32(1).u8(8);
    Bytes name = Bytes().object(1007).field(1).int32(1).field(2).int32(0).field(3).container(1009).containerEnd().end();
    struct Case {
        const Bytes* input;
        DumpOptions::Framing framing;
        bool decode;
    } cases[] = {
        {&big, DumpOptions::AUTO, false},     {&big, DumpOptions::BARE, false},
        {&bigFramed, DumpOptions::AUTO, false}, {&trailing, DumpOptions::FRAMED, false},
        {&trailing, DumpOptions::AUTO, false}, {&damaged, DumpOptions::AUTO, false},
        {&name, DumpOptions::AUTO, true},      {&big, DumpOptions::FRAMED, false},
        {&claims, DumpOptions::AUTO, false},   {&claimsFramed, DumpOptions::AUTO, false},
        {&claimsFramed, DumpOptions::FRAMED, false},
    };
    for (const Case& c : cases) {
        DumpOptions options;
        options.framing = c.framing;
        options.offsets = true;
        options.decodeObject = c.decode;
        options.objectId = 1007;
        std::string whole;
        DumpResult expected = dumpEncoding(reinterpret_cast<const unsigned char*>(c.input->c_str()), c.input->size(),
                                           options, whole);

        std::string input = c.input->data;
        FILE* in = fmemopen(&input[0], input.size(), "rb");
        char* printed = nullptr;
        size_t len = 0;
        FILE* out = open_memstream(&printed, &len);
        bool readError = true;
        DumpResult streamed = dumpStream(in, options, out, &readError);
        fclose(out);
        fclose(in);
        std::string text(printed, len);
        free(printed);

        EXPECT_FALSE(readError);
        EXPECT_EQ(expected.code, streamed.code) << expected.reason;
        EXPECT_EQ(expected.offset, streamed.offset);
        EXPECT_EQ(expected.reason, streamed.reason);
        EXPECT_TRUE(whole == text) << "framing " << c.framing << ": " << whole.size() << " bytes printed from memory, "
                                   << text.size() << " from the stream";
    }
}

// VmHWM of a running process, in kB; 0 when it cannot be read.
long peakResidentKb(pid_t pid) {
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\nVmHWM:");
    return at == std::string::npos ? 0 : strtol(status.c_str() + at + 7, nullptr, 10);
}

// 50 MB of values through a pipe: drvdump's peak resident size stays far
// below the input's, as it reads and prints as it goes.
TEST(DrvdumpMemory, StaysBoundedWhateverTheInputSize) {
    Bytes block;
    while (block.size() < (1u << 20)) {
        block.object(1000).field(1).str(std::string(100, 'v')).field(2).int32(7).field(3);
        block.u8(14).be32(300).raw(std::string(300, 'b')).end();
    }
    const size_t kInput = 50u << 20;

    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(DRVDUMP_PATH), const_cast<char*>("--bare"), nullptr};
    pid_t pid;
    ASSERT_EQ(0, posix_spawn(&pid, DRVDUMP_PATH, &actions, nullptr, argv, environ));
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);

    // The child's peak resident size while it is still reading: its own,
    // unlike ru_maxrss, which a spawned child inherits from this process.
    long peakKb = 0;
    size_t sent = 0;
    while (sent < kInput) {
        ssize_t n = write(pipeFds[1], block.c_str(), block.size());
        if (n <= 0) break;
        // Whole blocks only, so that the input stays a run of whole values.
        ASSERT_EQ(static_cast<ssize_t>(block.size()), n);
        sent += static_cast<size_t>(n);
        long kb = peakResidentKb(pid);
        if (kb > peakKb) peakKb = kb;
    }
    close(pipeFds[1]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_GE(sent, kInput);
    EXPECT_GT(peakKb, 0);
    EXPECT_LT(peakKb, 64 * 1024) << "peak resident size " << peakKb << " kB for " << sent << " bytes of input";
}

}  // namespace

