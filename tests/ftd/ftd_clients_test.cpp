// The single-file clients against the receiving service on loopback:
// FileCopy feeding an Input, RemoteWriter behind an Output, the directory's
// routing of a local provider's files, and drvft get and put.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "common/error_codes.h"
#include "coms/tls.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "ft/file_copy.h"
#include "ft/remote_writer.h"
#include "io/input.h"
#include "io/output.h"
#include "tests/ftd/ftd_peer.h"
#include "tests/dir/remote_seam_stub.h"
#include "tests/dir/stub_spi.h"
#include "tests/support/full_listener.h"
#include "tools/drvft_getput.h"

using namespace ftdtest;

namespace {

std::string readAll(Input* in, int* last) {
    std::string got;
    unsigned char buf[70000];
    int n;
    while ((n = in->read(buf, sizeof(buf))) > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    *last = n;
    return got;
}

// A local provider with nothing to resolve: only its kind matters here.
class LocalSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry*,
                DirectoryObject*& out) override {
        out = nullptr;
        return 0;
    }
};

// A remote provider as the routing sees it: a network provider whose
// asset's file service the seam reports.
class RemoteSPI : public LocalSPI {
public:
    bool isNetworkSPI() override { return true; }
};

class FileServiceSeam : public RemoteSeamStub {
public:
    std::string host, port;  // empty: the provider gives no file service
    bool fileServiceOf(DirectorySPI*, std::string* h, std::string* p) override {
        *h = host;
        *p = port;
        return !host.empty();
    }
};

// A file service that sends the chunks it is given, then perhaps the size
// of one more whose bytes never follow, and then stalls with the connection
// open until the client goes away: a transfer to cancel.
class StallingService : public StreamConnectorListener {
public:
    // What the next client gets; the previous client's thread may still be
    // finishing when the test sets it.
    void setPlan(const std::vector<std::string>& chunks, long long announce) {
        std::lock_guard<std::mutex> hold(_lock);
        _chunks = chunks;
        _announce = announce;
    }

    void onAccept(StreamConnector* connector, int socket, const char* peer) override {
        std::vector<std::string> chunks;
        long long announce;
        {
            std::lock_guard<std::mutex> hold(_lock);
            chunks = _chunks;
            announce = _announce;
        }
        StreamConnection s(connector, socket, peer);
        if (s.accept() != 0) return;
        StreamMessage* in = s.getInMessage();
        int32_t protocol = 0, command = 0;
        char* texts[3] = {};
        in->readInt32(&protocol);
        in->readString(&texts[0]);
        in->readString(&texts[1]);
        ftReadCommand(in, &command);
        in->readString(&texts[2]);
        for (char* t : texts) free(t);
        StreamMessage* out = s.getOutMessage();
        for (const std::string& c : chunks) {
            out->writeInt64(static_cast<int64_t>(c.size()));
            out->writeBytes(c.data(), c.size());
        }
        if (announce != 0) out->writeInt64(announce);
        int32_t more = 0;
        in->readInt32(&more);  // returns once the client has shut the connection down
    }

private:
    std::mutex _lock;
    std::vector<std::string> _chunks;
    long long _announce = 0;  // 0: no chunk size after the chunks
};

// What fn writes to standard error.
std::string stderrOf(const std::function<void()>& fn) {
    TempDir t;
    fflush(stderr);
    int saved = dup(2);
    int fd = open(t.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
    dup2(fd, 2);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return readFile(t.file("err"));
}

}  // namespace

TEST(FileCopy, FeedsAnInputAndReportsRefusals) {
    Service s;
    // Crosses the service's 1 MiB chunks and the reader's buffer size.
    const std::string content = randomBytes(2 * 1024 * 1024 + 333, 11);
    mkdir(s.path("files").c_str(), 0755);
    writeFile(s.path("files/blob"), content);
    writeFile(s.path("files/empty"), "");
    writeFile(s.outside + "/secret", "secret");

    struct Case {
        const char* path;
        const std::string* want;  // null: refused
    } cases[] = {{"files/blob", &content}, {"files/empty", nullptr}, {"files/missing", nullptr},
                 {"../outside/secret", nullptr}, {"files", nullptr}};
    const std::string empty;
    cases[1].want = &empty;
    for (const Case& c : cases) {
        Input* in = new Input(-1, nullptr, nullptr);
        in->setWaitTimes(20000, 20000);
        FileCopy* copy = new FileCopy("127.0.0.1", s.port().c_str(), c.path, nullptr, nullptr, nullptr, in);
        in->setFileCopy(copy);
        ASSERT_EQ(0, copy->start());
        int last = 0;
        std::string got = readAll(in, &last);
        if (c.want != nullptr) {
            EXPECT_EQ(-1, last) << c.path;
            EXPECT_TRUE(*c.want == got) << c.path << ": " << got.size() << " bytes";
            EXPECT_EQ(0, in->errorCode()) << c.path;
            // Closing after the whole file arrived takes nothing away.
            in->close();
            in->seek(0);
            EXPECT_TRUE(*c.want == readAll(in, &last)) << c.path;
            EXPECT_EQ(-1, last) << c.path;
            EXPECT_EQ(0, in->errorCode()) << c.path;
        } else {
            EXPECT_EQ(-2, last) << c.path;
            EXPECT_EQ("", got) << c.path;
            char text[256];
            in->errorText(text, sizeof(text));
            EXPECT_STRNE("", text) << c.path;
        }
        delete in;  // cancels and joins the copy
    }

    // Nobody listening: the connection error reaches the input.
    Input* in = new Input(-1, nullptr, nullptr);
    FileCopy* copy = new FileCopy("127.0.0.1", "1", "x", nullptr, nullptr, nullptr, in);
    in->setFileCopy(copy);
    copy->start();
    int last = 0;
    EXPECT_EQ("", readAll(in, &last));
    EXPECT_EQ(-2, last);
    delete in;
}

TEST(FileCopy, ACancelledCopyFailsItsReadersAtOnce) {
    dravika_init();
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    ASSERT_EQ(0, makeSelfSignedCertificate("stall", "/O=Dravika Test/CN=stall", 1024, 3600, &cert, &key));
    StallingService service;
    {
        StreamConnector connector(&service, cert, key);
        connector.setBindAddress("127.0.0.1");
        ASSERT_EQ(0, connector.bind("0"));
        std::string port = std::to_string(connector.getPort());
        struct Case {
            const char* when;
            std::vector<std::string> chunks;
            long long announce;
        } cases[] = {{"before any data", {}, 0}, {"between chunks", {"hello"}, 0}, {"inside a chunk", {"hello"}, 100}};
        for (const Case& c : cases) {
            service.setPlan(c.chunks, c.announce);
            Input* in = new Input(-1, nullptr, nullptr);
            // Long enough that a reader left waiting shows as a time-out text.
            in->setWaitTimes(10000, 10000);
            FileCopy* copy = new FileCopy("127.0.0.1", port.c_str(), "f", nullptr, nullptr, nullptr, in);
            in->setFileCopy(copy);
            ASSERT_EQ(0, copy->start());
            unsigned char buf[64];
            if (!c.chunks.empty()) {
                EXPECT_EQ(5, in->read(buf, 5)) << c.when;
            }
            // A reader waiting for what has not come yet wakes with the error;
            // so does every later read.
            int waited = 0;
            std::thread reader([&] { waited = in->read(buf, sizeof(buf)); });
            while (in->readerCount() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            in->close();
            reader.join();
            EXPECT_EQ(-2, waited) << c.when;
            EXPECT_EQ(-2, in->read(buf, sizeof(buf))) << c.when;
            char text[256];
            in->errorText(text, sizeof(text));
            EXPECT_STREQ("FileCopy: transfer cancelled", text) << c.when;
            EXPECT_EQ(DirError::E_IO, in->errorCode()) << c.when;
            EXPECT_EQ(DirError::E_IO, copy->result()) << c.when;
            delete in;
        }
    }
    X509_free(cert);
    EVP_PKEY_free(key);
}

// A cancel while the connect still waits for a peer that does not answer
// ends the copy at once, as one after the connect does.
TEST(FileCopy, ACancelEndsAConnectThatWaits) {
    dravika_init();
    FullListener nobody;
    ASSERT_TRUE(nobody.full) << "the listener's queue could not be filled";
    Input* in = new Input(-1, nullptr, nullptr);
    in->setWaitTimes(30000, 30000);
    FileCopy* copy = new FileCopy("127.0.0.1", nobody.port.c_str(), "f", nullptr, nullptr, nullptr, in);
    in->setFileCopy(copy);
    ASSERT_EQ(0, copy->start());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = std::chrono::steady_clock::now();
    copy->cancel();
    unsigned char buf[16];
    EXPECT_EQ(-2, in->read(buf, sizeof(buf)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "the cancel waited for the connect";
    char text[256];
    in->errorText(text, sizeof(text));
    EXPECT_STREQ("FileCopy: transfer cancelled", text);
    EXPECT_EQ(DirError::E_IO, copy->result());
    delete in;
}

TEST(RemoteWriter, WritesAFileThatAppearsOnlyWhenClosed) {
    Service s;
    RemoteWriter* writer = new RemoteWriter("127.0.0.1", s.port().c_str(), "out/new file", nullptr, nullptr,
                                            nullptr, 0640);
    ASSERT_EQ(0, writer->start());
    Output out(writer, 0640);
    writer->setOutput(&out);
    std::string first = "hello, ";
    std::string second = "world";
    EXPECT_EQ(7, out.write(reinterpret_cast<unsigned char*>(&first[0]), 7));
    out.seek(100);
    EXPECT_EQ(5, out.write(reinterpret_cast<unsigned char*>(&second[0]), 5));
    out.seek(7);
    EXPECT_EQ(5, out.write(reinterpret_cast<unsigned char*>(&second[0]), 5));
    struct stat st;
    EXPECT_NE(0, stat(s.path("out/new file").c_str(), &st)) << "nothing is installed before close";
    EXPECT_EQ(0, out.close());
    std::string want = "hello, world" + std::string(88, '\0') + "world";
    EXPECT_EQ(want, readFile(s.path("out/new file")));
    ASSERT_EQ(0, stat(s.path("out/new file").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);

    for (const char* bad : {"../outside/x", "/etc/x", ""}) {
        RemoteWriter refused("127.0.0.1", s.port().c_str(), bad, nullptr, nullptr, nullptr, 0644);
        EXPECT_EQ(28, refused.start()) << bad;
        EXPECT_FALSE(refused.errorText().empty()) << bad;
    }
    EXPECT_EQ("", readFile(s.outside + "/x"));

    // A writer dropped without close leaves nothing behind.
    {
        RemoteWriter dropped("127.0.0.1", s.port().c_str(), "out/dropped", nullptr, nullptr, nullptr, 0644);
        ASSERT_EQ(0, dropped.start());
        unsigned char b[3] = {1, 2, 3};
        EXPECT_EQ(3, dropped.write(0, b, 3));
    }
    for (int i = 0; i < 500 && s.server->liveSessions() > 0; i++) usleep(10000);
    EXPECT_NE(0, stat(s.path("out/dropped").c_str(), &st));
}

// A write that fails after the start does not keep close from ending the
// exchange: the end marker still goes out and the peer's status is read
// (the peer then installs what it got), and close reports the failure.
TEST(RemoteWriter, CloseEndsTheExchangeEvenAfterAFailedWrite) {
    Service s;
    RemoteWriter failing("127.0.0.1", s.port().c_str(), "out/partial", nullptr, nullptr, nullptr, 0644);
    ASSERT_EQ(0, failing.start());
    unsigned char b[3] = {'a', 'b', 'c'};
    EXPECT_EQ(3, failing.write(0, b, 3));
    EXPECT_EQ(-1, failing.write(-1, b, 3)) << "a negative offset would read as the end marker";
    EXPECT_EQ(-1, failing.write(3, b, 3)) << "nothing more after a failure";
    EXPECT_EQ(28, failing.close());
    EXPECT_EQ("RemoteWriter: negative offset", failing.errorText());
    EXPECT_EQ("abc", readFile(s.path("out/partial"))) << "the peer got the end marker and answered";
}

// Holes count over the whole file: writes that each start a little past
// the end cannot add up to a vast sparse file for the service to keep and
// digest.
TEST(RemoteWriter, HolesAreBoundedForTheWholeFile) {
    Service s;
    RemoteWriter writer("127.0.0.1", s.port().c_str(), "out/sparse", nullptr, nullptr, nullptr, 0644);
    ASSERT_EQ(0, writer.start());
    unsigned char b = 'z';
    const long long step = 40LL << 20;
    for (long long off = step; off <= 2 * step; off += step) EXPECT_EQ(1, writer.write(off, &b, 1)) << off;
    EXPECT_EQ(28, writer.close());
    EXPECT_NE(std::string::npos, writer.errorText().find("offset out of range")) << writer.errorText();
    struct stat st;
    EXPECT_NE(0, stat(s.path("out/sparse").c_str(), &st));

    // Holes within the bound, however many writes make them, are fine.
    RemoteWriter within("127.0.0.1", s.port().c_str(), "out/within", nullptr, nullptr, nullptr, 0644);
    ASSERT_EQ(0, within.start());
    for (long long off = 1 << 20; off <= 4 << 20; off += 1 << 20) EXPECT_EQ(1, within.write(off, &b, 1)) << off;
    EXPECT_EQ(0, within.close()) << within.errorText();
    ASSERT_EQ(0, stat(s.path("out/within").c_str(), &st));
    EXPECT_EQ((4 << 20) + 1, st.st_size);
}

// A local provider's files go through the local service; a remote
// provider's come from its asset's service, and there is no file without one.
TEST(FileRouting, ALocalProvidersFilesGoLocallyARemoteOnesToItsAssetsService) {
    Service s;
    writeFile(s.path("motd"), "message of the day\n");
    LocalSPI spi;
    RemoteSPI remote;
    int err = -1;
    Directory* dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "local", &err);
    ASSERT_EQ(0, err);
    ft_installFileOpener();
    ft_setLocalFileService("127.0.0.1", s.port().c_str());

    void* stream = nullptr;
    ASSERT_EQ(0, Directory::_openFile(dir, &spi, "motd", false, 0, &stream));
    Input* in = static_cast<Input*>(stream);
    int last = 0;
    EXPECT_EQ("message of the day\n", readAll(in, &last));
    EXPECT_EQ(-1, last);
    delete in;

    ASSERT_EQ(0, Directory::_openFile(dir, &spi, "written", true, 0600, &stream));
    Output* out = static_cast<Output*>(stream);
    unsigned char text[] = "routed";
    EXPECT_EQ(6, out->write(text, 6));
    EXPECT_EQ(0, out->close());
    delete out;
    EXPECT_EQ("routed", readFile(s.path("written")));

    // The local service now points nowhere: a read that arrives came from
    // the asset's service.
    ft_setLocalFileService("127.0.0.1", "1");
    FileServiceSeam seam;
    RemoteProviderSeam* saved = Directory::_remote;
    Directory::_remote = &seam;
    stream = nullptr;
    EXPECT_EQ(DirError::E_NOT_IMPLEMENTED, Directory::_openFile(dir, &remote, "motd", false, 0, &stream));
    EXPECT_EQ(nullptr, stream);
    seam.host = "127.0.0.1";
    seam.port = s.port();
    ASSERT_EQ(0, Directory::_openFile(dir, &remote, "motd", false, 0, &stream));
    in = static_cast<Input*>(stream);
    EXPECT_EQ("message of the day\n", readAll(in, &last));
    EXPECT_EQ(-1, last);
    delete in;

    Directory::_remote = saved;
    ft_setLocalFileService(nullptr, nullptr);
    Directory::_openFile = nullptr;
    delete dir;
}

TEST(DrvftGetPut, RoundTripAndNameTheFailure) {
    Service s;
    TempDir local;
    const std::string content = randomBytes(1500000, 12);
    writeFile(local.file("up"), content);
    chmod(local.file("up").c_str(), 0600);
    std::string remote = "127.0.0.1:" + s.port() + ":dir/up";
    // One of drvft's commands with its arguments.
    auto run = [](int (*command)(int, char**), std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        return command(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(0, run(drvft_put, {"put", local.file("up"), remote}));
    EXPECT_TRUE(content == readFile(s.path("dir/up")));
    struct stat st;
    ASSERT_EQ(0, stat(s.path("dir/up").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    EXPECT_EQ(0, run(drvft_get, {"get", remote, local.file("down")}));
    EXPECT_TRUE(content == readFile(local.file("down")));

    std::string said = stderrOf(
        [&] { EXPECT_EQ(1, run(drvft_get, {"get", "127.0.0.1:" + s.port() + ":dir/nothere", local.file("x")})); });
    EXPECT_NE(std::string::npos, said.find("dir/nothere")) << said;
    EXPECT_EQ("", readFile(local.file("x")));

    std::string host;
    std::string port;
    std::string path;
    EXPECT_TRUE(drvft_splitRemote("h:2000:a:b", &host, &port, &path));
    EXPECT_EQ("h", host);
    EXPECT_EQ("2000", port);
    EXPECT_EQ("a:b", path);
    EXPECT_TRUE(drvft_splitRemote("h:a", &host, &port, &path));
    EXPECT_EQ("14001", port);
    EXPECT_EQ("a", path);
    EXPECT_FALSE(drvft_splitRemote(":a", &host, &port, &path));
    EXPECT_FALSE(drvft_splitRemote("h:", &host, &port, &path));
}
