// What a remote provider must not take from a peer: a key on file that is
// not an RSA key admits no peer certificate at all.
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "dir/asset.h"
#include "dir/directory.h"
#include "dir/domain.h"
#include "dir/future_result.h"
#include "dir/login.h"
#include "dir/net_client_spi.h"
#include "tests/dir/dir_peer.h"
#include "tests/support/log_capture.h"

using dirpeer::KeyPair;
using dirpeer::Peer;
using dirpeer::waitFor;

namespace {

class NetClientTrustTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dravika_init();
        Directory::init();
        Connection::setLoopWait(20);
        Connection::comsInit();
    }
    void SetUp() override { NetClientSPI::_netclient_timeout = 2000; }
    void TearDown() override {
        NetClientSPI::_netclient_timeout = 2000;
        dirpeer::endClientSessions(&sessions);
    }

    Directory* session(const char* port, const char* domain) {
        int err = 0;
        Directory* d = dirpeer::startClientSession(port, domain, &err);
        EXPECT_EQ(err, 0);
        if (d != nullptr) sessions.push_back(d);
        return d;
    }

    std::vector<Directory*> sessions;
};

// An EC key and its public half in PEM form.
struct EcKey {
    EcKey() {
        key = EVP_EC_gen("P-256");
        BIO* bio = BIO_new(BIO_s_mem());
        if (key != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1) {
            char* data = nullptr;
            long n = BIO_get_mem_data(bio, &data);
            pem.assign(data, static_cast<size_t>(n));
        }
        BIO_free(bio);
    }
    ~EcKey() { EVP_PKEY_free(key); }
    EVP_PKEY* key = nullptr;
    std::string pem;
};

// The provider's first attempt has ended one way or the other.
bool settled(NetClientSPI& spi) {
    return waitFor([&] { return spi.isConnected() || spi.getLastError() != 0; }, 15000);
}

TEST_F(NetClientTrustTest, AKeyOnFileThatIsNotAnRsaKeyAdmitsNoPeer) {
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    EcKey ec;
    ASSERT_NE(ec.key, nullptr);
    ASSERT_FALSE(ec.pem.empty());
    LogCapture logs;
    {
        // An agent whose record holds an EC key: whatever certificate the
        // peer shows, it cannot be checked against that key.
        Asset a;
        a.id = strdup("A-ec");
        a.host = strdup("127.0.0.1");
        a.port = atoi(peer.port());
        a.publicKey = strdup(ec.pem.c_str());
        NetClientSPI agent(nullptr, nullptr, "keyed", &a, "HA-ec", nullptr);
        ASSERT_TRUE(settled(agent));
        EXPECT_FALSE(agent.isConnected());
        EXPECT_EQ(agent.getLastError(), DirError::E_SECURITY_VIOLATION);
        EXPECT_TRUE(logs.contains("the RSA key is in dommgr.xml is invalid"));
    }
    {
        // The same for a domain server's key on file.
        NetClientSPI domain(nullptr, "keyed", "127.0.0.1", peer.port(), nullptr, "Dkeyed", ec.key);
        ASSERT_TRUE(settled(domain));
        EXPECT_FALSE(domain.isConnected());
        EXPECT_EQ(domain.getLastError(), DirError::E_SECURITY_VIOLATION);
    }
    {
        // The peer's own RSA key on file still lets it in.
        NetClientSPI right(nullptr, "keyed", "127.0.0.1", peer.port(), nullptr, "Dkeyed", server.key);
        ASSERT_TRUE(settled(right));
        EXPECT_TRUE(right.isConnected());
    }
}

}  // namespace
