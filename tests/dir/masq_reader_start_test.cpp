// Directory threads that cannot be started (as under a thread limit). A file
// pulled through directory operations: the input's readers hear an error at
// once, rather than wait for blocks that never come, and closing the input
// does not wait for a reader that never ran. The execution thread: nothing is
// kept of it. The remote providers' thread: a provider that has no thread to
// connect on fails its calls at once. This program is linked with
// --wrap=pthread_create.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <atomic>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "common/perf_data.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/future_result.h"
#include "dir/masq_input_reader.h"
#include "dir/net_client_spi.h"
#include "dirbase/attributes.h"
#include "io/input.h"
#include "tests/dir/stub_spi.h"
#include "tests/support/failing_thread_creation.h"

namespace {

TEST(MasqReaderStart, AReaderThatCannotStartFailsItsInputAndReleasesItsProvider) {
    ClassSPI root;  // no request may reach it here
    int err = -1;
    Directory* dir = Directory::startServerDirectoryService(&root, nullptr, nullptr, "masqstart", &err);
    ASSERT_EQ(0, err);
    ClassSPI provider;  // the provider the read goes through, locked for it
    int locksBefore = provider.lockCount();

    _failThreadCreation = true;
    Input* in = MasqInputReader::openInput(dir, &provider, nullptr, "H7", "/etc/motd");
    _failThreadCreation = false;
    // Long waits: a reader left waiting would show as a hang of the test,
    // not as a quick time-out.
    in->setWaitTimes(600000, 600000);
    unsigned char buf[64];
    EXPECT_EQ(-2, in->read(buf, sizeof buf));
    EXPECT_EQ(DirError::E_NO_RESOURCE, in->errorCode());
    EXPECT_EQ(locksBefore, provider.lockCount());
    delete in;
    delete dir;
}

// Thread objects alive, counted by the statistics block.
int liveThreads() { return perfGet(PC_DTHR_STARTED) - perfGet(PC_DTHR_EXITED); }

PerfData _perfBlock;

TEST(ThreadStart, AnExecutionThreadThatCannotStartLeavesNothingBehind) {
    // The thread a server session left running is stopped before the
    // statistics block is swapped: it reads the block at every pass.
    ExecDirThread::stopAndWait(true);
    PerfData* saved = perfData;
    perfData = &_perfBlock;
    perfRegisterCounters();
    int before = liveThreads();
    _failThreadCreation = true;
    ExecDirThread::holdForClient();
    _failThreadCreation = false;
    EXPECT_EQ(nullptr, ExecDirThread::instance());
    EXPECT_EQ(before, liveThreads());
    ExecDirThread::releaseClient();

    // The next session starts it.
    ExecDirThread::holdForClient();
    EXPECT_NE(nullptr, ExecDirThread::instance());
    ExecDirThread::releaseClient();
    ExecDirThread::stopAndWait(true);
    perfData = saved;
}

TEST(ThreadStart, AProviderWithNoThreadToConnectOnFailsItsCallsAtOnce) {
    NetClientSPI::_netclient_timeout = 600000;  // a call left waiting shows as a hang
    _failThreadCreation = true;
    NetClientSPI* spi = new NetClientSPI(nullptr, "nothread", "127.0.0.1", "1", nullptr, "Dnothread", nullptr);
    _failThreadCreation = false;
    DirectoryObject object("iface", new Any("eth0"));
    Attributes* out = nullptr;
    EXPECT_EQ(DirError::E_NO_RESOURCE, spi->getAttributes(nullptr, &object, out));
    EXPECT_EQ(nullptr, out);
    EXPECT_FALSE(spi->isConnected());
    delete spi;
    NetClientSPI::stopThread();
    NetClientSPI::_netclient_timeout = 40000;
}

}  // namespace
