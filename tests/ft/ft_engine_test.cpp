// The sender against a scripted peer over a socket pair: what arrives is
// rebuilt by the peer and compared with the source tree the test made.
// Also the session's edges: the opening over a real connection, and how
// the read side takes index marks and the end of the stream.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "common/dravika_init.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "coms/tls.h"
#include "dir/asset.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dirbase/message.h"
#include "dirbase/sfs.h"
#include "dirbase/sfs_unix.h"
#include "ft/ft.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#include "tests/ft/ft_engine_support.h"
#include "tests/ft/ft_test_peer.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"

TEST(FtEngine, TreeArrivesWithNamesModesTimesAndLinksInOrderedSession) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    mkdir((src + "/empty").c_str(), 0700);
    mkdir((src + "/sub").c_str(), 0755);
    std::string big = randomBytes(300000, 1);
    writeFile(src + "/sub/big", big);
    writeFile(src + "/zero", "");
    writeFile(src + "/name with spaces", "spaces");
    writeFile(src + "/line\nbreak", "newline");
    writeFile(src + "/caf\xc3\xa9.txt", std::string(5000, 'x'));
    chmod((src + "/zero").c_str(), 0600);
    setMtime(src + "/sub/big", 1500000000);
    symlink("sub/big", (src + "/inside").c_str());
    writeFile(dir.file("outside"), "secret");
    symlink("../outside", (src + "/escape").c_str());

    TestPeer peer;
    Ft ft;
    ft.addTransaction(transaction(src, "/dest"));
    Recorder rec;
    ASSERT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec));
    EXPECT_TRUE(peer.problems.empty()) << peer.problems[0];
    EXPECT_EQ(1, rec.completed);

    ASSERT_EQ(1u, peer.files.count("sub/big"));
    EXPECT_EQ(big, peer.files["sub/big"].content);
    EXPECT_EQ(1500000000000LL, peer.files["sub/big"].mtimeMs);
    EXPECT_EQ("", peer.files["zero"].content);
    EXPECT_EQ(0600, peer.files["zero"].mode);
    EXPECT_EQ(FT_TYPE_DIRECTORY, peer.files["empty"].type);
    EXPECT_EQ(0700, peer.files["empty"].mode);
    EXPECT_EQ("spaces", peer.files["name with spaces"].content);
    EXPECT_EQ("newline", peer.files["line\nbreak"].content);
    EXPECT_EQ(std::string(5000, 'x'), peer.files["caf\xc3\xa9.txt"].content);
    ASSERT_EQ(1u, peer.files.count("inside"));
    EXPECT_EQ("sub/big", peer.files["inside"].target);
    EXPECT_EQ(0u, peer.files.count("escape"));
    EXPECT_EQ(0u, peer.files.count("outside"));
    // Commands outside the file list, in the order the session fixes.
    std::vector<int> want = {FT_CREATE_DEST, FT_RECV_START, FT_TRANSACTION_SYNC, FT_MARK_COMPLETE,
                             FT_INSTALL_FILE, FT_MARK_COMPLETE, FT_QUIT};
    EXPECT_EQ(want, peer.commands);
    EXPECT_TRUE(peer.sawCmdTag);
    EXPECT_EQ(FT_END_OF_FILES, peer.entryCodes.back());
    // Deflate at level 6 shrinks the 'x' file, so fewer bytes than read went out.
    EXPECT_EQ(static_cast<long long>(big.size() + 5000 + 6 + 7), ft.stats().bytesRead);
    EXPECT_EQ(5, ft.stats().filesCopied);
}

TEST(FtEngine, ProtocolOneUsesPlainCodesAndNoTransactionSync) {
    TempDir dir;
    writeFile(dir.file("one.txt"), "hello");
    TestPeer peer;
    Ft ft;
    ft.addTransaction(transaction(dir.file("one.txt"), "/d"));
    Recorder rec;
    ASSERT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_1, &rec));
    EXPECT_FALSE(peer.sawCmdTag);
    std::vector<int> want = {FT_CREATE_DEST, FT_RECV_START, FT_MARK_COMPLETE, FT_INSTALL_FILE, FT_MARK_COMPLETE, FT_QUIT};
    EXPECT_EQ(want, peer.commands);
    EXPECT_EQ("hello", peer.files["one.txt"].content);
}

// A peer that closes at FT_QUIT without acknowledging it: an older peer
// (protocol 1) may end that way, a current one may not.
TEST(FtEngine, ClosingWithoutQuitAckFailsOnlyUnderProtocolTwo) {
    TempDir dir;
    writeFile(dir.file("one.txt"), "hello");
    for (int protocol : {FT_PROTOCOL_1, FT_PROTOCOL_2}) {
        SCOPED_TRACE(protocol);
        TestPeer peer;
        peer.noQuitAck = true;
        Ft ft;
        ft.addTransaction(transaction(dir.file("one.txt"), "/d"));
        Recorder rec;
        int rc = runAgainst(&peer, &ft, protocol, &rec);
        EXPECT_EQ(FT_QUIT, peer.commands.back());
        EXPECT_EQ("hello", peer.files["one.txt"].content);
        if (protocol == FT_PROTOCOL_1) {
            EXPECT_EQ(0, rc) << ft.errorText();
            EXPECT_TRUE(rec.failures.empty());
        } else {
            EXPECT_NE(0, rc);
            EXPECT_EQ("Unexpected protocol error reading from stream", ft.errorText());
        }
    }
}

namespace {

// The bytes written by write, as a message to read from.
struct Replies {
    explicit Replies(const std::function<void(MessageBase*)>& write) {
        Message m(1);
        write(&m);
        size_t n = 0;
        unsigned char* bytes = m.copyBytes(&n);
        in.reset(new Message(reinterpret_cast<const char*>(bytes) + 9, n - 9));
        free(bytes);
    }
    std::unique_ptr<Message> in;
};

void writeIndex(MessageBase* out, int mark, const char* name, bool withDigest) {
    out->writeInt32(mark);
    FtIndexRecord r;
    r.type = FT_TYPE_FILE;
    r.name = name;
    r.size = 5;
    r.mtimeMs = 1000;
    r.digest = "0123456789abcdef0123456789abcdef";
    r.write(out, withDigest);
    out->writeInt32(FT_END_OF_LIST);
}

}  // namespace

// Once a peer answered an index request with the plain mark, its later
// checksum marks are read as plain indexes too, and not announced.
TEST(FtEngine, APlainIndexMarkMakesLaterChecksumMarksPlain) {
    struct Case {
        std::vector<std::pair<int, bool>> replies;  // mark, with digests
        bool announced;
        const char* digest;
    };
    const Case cases[] = {
        {{{FT_INDEX_MARK_MD5, true}}, true, "0123456789abcdef0123456789abcdef"},
        {{{FT_INDEX_MARK, false}, {FT_INDEX_MARK_MD5, false}}, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replies.size());
        Replies r([&c](MessageBase* out) {
            for (const auto& reply : c.replies) writeIndex(out, reply.first, "last", reply.second);
        });
        char* text = nullptr;
        size_t length = 0;
        FILE* report = open_memstream(&text, &length);
        Message out(0);
        FtSession session(&out, r.in.get(), FT_PROTOCOL_1, nullptr, report);
        session.runReadThread();
        fclose(report);
        std::string printed(text, length);
        free(text);
        EXPECT_FALSE(session.hasError()) << session.errorText();
        EXPECT_TRUE(session.waitIndex());
        std::vector<_IndexEntry> index;
        session.takeIndex(&index);
        ASSERT_EQ(1u, index.size());
        EXPECT_EQ("last", index[0].name);
        EXPECT_EQ(c.digest, index[0].digest);
        EXPECT_EQ(c.announced, printed.find("Destination replied: FT_INDEX_MARK_MD5\n") != std::string::npos) << printed;
    }
}

// A peer's FT_ERROR: its reason becomes the session's error (kept to the
// error's size), its last text the second text and its first two the
// failed names; an error reported after it changes none of them.
TEST(FtEngine, APeersErrorKeepsItsReasonTextAndNames) {
    for (size_t reasonLength : {9u, 5000u}) {
        const std::string reason = "Disk full" + std::string(reasonLength - 9, 'x');
        Replies r([&reason](MessageBase* out) {
            out->writeInt32(FT_ERROR);
            for (const char* s : {"a.txt", "/dest", "install"}) out->writeString(s);
            out->writeString(reason.c_str());
            out->writeInt32(28);
            out->writeString("");
            out->writeInt32(FT_FAIL);
            out->writeString("later");
        });
        Message out(0);
        FtSession session(&out, r.in.get(), FT_PROTOCOL_1, nullptr, nullptr);
        session.runReadThread();
        EXPECT_TRUE(session.hasError());
        EXPECT_EQ(reason.substr(0, 4095), session.errorText());
        EXPECT_EQ("", session.errorDetail());
        EXPECT_EQ((std::pair<std::string, std::string>("a.txt", "/dest")), session.failedNames());
    }
}

namespace {

// Takes one connection, reads the opening the sender wrote on it (version,
// then the principal, 1 and the endpoint as object ids, or two strings) and
// hangs up.
struct OpeningReader : StreamConnectorListener {
    std::mutex lock;
    std::vector<std::string> openings;
    void onAccept(StreamConnector* connector, int socket, const char* peer) override {
        StreamConnection s(connector, socket, peer);
        std::string seen = "no handshake";
        if (s.accept() == 0) {
            MessageBase* in = s.getInMessage();
            int32_t version = 0;
            in->readInt32(&version);
            seen = std::to_string(version);
            if (version == FT_PROTOCOL_2) {
                for (int i = 0; i < 3; i++) {
                    unsigned int id = 0;
                    int32_t one = 0;
                    unsigned char* bytes = nullptr;
                    size_t n = 0;
                    if (i == 1) in->readInt32(&one);
                    else in->readOpaqueObject(&id, &bytes, &n);
                    free(bytes);
                    seen += " " + std::to_string(i == 1 ? one : static_cast<int>(id));
                }
            } else {
                for (int i = 0; i < 2; i++) {
                    char* s = nullptr;
                    in->readString(&s);
                    seen += s != nullptr ? " string" : " none";
                    free(s);
                }
            }
            if (in->getError() != 0) seen += " (broken)";
        }
        std::lock_guard<std::mutex> hold(lock);
        openings.push_back(seen);
    }
};

}  // namespace

// Only a destination whose agent is newer than 1.7.0 is offered protocol 2.
TEST(FtEngine, OnlyADestinationNewerThan10700GetsProtocolTwo) {
    dravika_init();
    Principal::registerXlators();
    exec_registerTranslators();
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    ASSERT_EQ(0, makeSelfSignedCertificate("ft", "/O=Dravika Test/CN=ft peer", 1024, 3600, &cert, &key));
    OpeningReader reader;
    TempDir dir;
    writeFile(dir.file("one.txt"), "hello");
    {
        StreamConnector connector(&reader, cert, key);
        connector.setBindAddress("127.0.0.1");
        ASSERT_EQ(0, connector.bind("0"));
        const std::pair<const char*, const char*> cases[] = {{"dravika-1.7.0", "1 string string"},
                                                             {"dravika-1.7.1", "2 97 1 4001"}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.first);
            Asset asset;
            asset.host = strdup("127.0.0.1");
            asset.ftport = connector.getPort();
            asset.agentVersion = strdup(c.first);
            Endpoint endpoint;
            Principal principal("security", "domain", "signature", 1);
            Ft ft;
            ft.addTransaction(transaction(dir.file("one.txt"), "/d"));
            Recorder rec;
            ASSERT_EQ(0, ft.preCopy(&rec));
            const std::string report = dir.file("report");
            // The reader hangs up after the opening: the session fails.
            EXPECT_NE(0, ft.copyTo(&principal, &asset, &endpoint, nullptr, nullptr, "text", &rec, report.c_str()));
            std::string expect = std::string("Negotiated protocol: ") + c.second[0] + "\n";
            EXPECT_NE(std::string::npos, readFile(report).find(expect)) << readFile(report);
            std::lock_guard<std::mutex> hold(reader.lock);
            ASSERT_FALSE(reader.openings.empty());
            EXPECT_EQ(c.second, reader.openings.back());
        }
    }
    X509_free(cert);
    EVP_PKEY_free(key);
}

// Files whose extension says they are compressed already go at level 0,
// as stored blocks that the receiver's inflate takes (and checks) like any
// other stream, at any length, including none and whole writes exactly.
TEST(FtEngine, LevelZeroFilesGoStoredAndArriveWhole) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    const std::map<std::string, std::string> files = {{"photo.JPG", std::string(600000, 'j')},
                                                      {"exact.gz", std::string(65535 * 8, 'z')},
                                                      {"empty.zip", ""},
                                                      {"odd.png", randomBytes(65536, 9)},
                                                      {"small.jpg", randomBytes(1000, 5)}};
    long long total = 0;
    for (const auto& f : files) {
        writeFile(src + "/" + f.first, f.second);
        total += static_cast<long long>(f.second.size());
    }
    TestPeer peer;
    Ft ft;
    // What each file took on the wire, as the progress reports it.
    struct SentBytes : Recorder {
        std::map<std::string, long long> sent;
        void progress(const char* name, const char*, const char* what, long long, long long bytes, long long,
                      FtTransaction*) override {
            if (what != nullptr && strcmp(what, "sent") == 0) sent[name] = bytes;
        }
    } rec;
    ft.addTransaction(transaction(src, "/d"));
    ASSERT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec));
    EXPECT_TRUE(peer.problems.empty()) << peer.problems[0];
    for (const auto& f : files) EXPECT_EQ(f.second, peer.files[f.first].content) << f.first;
    // Nothing was deflated: repeated bytes went out at their full size, and
    // each file is reported with all of its bytes, also those still waiting
    // in the session's buffer when the file was done.
    EXPECT_GT(ft.stats().bytesTransmitted, total);
    for (const auto& f : files) EXPECT_GT(rec.sent[f.first], static_cast<long long>(f.second.size())) << f.first;
}

// A modified-only transfer of src to "/dest" against peer, which holds
// dest before it; with indexDir, the sender keeps its index there (named
// indexName when given, with digests when md5).
static int modifiedOnlyRun(TestPeer* peer, Ft* ft, const std::string& src, const std::map<std::string, PeerNode>& dest,
                           const char* indexDir = nullptr, const char* indexName = nullptr, bool md5 = false) {
    peer->files = dest;
    if (indexDir != nullptr) ft->setIndexDirectory(indexDir);
    FtTransaction* t = transaction(src, "/dest");
    t->modifiedOnly = true;
    t->indexMd5 = md5;
    if (indexName != nullptr) t->setIndexName(indexName);
    return runOne(peer, t, ft);
}

TEST(FtEngine, SecondRunWithIndexSendsNothingAndLocalIndexSkipsTheFetch) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/a", "alpha");
    writeFile(src + "/b", randomBytes(20000, 2));
    mkdir((src + "/d").c_str(), 0755);
    writeFile(src + "/d/c", "gamma");

    std::map<std::string, PeerNode> dest;
    for (int run = 0; run < 3; run++) {
        TestPeer peer;
        Ft ft;
        // The third run reads the index the second one wrote.
        ASSERT_EQ(0, modifiedOnlyRun(&peer, &ft, src, dest, dir.path().c_str(), run >= 1 ? "idx" : nullptr)) << run;
        EXPECT_TRUE(peer.problems.empty());
        if (run == 0) {
            EXPECT_EQ(3, ft.stats().filesCopied);
        } else {
            EXPECT_EQ(0, ft.stats().filesCopied) << run;
            EXPECT_EQ(3, ft.stats().filesSkipped) << run;
            EXPECT_EQ(0, peer.wholeBytes) << run;
        }
        EXPECT_EQ(run < 2, peer.count(FT_INDEX_START) > 0) << run;
        EXPECT_EQ(run == 2, peer.count(FT_INSTALL_IN_PLACE) > 0) << run;
        dest = peer.files;
    }
    // A changed file is sent again, and only it; without a partial-update
    // algorithm it still goes as an entry the index knows, a new one not.
    writeFile(src + "/a", "alpha2");
    writeFile(src + "/new", "n");
    TestPeer peer;
    Ft ft;
    ASSERT_EQ(0, modifiedOnlyRun(&peer, &ft, src, dest));
    EXPECT_EQ(2, ft.stats().filesCopied);
    EXPECT_EQ("alpha2", peer.files["a"].content);
    EXPECT_EQ("n", peer.files["new"].content);
    EXPECT_EQ(1, std::count(peer.entryCodes.begin(), peer.entryCodes.end(), FT_RECV_PART2_KNOWN));
}

// Folders the index knows still go, so that a changed mode or time
// reaches the destination; they count neither as copied nor as skipped.
TEST(FtEngine, KnownFoldersAreSentAgainWithTheirModeAndTime) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    mkdir((src + "/d").c_str(), 0755);
    writeFile(src + "/d/f", "file");
    std::map<std::string, PeerNode> dest;
    for (int run = 0; run < 2; run++) {
        if (run == 1) {
            chmod((src + "/d").c_str(), 0700);
            setMtime(src + "/d", 1400000000);
        }
        TestPeer peer;
        Ft ft;
        ASSERT_EQ(0, modifiedOnlyRun(&peer, &ft, src, dest)) << run;
        EXPECT_EQ(run == 0 ? 1 : 0, ft.stats().filesCopied) << run;
        EXPECT_EQ(run == 0 ? 0 : 1, ft.stats().filesSkipped) << run;
        dest = peer.files;
    }
    ASSERT_EQ(1u, dest.count("d"));
    EXPECT_EQ(FT_TYPE_DIRECTORY, dest["d"].type);
    EXPECT_EQ(0700, dest["d"].mode & 07777);
    EXPECT_EQ(1400000000000LL, dest["d"].mtimeMs);
}

// A peer of the first protocol echoes no transaction, so its refusal of a
// file can come after the whole list went out. The run fails, and no local
// index claims the refused file: the next run asks the destination again
// and sends the file, instead of taking it as delivered.
TEST(FtEngine, AnOldPeersLateRefusalLeavesNoLocalIndex) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/a", "alpha");
    for (int run = 0; run < 2; run++) {
        TestPeer peer;
        peer.failFirstFileLate = run == 0;
        Ft ft;
        ft.setIndexDirectory(dir.path().c_str());
        FtTransaction* t = transaction(src, "/dest");
        t->modifiedOnly = true;
        t->setIndexName("idx");
        ft.addTransaction(t);
        Recorder rec;
        int rc = runAgainst(&peer, &ft, FT_PROTOCOL_1, &rec);
        EXPECT_EQ(run == 0 ? -1 : 0, rc) << run;
        EXPECT_EQ(1, peer.count(FT_INDEX_START)) << run << ": the index is asked of the destination";
        EXPECT_EQ(1, ft.stats().filesCopied) << run;
    }
}

// An entry the destination lists as neither file, folder nor link is kept
// in the local index like the others, and that index is read back.
TEST(FtEngine, LocalIndexKeepsOtherEntriesAndIsUsedNextTime) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/a", "alpha");
    ASSERT_EQ(0, mkfifo((src + "/p").c_str(), 0644));
    std::map<std::string, PeerNode> dest;
    dest["p"].type = FT_TYPE_OTHER;
    dest["p"].mtimeMs = 1500000000000LL;
    for (int run = 0; run < 2; run++) {
        TestPeer peer;
        Ft ft;
        ASSERT_EQ(0, modifiedOnlyRun(&peer, &ft, src, dest, dir.path().c_str(), "idx")) << run;
        EXPECT_EQ(run == 0, peer.count(FT_INDEX_START) > 0) << run;
        EXPECT_EQ(run == 1, peer.count(FT_INSTALL_IN_PLACE) > 0) << run;
        EXPECT_EQ(run == 0 ? 1 : 0, ft.stats().filesCopied) << run;
        dest = peer.files;
    }
}

// With checksums, the local index holds the digest of each file sent, so
// that the next run notices a change that kept the size and the time.
TEST(FtEngine, LocalIndexWithChecksumsCatchesAChangeThatKeptSizeAndTime) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/a", "alpha");
    setMtime(src + "/a", 1500000000);
    std::map<std::string, PeerNode> dest;
    for (int run = 0; run < 2; run++) {
        if (run == 1) {
            writeFile(src + "/a", "ALPHA");
            setMtime(src + "/a", 1500000000);
        }
        TestPeer peer;
        Ft ft;
        ASSERT_EQ(0, modifiedOnlyRun(&peer, &ft, src, dest, dir.path().c_str(), "idx", true)) << run;
        EXPECT_EQ(run == 1, peer.count(FT_INSTALL_IN_PLACE) > 0) << run;
        EXPECT_EQ(1, ft.stats().filesCopied) << run;
        dest = peer.files;
    }
    EXPECT_EQ("ALPHA", dest["a"].content);

    // Without an index file nothing keeps the digest: a file sent is read
    // once, for sending, and not again to checksum it.
    struct CountingSfs : UnixSfs {
        CountingSfs() : UnixSfs(nullptr) {}
        std::map<std::string, int> opens;
        int open(const char* path, SfsFile** file, int flags, int mode, bool adjust) override {
            opens[path]++;
            return UnixSfs::open(path, file, flags, mode, adjust);
        }
    };
    TestPeer peer;
    Ft ft;
    CountingSfs* sfs = new CountingSfs;
    ft.setFileSystem(sfs);
    ASSERT_EQ(0, modifiedOnlyRun(&peer, &ft, src, {}, nullptr, nullptr, true));
    EXPECT_EQ(1, ft.stats().filesCopied);
    EXPECT_EQ(1, sfs->opens[src + "/a"]);
}

TEST(FtEngine, RollingUpdateSendsOnlyTheChangedBlocks) {
    TempDir dir;
    std::string src = dir.file("data");
    std::string old = randomBytes(2000000, 3);
    std::string now = old;
    // 1% of the bytes, in two places, changed in place; plus 100 bytes appended.
    for (size_t i = 0; i < 10000; i++) now[500000 + i] ^= 0x5a;
    for (size_t i = 0; i < 10000; i++) now[1500000 + i] ^= 0x33;
    // 37 bytes inserted: the blocks after them are found only by rolling.
    now.insert(1000000, randomBytes(37, 5));
    now += randomBytes(100, 4);
    writeFile(src, now);
    setMtime(src, 1600000000);

    TestPeer peer;
    peer.has("data", old, 1500000000000LL);
    ASSERT_EQ(0, runOne(&peer, updateOf(src, 2)));
    EXPECT_TRUE(peer.problems.empty()) << peer.problems[0];
    ASSERT_EQ(now, peer.files["data"].content);
    EXPECT_EQ(0, peer.wholeBytes);
    // Each change touches at most two blocks of 1472 bytes (sqrt of 2 MB
    // rounded up to 64), plus the insertion's block and the appended tail.
    EXPECT_LE(peer.literalBytes, 2 * (10000 + 2 * 1472) + (37 + 2 * 1472) + 100 + 1472);
    EXPECT_GT(peer.copiedBlocks, 1300);
}

TEST(FtEngine, AppendCheckSendsOnlyTheNewTailOrTheWholeFileWhenThePrefixDiffers) {
    for (bool samePrefix : {true, false}) {
        TempDir dir;
        std::string src = dir.file("log");
        std::string old = randomBytes(10000, 5);
        std::string now = old + "appended bytes";
        if (!samePrefix) now[10] ^= 1;
        writeFile(src, now);
        TestPeer peer;
        peer.has("log", old, 0);
        ASSERT_EQ(0, runOne(&peer, updateOf(src, 1)));
        EXPECT_TRUE(peer.problems.empty());
        EXPECT_EQ(now, peer.files["log"].content);
        EXPECT_EQ(samePrefix ? 14 : 0, peer.literalBytes);
        EXPECT_EQ(samePrefix ? 0 : static_cast<long long>(now.size()), peer.wholeBytes);
    }
}

TEST(FtEngine, NewerDestinationCopyIsSentWhole) {
    TempDir dir;
    std::string src = dir.file("f");
    writeFile(src, randomBytes(50000, 6));
    setMtime(src, 1600000000);
    TestPeer peer;
    peer.has("f", randomBytes(40000, 7), 1600000001500LL);
    ASSERT_EQ(0, runOne(&peer, updateOf(src, 2)));
    EXPECT_EQ(50000, peer.wholeBytes);
    EXPECT_EQ(0, peer.literalBytes);
}

// Only protection and the name lost+found keep an entry the source does
// not send: an excluded name is removed like a vanished one.
TEST(FtEngine, RemovalSparesProtectedAndLostFoundEntriesOnly) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    mkdir((src + "/build").c_str(), 0755);
    for (const char* f : {"/kept", "/cache.tmp", "/notes.tmp", "/build/obj"}) writeFile(src + f, "k");
    TestPeer peer;
    for (const char* name : {"kept", "gone", "lost+found", "lost+found2", "data", "data/keep", "olddir", "olddir/x",
                             "olddir/y", "cache.tmp", "notes.tmp", "keep2", "build", "build/keep", "build/obj"}) {
        PeerNode n;
        if (strcmp(name, "data") == 0 || strcmp(name, "olddir") == 0 || strcmp(name, "build") == 0)
            n.type = FT_TYPE_DIRECTORY;
        peer.files[name] = n;
    }
    FtTransaction* t = transaction(src, "/dest");
    t->removeMissing = true;
    t->addFilter(PAT_PROTECT, "notes\\.tmp");
    t->addFilter(PAT_PROTECT, "keep|keep2");
    t->addFilter(PAT_EXCLUDE, ".*\\.tmp");
    t->addFilter(PAT_EXCLUDE, "build/");
    ASSERT_EQ(0, runOne(&peer, t));
    // build stays for its protected keep; the excluded build/obj and
    // cache.tmp go although the source has them.
    std::vector<std::string> want = {"/dest/build/obj", "/dest/cache.tmp", "/dest/gone", "/dest/lost+found2",
                                     "/dest/olddir"};
    EXPECT_EQ(want, peer.removed);
    EXPECT_EQ("", peer.files["cache.tmp"].content) << "an excluded file is not sent";
    EXPECT_EQ("k", peer.files["notes.tmp"].content) << "the protect filter comes first, so it is not excluded";

    // A single file as the source removes nothing beside it.
    TestPeer single;
    single.files["other"] = PeerNode();
    FtTransaction* t1 = transaction(src + "/kept", "/dest");
    t1->removeMissing = true;
    ASSERT_EQ(0, runOne(&single, t1));
    EXPECT_TRUE(single.removed.empty());
    EXPECT_EQ("k", single.files["kept"].content);
}

// A peer's error, or a peer gone in the middle of a file, ends the session
// with a reported error instead of a hang or a next transaction.
TEST(FtEngine, PeerErrorOrDropEndsTheSession) {
    TempDir dir;
    writeFile(dir.file("x"), randomBytes(3000000, 8));
    for (bool drop : {false, true}) {
        TestPeer peer;
        peer.failFirstFile = !drop;
        peer.dropOnFirstFile = drop;
        Ft ft;
        ft.addTransaction(transaction(dir.file("x"), "/d1"));
        ft.addTransaction(transaction(dir.file("x"), "/d2"));
        Recorder rec;
        EXPECT_NE(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec)) << drop;
        EXPECT_FALSE(ft.errorText().empty()) << drop;
        EXPECT_EQ(1, peer.count(FT_RECV_START)) << drop;
        if (drop) continue;
        EXPECT_EQ("Disk full", ft.errorText());
        ASSERT_FALSE(rec.failures.empty());
        EXPECT_EQ("Disk full", rec.failures.back());
    }
}

TEST(FtEngine, PreCopyIsRequiredAndReportFileEndsWithSummary) {
    TempDir dir;
    writeFile(dir.file("x"), std::string(1000, 'a'));
    Ft ft;
    ft.addTransaction(transaction(dir.file("x"), "/d"));
    Recorder rec;
    EXPECT_EQ(-1, ft.copyTo(nullptr, "127.0.0.1", "1", nullptr, nullptr, &rec, nullptr));
    ASSERT_EQ(1u, rec.failures.size());
    EXPECT_EQ("preCopy must be called first", rec.failures[0]);

    TestPeer peer;
    FILE* report = fopen(dir.file("report").c_str(), "w");
    ASSERT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec, report));
    fclose(report);
    std::string text = readFile(dir.file("report"));
    EXPECT_NE(std::string::npos, text.find("      Total Files Copied: 1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("        Total Bytes Read: 1,000\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\n-----\n"));
    // A thousand 'a's deflate to a few bytes: the compression line is high.
    size_t at = text.find("Compression: ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_GT(atof(text.c_str() + at + 13), 50.0);
}

TEST(FtEngine, CancelStableTimeBandwidthAndMove) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/app.log", "fresh");
    writeFile(src + "/old.log", "rested");
    setMtime(src + "/old.log", time(nullptr) - 120);
    writeFile(src + "/data", "payload");
    {
        TestPeer peer;
        FtTransaction* t = transaction(src + "/", "/d");
        t->setStableTime(".log/60");
        t->bandwidth = 2;
        t->bandwidthUnit = 2;
        t->move = true;
        ASSERT_EQ(0, runOne(&peer, t));
        EXPECT_EQ(0u, peer.files.count("app.log"));
        EXPECT_EQ("rested", peer.files["old.log"].content);
        EXPECT_DOUBLE_EQ(2000.0, peer.bandwidth);
        EXPECT_EQ(FT_SET_BANDWIDTH, peer.commands.front());
        // Moved: what was sent is gone from the source, the rest stays.
        EXPECT_NE(0, access((src + "/data").c_str(), F_OK));
        EXPECT_NE(0, access((src + "/old.log").c_str(), F_OK));
        EXPECT_EQ(0, access((src + "/app.log").c_str(), F_OK));
    }
    {
        writeFile(src + "/one", "1");
        writeFile(src + "/two", "2");
        TestPeer peer;
        Ft ft;
        ft.addTransaction(transaction(src, "/d"));
        struct Canceller : Recorder {
            Ft* ft = nullptr;
            void progress(const char*, const char*, const char* what, long long, long long, long long, FtTransaction*) override {
                if (what != nullptr && strcmp(what, "sent") == 0) ft->cancel();
            }
        } rec;
        rec.ft = &ft;
        EXPECT_NE(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec));
        EXPECT_EQ(1u, peer.files.size());
        EXPECT_EQ(FT_CANCEL, peer.commands[peer.commands.size() - 2]);
        EXPECT_EQ(0, peer.count(FT_MARK_COMPLETE));
    }
}

// A cancel that comes while a file is being read: the receiver is told to
// drop what arrived of it rather than install a short file, at level 0 as
// at other levels, and the report and the error name the file.
TEST(FtEngine, CancelWhileAFileIsReadDropsThatFile) {
    struct CancellingSfs : UnixSfs {
        CancellingSfs() : UnixSfs(nullptr) {}
        Ft* ft = nullptr;
        int open(const char* p, SfsFile** file, int flags, int mode, bool adjust) override {
            ft->cancel();
            return UnixSfs::open(p, file, flags, mode, adjust);
        }
    };
    for (const char* name : {"f.txt", "f.jpg"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string path = dir.file(name);
        writeFile(path, std::string(100000, 'c'));
        TestPeer peer;
        Ft ft;
        CancellingSfs* sfs = new CancellingSfs;
        sfs->ft = &ft;
        ft.setFileSystem(sfs);
        ft.addTransaction(transaction(path, "/d"));
        Recorder rec;
        FILE* report = fopen(dir.file("report").c_str(), "w");
        EXPECT_NE(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec, report));
        fclose(report);
        EXPECT_TRUE(peer.problems.empty()) << peer.problems[0];
        EXPECT_EQ(0u, peer.files.count(name));
        EXPECT_EQ("File not copied due to cancel: " + path, ft.errorText());
        EXPECT_EQ(1, peer.count(FT_CANCEL));
        EXPECT_NE(std::string::npos,
                  readFile(dir.file("report")).find("Error: " + path + "\n    File was not copied due to cancel\n"));
    }
}

// A preview walks what a copy would send, for a source named relative to
// the current directory as for an absolute one.
TEST(FtEngine, PreviewListsTheEntriesOfRelativeAndAbsoluteSources) {
    TempDir dir;
    makeSrc(dir);
    mkdir(dir.file("src/d").c_str(), 0755);
    writeFile(dir.file("src/a"), "alpha");
    writeFile(dir.file("src/d/c"), "gamma");
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    for (const std::string& source : {dir.file("src"), std::string("src"), std::string("./src/")}) {
        Ft ft;
        FtTransaction* t = transaction(source, "/dest");
        t->recursive = true;
        ft.addTransaction(t);
        std::string listed;
        EXPECT_EQ(0, ft.preview(&listed)) << source;
        EXPECT_EQ("a\nd\nd/c\n", listed) << source;
    }
    ASSERT_EQ(0, chdir(cwd));
}

namespace {

// Runs ft against a peer set to stall, cancels once it has, and says
// whether the run then ended by itself; a run that did not is ended by
// hanging up, so that a failure cannot hang the test.
bool cancelOnStall(TestPeer* peer, Ft* ft, int* rc) {
    Recorder rec;
    std::atomic<bool> done{false};
    std::thread runner([&] {
        *rc = runAgainst(peer, ft, FT_PROTOCOL_2, &rec);
        done = true;
    });
    for (int i = 0; i < 6000 && !peer->stalled; i++) usleep(10000);
    bool stalled = peer->stalled;
    ft->cancel();
    // A bound for the failure only; a cancel is seen within a wait step.
    for (int i = 0; i < 6000 && !done; i++) usleep(10000);
    bool endedByCancel = done;
    if (!endedByCancel) peer->hangUp();
    runner.join();
    return stalled && endedByCancel;
}

}  // namespace

// A cancel ends the sender's wait for a peer that stopped answering but
// keeps the connection open, for its index or for the end of a
// transaction: the session closes as cancelled, rather than waiting for an
// answer that does not come.
TEST(FtEngine, CancelEndsTheWaitForAStalledPeer) {
    for (int stallOn : {FT_INDEX_START, FT_TRANSACTION_SYNC}) {
        SCOPED_TRACE(stallOn);
        TempDir dir;
        const std::string src = makeSrc(dir);
        writeFile(src + "/a", "alpha");
        TestPeer peer;
        peer.stallOn = stallOn;
        Ft ft;
        ft.addTransaction(updateOf(src, 0));
        int rc = 0;
        EXPECT_TRUE(cancelOnStall(&peer, &ft, &rc));
        EXPECT_NE(0, rc);
        EXPECT_EQ("File transfer canceled", ft.errorText());
        EXPECT_EQ(1, peer.count(FT_CANCEL));
        EXPECT_TRUE(peer.problems.empty());
    }
}

// The same while a partial update waits for the destination's digest or
// block signatures: the exchange is closed so that the destination keeps
// its copy, and the file is reported as not copied.
TEST(FtEngine, CancelEndsTheWaitForAPartialUpdateAnswer) {
    for (int algorithm : {1, 2}) {
        SCOPED_TRACE(algorithm);
        TempDir dir;
        const std::string src = makeSrc(dir);
        const std::string path = src + "/f";
        writeFile(path, std::string(6000, 'a'));
        setMtime(path, 1600000000);
        TestPeer peer;
        peer.has("f", std::string(5000, 'a'), 1600000000000LL);
        peer.stallOn = algorithm == 1 ? FT_SYNC_FIND_MD5 : FT_SYNC_ROLLING_START;
        Ft ft;
        ft.addTransaction(updateOf(src, algorithm));
        int rc = 0;
        EXPECT_TRUE(cancelOnStall(&peer, &ft, &rc));
        EXPECT_NE(0, rc);
        EXPECT_EQ("File not copied due to cancel: " + path, ft.errorText());
        EXPECT_EQ(1, peer.count(FT_CANCEL));
        EXPECT_EQ(std::string(5000, 'a'), peer.files["f"].content);
        EXPECT_TRUE(peer.problems.empty());
    }
}
