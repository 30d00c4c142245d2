// A stream connection read on one thread and written on another at both
// ends, as a transfer's read thread and sender use it. The TLS calls are
// wrapped here (this program's definitions come before the library's), so
// that any call made on a TLS object while another call on it runs is seen.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "coms/coms_error.h"
#include "coms/stream_connection.h"
#include "tests/coms/coms_support.h"

using namespace comstest;

namespace {

std::mutex _callsLock;
std::map<const SSL*, int> _running;  // calls in progress per TLS object
int _overlaps = 0;

// Counts the call as running on ssl for its lifetime.
class InCall {
public:
    explicit InCall(const SSL* ssl) : _ssl(ssl) {
        std::lock_guard<std::mutex> hold(_callsLock);
        if (_running[_ssl]++ > 0) _overlaps++;
    }
    ~InCall() {
        std::lock_guard<std::mutex> hold(_callsLock);
        if (--_running[_ssl] == 0) _running.erase(_ssl);
    }

private:
    const SSL* _ssl;
};

template <class Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int overlaps() {
    std::lock_guard<std::mutex> hold(_callsLock);
    return _overlaps;
}

}  // namespace

extern "C" {
int SSL_read(SSL* ssl, void* buffer, int n) {
    static auto fn = real<int (*)(SSL*, void*, int)>("SSL_read");
    InCall call(ssl);
    return fn(ssl, buffer, n);
}
int SSL_write(SSL* ssl, const void* buffer, int n) {
    static auto fn = real<int (*)(SSL*, const void*, int)>("SSL_write");
    InCall call(ssl);
    return fn(ssl, buffer, n);
}
int SSL_shutdown(SSL* ssl) {
    static auto fn = real<int (*)(SSL*)>("SSL_shutdown");
    InCall call(ssl);
    return fn(ssl);
}
}

namespace {

// Keeps every accepted connection for the test to drive from its threads.
class Keeper : public StreamConnectorListener {
public:
    void onAccept(StreamConnector* connector, int socket, const char* peer) override {
        auto s = std::make_unique<StreamConnection>(connector, socket, peer);
        int rc = s->accept();
        std::lock_guard<std::mutex> hold(lock);
        if (rc == 0) accepted = std::move(s);
        changed.notify_all();
    }
    StreamConnection* wait() {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, std::chrono::seconds(10), [&] { return accepted != nullptr; });
        return accepted.get();
    }
    std::mutex lock;
    std::condition_variable changed;
    std::unique_ptr<StreamConnection> accepted;
};

unsigned char patternByte(int seed, size_t i) {
    return static_cast<unsigned char>((i * 131 + (i >> 11) + static_cast<size_t>(seed)) & 0xff);
}

// Writes total pattern bytes in pieces of changing size; 0 or the error.
int writePattern(StreamConnection* c, int seed, size_t total) {
    std::vector<unsigned char> piece(70000);
    size_t done = 0;
    for (size_t round = 0; done < total; round++) {
        size_t n = std::min(total - done, 1 + (round * 7919) % piece.size());
        for (size_t i = 0; i < n; i++) piece[i] = patternByte(seed, done + i);
        int rc = c->writeBytes(piece.data(), static_cast<int>(n));
        if (rc != 0) return rc;
        done += n;
    }
    return 0;
}

// Reads total bytes and checks them against the pattern: how many arrived
// in order before the first wrong or missing byte.
size_t readPattern(StreamConnection* c, int seed, size_t total) {
    std::vector<unsigned char> buffer(50000);
    size_t done = 0;
    while (done < total) {
        int n = c->read(buffer.data(), static_cast<int>(std::min(buffer.size(), total - done)));
        if (n <= 0) return done;
        for (int i = 0; i < n; i++)
            if (buffer[i] != patternByte(seed, done + i)) return done + i;
        done += n;
    }
    return done;
}

// A transfer reads on one thread while it writes on another, at both ends:
// the TLS object is never used by both at once, the bytes arrive intact and
// in order, a writer stuck on a full socket does not keep the reader from
// what arrives, and shutdown() frees a blocked reader and writer.
TEST(StreamConnection, ReadsAndWritesAtOnceOnBothEnds) {
    dravika_init();
    TestCert& tc = TestCert::get();
    Keeper keeper;
    StreamConnector connector(&keeper, tc.cert, tc.key);
    connector.setBindAddress("127.0.0.1");
    ASSERT_EQ(0, connector.bind("0"));
    std::string port = std::to_string(connector.getPort());
    StreamConnection client("127.0.0.1", port.c_str(), nullptr, nullptr);
    ASSERT_EQ(0, client.connect());
    StreamConnection* server = keeper.wait();
    ASSERT_NE(nullptr, server);

    const size_t total = 6 << 20;
    auto clientWrites = std::async(std::launch::async, [&] { return writePattern(&client, 1, total); });
    auto serverWrites = std::async(std::launch::async, [&] { return writePattern(server, 2, total); });
    auto clientReads = std::async(std::launch::async, [&] { return readPattern(&client, 2, total); });
    EXPECT_EQ(total, readPattern(server, 1, total));
    EXPECT_EQ(total, clientReads.get());
    EXPECT_EQ(0, clientWrites.get());
    EXPECT_EQ(0, serverWrites.get());

    // The server stops reading: the client's writer soon waits for room.
    std::atomic<bool> stopWriting{false};
    auto stuckWriter = std::async(std::launch::async, [&] {
        std::vector<unsigned char> block(1 << 20, 'w');
        int rc = 0;
        while (rc == 0 && !stopWriting) rc = client.writeBytes(block.data(), static_cast<int>(block.size()));
        return rc;
    });
    ASSERT_TRUE(waitFor([&] { return client.bytesWritten() > (2 << 20); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto reply = std::async(std::launch::async, [&] { return readPattern(&client, 3, 5000); });
    ASSERT_EQ(0, writePattern(server, 3, 5000));
    bool replied = reply.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(replied) << "the reader waited for the blocked writer";
    EXPECT_EQ(std::future_status::timeout, stuckWriter.wait_for(std::chrono::milliseconds(0)));

    // Both sides blocked again (nothing comes, no room): shutdown ends both.
    auto blockedReader = std::async(std::launch::async, [&] {
        char c;
        return client.read(&c, 1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stopWriting = true;
    client.shutdown();
    ASSERT_EQ(std::future_status::ready, blockedReader.wait_for(std::chrono::seconds(10)));
    ASSERT_EQ(std::future_status::ready, stuckWriter.wait_for(std::chrono::seconds(10)));
    EXPECT_LE(blockedReader.get(), 0);
    EXPECT_EQ(COMS_E_NOT_CONNECTED, stuckWriter.get());
    if (replied) {
        EXPECT_EQ(5000u, reply.get());
    }
    client.close();
    EXPECT_EQ(0, overlaps()) << "calls made on one TLS object at once";
}


}  // namespace
