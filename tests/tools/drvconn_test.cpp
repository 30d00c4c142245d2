// drvconn: a listen/connect round trip, every refusal as the user sees it,
// connection errors and the usage text.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// A drvconn process; its output goes to files in a scratch folder.
class Drvconn {
public:
    explicit Drvconn(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(DRVCONN_PATH));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, _dir.file("out").c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, _dir.file("err").c_str(), O_WRONLY | O_CREAT, 0644);
        if (posix_spawn(&_pid, DRVCONN_PATH, &actions, nullptr, argv.data(), environ) != 0) _pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Drvconn() {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }
    Outcome wait() {
        int status = 0;
        waitpid(_pid, &status, 0);
        _pid = -1;
        return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out(), err()};
    }
    Outcome stop() {
        kill(_pid, SIGTERM);
        return wait();
    }
    std::string out() const { return readFile(_dir.file("out")); }
    std::string err() const { return readFile(_dir.file("err")); }

    // The port a listener printed, once it is listening.
    std::string port() {
        for (int i = 0; i < 1000; i++) {
            std::string text = out();
            size_t at = text.find("listening on 127.0.0.1:");
            size_t end = text.find('\n', at);
            if (at != std::string::npos && end != std::string::npos) return text.substr(at + 23, end - at - 23);
            usleep(10000);
        }
        return "";
    }

private:
    TempDir _dir;
    pid_t _pid = -1;
};

Outcome run(const std::vector<std::string>& args) {
    Drvconn d(args);
    return d.wait();
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Drvconn, RoundTripAndRefusals) {
    Drvconn server({"listen", "0", "--bind", "127.0.0.1", "--kill", "--whitelist", "10.0.0.0/8"});
    std::string port = server.port();
    ASSERT_FALSE(port.empty()) << server.err();

    Outcome ok = run({"connect", "127.0.0.1", port, "--send", "50", "--size", "100"});
    EXPECT_EQ(0, ok.status) << ok.err;
    EXPECT_TRUE(has(ok.out, "connected to 127.0.0.1:" + port + " (C_TYPE2, server version 1)")) << ok.out;
    EXPECT_TRUE(has(ok.out, "connection: TLSv1.2-")) << ok.out;
    EXPECT_TRUE(has(ok.out, ", sig: sha256WithRSAEncryption-2048")) << ok.out;
    EXPECT_TRUE(has(ok.out, "latency: ")) << ok.out;
    EXPECT_TRUE(has(ok.out, "sent 50 messages of 100 bytes in ")) << ok.out;
    EXPECT_TRUE(has(ok.out, " messages/s, ")) << ok.out;

    Outcome v0 = run({"connect", "127.0.0.1:v0", port, "--type", "7"});
    EXPECT_EQ(0, v0.status) << v0.err;
    EXPECT_TRUE(has(v0.out, "(C_TYPE, server version 0)")) << v0.out;

    Outcome fenced = run({"connect", "127.0.0.1", port, "--source", "127.0.0.2"});
    EXPECT_EQ(2, fenced.status);
    EXPECT_TRUE(has(fenced.err, "refused this client's address: Connection disabled via whitelist (C_NOT_WHITELIST)"))
        << fenced.err;

    Outcome killed = run({"connect", "127.0.0.1", port, "--type", "333"});
    EXPECT_EQ(1, killed.status);
    EXPECT_TRUE(has(killed.err, "ordered this client to stop (C_KILL); exiting with status 1")) << killed.err;

    Outcome stopped = server.stop();
    EXPECT_EQ(0, stopped.status);
    EXPECT_TRUE(has(stopped.out, "accepted client 127.0.0.1 (type 100, type version 2): TLSv1.2-")) << stopped.out;
    EXPECT_TRUE(has(stopped.out, "accepted client 127.0.0.1 (type 7, type version 0)")) << stopped.out;
    EXPECT_TRUE(has(stopped.out, "stopping")) << stopped.out;

    Drvconn refuser({"listen", "0", "--bind", "127.0.0.1", "--refuse"});
    std::string refusing = refuser.port();
    Outcome refused = run({"connect", "127.0.0.1", refusing});
    EXPECT_EQ(2, refused.status);
    EXPECT_TRUE(has(refused.err, "refused this client: Authentication failure (C_AUTHFAIL)")) << refused.err;
    EXPECT_EQ(0, refuser.stop().status);
    EXPECT_TRUE(has(refuser.out(), "refused client 127.0.0.1 (type 100)"));

    // Nobody listens there any more.
    Outcome gone = run({"connect", "127.0.0.1", refusing});
    EXPECT_EQ(2, gone.status);
    EXPECT_TRUE(has(gone.err, "cannot connect to 127.0.0.1:" + refusing + ": Connection refused (-8)")) << gone.err;
}

TEST(Drvconn, UsageAndHelp) {
    Outcome help = run({"--help"});
    EXPECT_EQ(0, help.status);
    for (const char* option : {"--bind", "--cert", "--key", "--whitelist", "--refuse", "--kill", "--type",
                               "--type-version", "--source", "--send", "--size", "--timing", "--log", "--debug"})
        EXPECT_TRUE(has(help.out, std::string("  ") + option + " ")) << option;

    Outcome none = run({});
    EXPECT_EQ(64, none.status);
    EXPECT_TRUE(has(none.err, "drvconn: say listen or connect")) << none.err;
    Outcome unknown = run({"connect", "h", "1", "--frobnicate"});
    EXPECT_EQ(64, unknown.status);
    EXPECT_TRUE(has(unknown.err, "unknown option --frobnicate"));
    Outcome half = run({"listen", "0", "--cert", "x.pem"});
    EXPECT_EQ(64, half.status);
    EXPECT_TRUE(has(half.err, "--cert and --key go together"));
    Outcome unreadable = run({"listen", "0", "--cert", "/nonexistent.pem", "--key", "/nonexistent.key"});
    EXPECT_EQ(2, unreadable.status);
    EXPECT_TRUE(has(unreadable.err, "cannot read a PEM certificate from /nonexistent.pem"));
}

}  // namespace
