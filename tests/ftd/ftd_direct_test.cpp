// Large files written around the page cache: the bytes that land, the piece
// shorter than a device block at the end, a descriptor given back as it
// was, failures reported rather than lost, and a staged file that mixes
// direct appends with writes elsewhere.
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"
#include "tools/ftd/ftd_direct.h"
#include "tools/ftd/ftd_tree.h"

namespace {

const size_t kBuf = FtdDirectSink::kBufferSize;

// Writes data through a sink in pieces of the given sizes, in turn.
int writeInPieces(FtdDirectSink* sink, const std::string& data, std::initializer_list<size_t> sizes) {
    size_t at = 0;
    for (auto it = sizes.begin(); at < data.size(); ++it) {
        if (it == sizes.end()) it = sizes.begin();
        size_t n = std::min(*it, data.size() - at);
        if (sink->write(data.data() + at, n) != 0) return -1;
        at += n;
    }
    return 0;
}

}  // namespace

TEST(FtdDirectSink, WritesEveryLengthWholeAndGivesTheDescriptorBack) {
    dravika_init();
    TempDir dir;
    // Around the device block and the buffer, and more than all buffers
    // together (the owner must wait for the thread to free one).
    for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, kBuf - 1, kBuf, kBuf + 1,
                        3 * kBuf + 12345, 5 * kBuf}) {
        const std::string path = dir.file("f" + std::to_string(size));
        const std::string data = randomBytes(size, static_cast<unsigned>(size) + 3);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const int flags = fcntl(fd, F_GETFL);
        std::unique_ptr<FtdDirectSink> sink = FtdDirectSink::start(fd);
        ASSERT_NE(nullptr, sink) << "the scratch folder's file system takes direct I/O";
        EXPECT_NE(0, fcntl(fd, F_GETFL) & O_DIRECT);
        ASSERT_EQ(0, writeInPieces(sink.get(), data, {1, 70000, 4096, kBuf + 7, 3})) << size;
        ASSERT_EQ(0, sink->finish()) << size;
        EXPECT_EQ(flags, fcntl(fd, F_GETFL)) << size;
        sink.reset();
        close(fd);
        EXPECT_TRUE(readFile(path) == data) << "the file of " << size << " bytes arrived changed";
    }
}

TEST(FtdDirectSink, ReportsAFailedWriteAndStopsWithoutFinishing) {
    dravika_init();
    TempDir dir;
    const std::string data = randomBytes(FtdDirectSink::kBuffers * kBuf + 10, 5);
    {
        // Read-only: every write fails with EBADF, which reaches the owner
        // at the latest when it finishes.
        writeFile(dir.file("ro"), "");
        int fd = open(dir.file("ro").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::unique_ptr<FtdDirectSink> sink = FtdDirectSink::start(fd);
        ASSERT_NE(nullptr, sink);
        errno = 0;
        int rc = writeInPieces(sink.get(), data, {kBuf / 3});
        if (rc == 0) rc = sink->finish();
        EXPECT_EQ(-1, rc);
        EXPECT_EQ(EBADF, errno);
        sink.reset();
        close(fd);
        EXPECT_EQ(0u, readFile(dir.file("ro")).size());
    }
    {
        // A sink dropped with full buffers queued stops its thread and
        // gives the descriptor back; what was queued need not land.
        int fd = open(dir.file("dropped").c_str(), O_RDWR | O_CREAT, 0600);
        const int flags = fcntl(fd, F_GETFL);
        std::unique_ptr<FtdDirectSink> sink = FtdDirectSink::start(fd);
        ASSERT_NE(nullptr, sink);
        ASSERT_EQ(0, sink->write(data.data(), 2 * kBuf + 1));
        sink.reset();
        EXPECT_EQ(flags, fcntl(fd, F_GETFL));
        struct stat st;
        ASSERT_EQ(0, fstat(fd, &st));
        EXPECT_LE(st.st_size, static_cast<off_t>(2 * kBuf));
        close(fd);
    }
}

TEST(FtdStagedFile, LargeFilesMixDirectAppendsWithWritesElsewhere) {
    dravika_init();
    TempDir dir;
    FtdTree tree(dir.path().c_str());
    ASSERT_TRUE(tree.ok());
    const long long size = FtdDirectSink::kMinSize + 4097;
    std::string want = randomBytes(static_cast<size_t>(size), 9);

    FtdStagedFile f;
    ASSERT_EQ(0, f.open(tree, "big"));
    f.expectSize(size);
    const size_t half = want.size() / 2;
    ASSERT_EQ(0, f.append(want.data(), 100));
    struct iovec pieces[2] = {{&want[100], 5000}, {&want[5100], half - 5100}};
    ASSERT_EQ(0, f.appendv(pieces, 2));
    // At the end: still an append.
    ASSERT_EQ(0, f.writeAt(static_cast<long long>(half), &want[half], want.size() - half));
    EXPECT_EQ(size, f.written());
    // Back into the middle: everything before lands first.
    const std::string patch = "patched in place";
    ASSERT_EQ(0, f.writeAt(12345, patch.data(), patch.size()));
    want.replace(12345, patch.size(), patch);
    const long long mtime = 1500000000123LL;
    ASSERT_EQ(0, f.install(0640, mtime));
    EXPECT_TRUE(readFile(dir.file("big")) == want) << "the staged file arrived changed";
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("big").c_str(), &st));
    // The times are set after the last byte is written.
    EXPECT_EQ(mtime, static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000);
    EXPECT_EQ(0640, static_cast<int>(st.st_mode & 07777));

    // A staged file dropped halfway leaves nothing behind.
    FtdStagedFile g;
    ASSERT_EQ(0, g.open(tree, "dropped"));
    g.expectSize(size);
    ASSERT_EQ(0, g.append(want.data(), want.size() / 2));
    g.discard();
    DIR* d = opendir(dir.path().c_str());
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.' || strstr(e->d_name, ".ftd-") != nullptr) names.push_back(e->d_name);
    closedir(d);
    EXPECT_EQ(std::vector<std::string>{"big"}, names);
    // Nor in the staging folder.
    names.clear();
    d = opendir(dir.file(kFtdStagingDir).c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    EXPECT_TRUE(names.empty());
}

TEST(FtdRangeReader, ReadsAnyRangeWhetherCachedOrNot) {
    dravika_init();
    TempDir dir;
    const std::string data = randomBytes(3 * kBuf + 777, 11);
    // One copy written around the page cache (nothing of it cached), one
    // through it.
    const std::string direct = dir.file("direct");
    int fd = open(direct.c_str(), O_RDWR | O_CREAT, 0600);
    std::unique_ptr<FtdDirectSink> sink = FtdDirectSink::start(fd);
    ASSERT_NE(nullptr, sink);
    ASSERT_EQ(0, sink->write(data.data(), data.size()));
    ASSERT_EQ(0, sink->finish());
    sink.reset();
    close(fd);
    writeFile(dir.file("cached"), data);

    for (const std::string& path : {direct, dir.file("cached")}) {
        int rfd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(rfd, 0);
        FtdRangeReader reader(rfd, kBuf);
        struct Range {
            long long offset;
            size_t n;
        } ranges[] = {{0, kBuf}, {1, 4095}, {4095, 2}, {12345, kBuf}, {static_cast<long long>(data.size()) - 10, 10},
                      {static_cast<long long>(2 * kBuf), kBuf}, {7, 0}};
        for (const Range& r : ranges) {
            const unsigned char* got = reader.read(r.offset, r.n);
            ASSERT_NE(nullptr, got) << path << " at " << r.offset;
            EXPECT_EQ(0, memcmp(got, data.data() + r.offset, r.n)) << path << " at " << r.offset;
        }
        // Past the end, or larger than the reader was made for: no bytes.
        errno = EINTR;
        EXPECT_EQ(nullptr, reader.read(static_cast<long long>(data.size()) - 10, 11));
        EXPECT_EQ(0, errno);
        EXPECT_EQ(nullptr, reader.read(0, kBuf + 2 * FtdDirectSink::kAlign + 1));
        close(rfd);
    }
}
