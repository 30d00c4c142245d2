// Enrolment connections (type 336) against the directory server over TLS on
// loopback: who may enrol, announce or upgrade an asset. An announcement or
// an upgrade speaks for an asset or a certificate, so it must come over a
// connection made with that asset's or certificate's key.

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "coms/tls.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/principal.h"
#include "hostrt/host_directory.h"
#include "tests/dird/raw_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dird/asset_table.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_state.h"
#include "tools/dird/domain_ca.h"
#include "tools/dird/user_table.h"

namespace {

using dirdtest::RawClient;
using P = DirProtocol;

const char kSecurity[] = "1`alice,-`alice,-,Users@enrol.example";
// An administrator of the domain: the "admin" policy is set.
const char kAdminSecurity[] = "1,admin`root,-`root,-,Admins@enrol.example";

// A key with a self-signed certificate of its own, as an agent or an
// intruder makes one.
struct Identity {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    explicit Identity(const char* cn) {
        std::string subject = std::string("/CN=") + cn;
        EXPECT_EQ(0, makeSelfSignedCertificate("test", subject.c_str(), 2048, 3600, &cert, &key));
    }
    ~Identity() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

// The result and text of an enrolment reply.
struct Answer {
    int result = -1;
    std::string text;
};

class DirdEnrolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dravika_init();
        tmp = new TempDir();
        DirServerOptions o;
        o.stateDir = tmp->file("state");
        o.domain = "enrol.example";
        o.port = "0";
        server = new DirServer(o);
        std::string error;
        ASSERT_TRUE(server->start(&hostRoot, &error)) << error;
        ASSERT_TRUE(server->state()->users()->setUser("alice", "s3cret", kSecurity, &error)) << error;
        ASSERT_TRUE(server->state()->users()->setUser("root", "r00t", kAdminSecurity, &error)) << error;
    }
    static void TearDownTestSuite() {
        server->stop();
        delete server;
        delete tmp;
    }
    // One request on a fresh enrolment connection made with cert and key.
    static Answer ask(X509* cert, EVP_PKEY* key, Message* request, int code) {
        Answer a;
        RawClient c;
        if (c.connect(server->port(), cert, key, P::kDomainConnectionType) != 0) {
            delete request;
            return a;
        }
        c.send(request);
        std::unique_ptr<Message> reply = c.next(code, 20000);
        if (!reply) return a;
        int32_t result = -1;
        char* text = nullptr;
        reply->readInt32(&result);
        reply->readString(&text);
        a.result = result;
        a.text = text != nullptr ? text : "";
        free(text);
        return a;
    }
    // Enrols who's key with alice's password (an ordinary user).
    static Answer enrolAsAlice(const Identity& who) {
        return ask(who.cert, who.key, P::domainAdd("alice", "s3cret"), P::DOMAIN_ADD);
    }
    // The certificate the domain issues when alice enrols who; null (the
    // reason reported) when the enrolment fails.
    static X509* issuedTo(const Identity& who) {
        Answer a = enrolAsAlice(who);
        EXPECT_EQ(0, a.result) << a.text;
        return a.result == 0 ? certificateFromPem(a.text.data(), a.text.size()) : nullptr;
    }
    static Answer identify(X509* cert, EVP_PKEY* key, const char* asset, X509* announced) {
        const char* more[4] = {"", "", "", ""};
        return ask(cert, key,
                   P::domainIdentify(1, "enrol.example", asset, more, "", asset, pemOfCertificate(announced).c_str()),
                   P::DOMAIN_IDENTIFY);
    }
    static std::string keyOf(const char* asset) {
        std::unique_ptr<Asset> a(server->state()->assets()->findAsset(asset));
        return a && a->publicKey != nullptr ? a->publicKey : "";
    }

    static TempDir* tmp;
    static HostDirectorySPI hostRoot;
    static DirServer* server;
};

TempDir* DirdEnrolTest::tmp = nullptr;
HostDirectorySPI DirdEnrolTest::hostRoot;
DirServer* DirdEnrolTest::server = nullptr;

TEST_F(DirdEnrolTest, OnlyAnAssetsOwnKeyMayAnnounceItAgain) {
    // The agent enrols with a user's password and gets its certificate.
    Identity agent("web1");
    X509* issued = issuedTo(agent);
    ASSERT_NE(nullptr, issued);
    const std::string agentKey = pemOfPublicKey(agent.key);
    ASSERT_EQ(agentKey, keyOf("web1"));

    // Others announcing web1 with a key of their own: without a certificate,
    // with one naming web1 made by themselves, or with the domain's
    // certificate of another asset.
    Identity intruder("web1");
    EXPECT_EQ(23, identify(nullptr, nullptr, "web1", intruder.cert).result);
    EXPECT_EQ(23, identify(intruder.cert, intruder.key, "web1", intruder.cert).result);
    Identity other("web2");
    X509* otherIssued = issuedTo(other);
    ASSERT_NE(nullptr, otherIssued);
    EXPECT_EQ(23, identify(otherIssued, other.key, "web1", intruder.cert).result);
    EXPECT_EQ(agentKey, keyOf("web1"));

    // The agent itself, with the certificate the domain gave it or its own.
    EXPECT_EQ(0, identify(issued, agent.key, "web1", issued).result);
    EXPECT_EQ(0, identify(agent.cert, agent.key, "web1", agent.cert).result);
    EXPECT_EQ(agentKey, keyOf("web1"));
    // An asset nobody knows yet is announced over a connection with a
    // certificate of the domain; without one, anybody could take names
    // (with keys of their own) before their machines are enrolled.
    Identity fresh("fresh1");
    EXPECT_EQ(23, identify(nullptr, nullptr, "fresh1", fresh.cert).result);
    EXPECT_EQ(23, identify(fresh.cert, fresh.key, "fresh1", fresh.cert).result);
    EXPECT_EQ("", keyOf("fresh1"));
    EXPECT_EQ(0, identify(otherIssued, other.key, "fresh1", fresh.cert).result);
    EXPECT_EQ(pemOfPublicKey(fresh.key), keyOf("fresh1"));
    X509_free(issued);
    X509_free(otherIssued);
}

TEST_F(DirdEnrolTest, OnlyTheHolderOfACertificatesKeyMayUpgradeIt) {
    Identity agent("web3");
    X509* issued = issuedTo(agent);
    ASSERT_NE(nullptr, issued);
    // A certificate is no secret: presenting its text proves nothing.
    Identity intruder("intruder");
    std::string oldPem = pemOfCertificate(issued);
    std::string intruderPem = pemOfCertificate(intruder.cert);
    for (bool withCert : {false, true}) {
        Answer refused = ask(withCert ? intruder.cert : nullptr, withCert ? intruder.key : nullptr,
                             P::domainUpgrade(oldPem.c_str(), intruderPem.c_str()), P::DOMAIN_UPGRADE);
        EXPECT_EQ(23, refused.result) << withCert;
        EXPECT_EQ(std::string::npos, refused.text.find("BEGIN CERTIFICATE")) << withCert;
    }
    // The holder moves to a new key over a connection made with the old one.
    Identity renewed("web3");
    Answer upgraded = ask(issued, agent.key, P::domainUpgrade(oldPem.c_str(), pemOfCertificate(renewed.cert).c_str()),
                          P::DOMAIN_UPGRADE);
    ASSERT_EQ(0, upgraded.result) << upgraded.text;
    X509* fresh = certificateFromPem(upgraded.text.data(), upgraded.text.size());
    ASSERT_NE(nullptr, fresh);
    EXPECT_TRUE(server->state()->ca()->issuedByUs(fresh));
    EXPECT_TRUE(samePublicKey(renewed.key, X509_get0_pubkey(fresh)));
    EXPECT_EQ("web3", subjectCommonName(fresh));
    X509_free(fresh);
    X509_free(issued);
}

// Enrolling names the asset after the certificate presented. A name that
// is already an asset's, with another key, is that asset's identity: a
// user cannot take it over (and with it the domain's certificate of that
// name, with which it could call in as the asset); an administrator can
// enrol a machine again under its old name.
TEST_F(DirdEnrolTest, AnEnrolledNameGoesToAnotherKeyOnlyByAnAdministrator) {
    Identity agent("web5");
    ASSERT_EQ(0, enrolAsAlice(agent).result);
    const std::string agentKey = pemOfPublicKey(agent.key);
    ASSERT_EQ(agentKey, keyOf("web5"));
    // The same key again keeps its asset.
    EXPECT_EQ(0, enrolAsAlice(agent).result);

    Identity intruder("web5");
    Answer refused = enrolAsAlice(intruder);
    EXPECT_EQ(23, refused.result);
    EXPECT_EQ(std::string::npos, refused.text.find("BEGIN CERTIFICATE"));
    EXPECT_EQ(agentKey, keyOf("web5"));

    Identity reinstalled("web5");
    Answer again = ask(reinstalled.cert, reinstalled.key, P::domainAdd("root", "r00t"), P::DOMAIN_ADD);
    ASSERT_EQ(0, again.result) << again.text;
    EXPECT_EQ(pemOfPublicKey(reinstalled.key), keyOf("web5"));
}

}  // namespace
