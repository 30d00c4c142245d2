// The fixture of the remote provider tests: the runtime started once per
// suite, client sessions to test peers that end with each test, and names
// parsed for the calls.
#ifndef DRV_TESTS_DIR_CLIENT_SESSION_FIXTURE_H
#define DRV_TESTS_DIR_CLIENT_SESSION_FIXTURE_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "coms/connection.h"
#include "dir/directory.h"
#include "dir/net_client_spi.h"
#include "dirbase/dir_name.h"
#include "tests/dir/dir_peer.h"

class ClientSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dravika_init();
        // Sessions start without a login first: the first one puts the
        // remote provider in place.
        Directory::init();
        Connection::setLoopWait(20);
        Connection::comsInit();
    }
    void SetUp() override { NetClientSPI::_netclient_timeout = 2000; }
    void TearDown() override {
        NetClientSPI::_netclient_timeout = 2000;
        dirpeer::endClientSessions(&sessions);
    }

    // A client session to the peer on a throw-away certificate.
    Directory* session(const char* port, const char* domain = "testdom") {
        int err = 0;
        Directory* d = dirpeer::startClientSession(port, domain, &err);
        EXPECT_EQ(err, 0);
        if (d != nullptr) sessions.push_back(d);
        return d;
    }

    static DirName* name(const char* text) {
        int err = 0;
        DirName* n = DirName::createFromString(text, &err);
        EXPECT_NE(n, nullptr) << text;
        return n;
    }

    // getAttributes of the name in text through d: its code, and the value
    // of the "object" attribute the test peer answers with.
    static int attrs(Directory* d, const char* text, std::string* object = nullptr) {
        DirName* n = name(text);
        int err = 0;
        Attributes* a = d->getAttributes(n, &err);
        if (a != nullptr && object != nullptr && a->getStringAttribute("object") != nullptr)
            *object = a->getStringAttribute("object");
        delete a;
        delete n;
        return err;
    }

    // A call answered on spi's connection: what its peer sent before the
    // answer has been taken in by the time it returns true.
    static bool roundTrip(NetClientSPI* spi) {
        DirectoryObject object("iface", new Any("eth0"));
        Attributes* got = nullptr;
        int rv = spi->getAttributes(nullptr, &object, got);
        delete got;
        return rv == 0;
    }

    // Listens on every interface of session d's peer and waits until the
    // peer has confirmed the listener and sent its first entries (the test
    // peer's interfaces start with "eth10").
    static ::testing::AssertionResult watchAllInterfaces(Directory* d, dirpeer::NameWatcher* watcher) {
        DirName* all = name("/iface:name=*");
        int err = 0;
        int rv = d->addListener(all, watcher, &err);
        delete all;
        if (rv != 0) return ::testing::AssertionFailure() << "addListener: " << rv;
        if (!dirpeer::waitFor([&] { return watcher->has("eth10"); }))
            return ::testing::AssertionFailure() << "no entries from the peer";
        return ::testing::AssertionSuccess();
    }

    std::vector<Directory*> sessions;
};

#endif
