// Statistics files: the buffer form built by hand, files written and read
// back, the magic line and damaged gzip streams refused with their reasons,
// the encoded object that keeps its bytes, and consolidation of a day.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/message.h"
#include "records/stats_file.h"
#include "tests/support/bytes.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed.h"
#include "tests/support/temp_dir.h"

namespace {

StatRow* row(long long cls, long long id, const char* label, std::vector<long long> values) {
    StatData** series = static_cast<StatData**>(malloc(sizeof(StatData*) * (values.size() + 1)));
    for (size_t i = 0; i < values.size(); i++) series[i] = StatData::makeInt64(values[i]);
    series[values.size()] = nullptr;
    return new StatRow(cls, id, label, series);
}

StatEntry* entry(long time, std::vector<StatRow*> rows) {
    StatEntry* e = new StatEntry(time);
    for (StatRow* r : rows) e->addRow(r);
    return e;
}

// A readable account of a file's contents, independent of dump().
std::string describe(const StatsFile& f) {
    std::string out = "interval " + std::to_string(f.interval) + ", " + std::to_string(f.startTime) + " to " +
                      std::to_string(f.endTime) + "\n";
    for (int i = 0; i < f.count; i++) {
        const StatEntry* e = f.entries[i];
        out += std::to_string(e->time) + ":";
        for (int r = 0; r < e->count; r++) {
            const StatRow* row = e->rows[r];
            out += " " + std::to_string(row->cls) + "/" + std::to_string(row->id) + "/" +
                   (row->label != nullptr ? row->label : "-");
            for (int k = 0; k < row->seriesCount(); k++) {
                const StatData* d = row->series[k];
                out += d->kind == StatData::KIND_DOUBLE ? "," + std::to_string(d->value.d)
                                                        : "," + std::to_string(d->value.i);
            }
        }
        out += "\n";
    }
    return out;
}

// zlib's own reading of a gzip stream, to check what the writer produced.
std::string gunzip(const std::string& data) {
    z_stream z;
    memset(&z, 0, sizeof(z));
    EXPECT_EQ(Z_OK, inflateInit2(&z, 16 + MAX_WBITS));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buf[4096];
    int rc;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof(buf);
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof(buf) - z.avail_out);
    } while (rc == Z_OK);
    EXPECT_EQ(Z_STREAM_END, rc);
    inflateEnd(&z);
    return out;
}

std::string gzipped(const std::string& data) {
    z_stream z;
    memset(&z, 0, sizeof(z));
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

class StatsFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        _log_level = LOG_INFO;
        Directory::init();
    }
    // The day the consolidation tests' files belong to: 5 December 2026.
    static struct tm dec5() {
        struct tm day = {};
        day.tm_year = 2026 - 1900;
        day.tm_mon = 11;
        day.tm_mday = 5;
        return day;
    }
    // Consolidates that day in dir, its log lines kept off the console.
    int consolidateDec5() {
        struct tm day = dec5();
        LogCapture log;
        return StatsFile::consolidate(dir.path().c_str(), &day);
    }
    // The day's consolidated file as read back; null when it does not read.
    std::unique_ptr<StatsFile> dayFile() {
        return std::unique_ptr<StatsFile>(StatsFile::readFromFile(dir.file("20261205-000000.stats").c_str()));
    }
    TempDir dir;
};

TEST_F(StatsFileTest, WritesTheMagicLineThenOneGzipStreamOfTheBufferForm) {
    StatsFile f;
    StatEntry* e = entry(1000, {row(30, 0, "eth0", {1000000, 12})});
    StatData** half = StatData::createSeriesArray(1, StatData::makeDouble(0.5));
    e->addRow(new StatRow(31, 2, nullptr, half));
    f.add(e);
    f.add(entry(1060, {}));

    // Interval, start, end, entry count; each entry's time and rows; each
    // row's class, id, label, value count and (kind, value) pairs.
    Bytes body;
    body.int32(10).int64(1000).int64(1060).int32(2);
    body.int64(1000).int32(2);
    body.int64(30).int64(0).str("eth0").int32(2).int32(1).int64(1000000).int32(1).int64(12);
    body.int64(31).int64(2).u8(7).int32(1).int32(2).u8(5).be64(0x3FE0000000000000ULL);
    body.int64(1060).int32(0);
    // The length word counts every byte of the frame after its first eight.
    Bytes buffer;
    buffer.be32(static_cast<uint32_t>(body.size() + 1)).be32(0).raw(body.data);

    char* mem = nullptr;
    size_t len = 0;
    ASSERT_EQ(0, f.writeToBuffer(&mem, &len));
    EXPECT_EQ(buffer.hex(), Bytes::hex(mem, len));
    free(mem);

    std::string path = dir.file("a.stats");
    EXPECT_EQ(static_cast<long>(buffer.size()), f.writeToFile(path.c_str()));
    std::string file = readFile(path);
    ASSERT_GT(file.size(), 20u);
    EXPECT_EQ("?dravika-perfdata\n", file.substr(0, 18));
    EXPECT_EQ("1F 8B", Bytes::hex(file.data() + 18, 2));
    EXPECT_EQ(buffer.hex(), Bytes::hex(gunzip(file.substr(18)).data(), buffer.size()));

    std::unique_ptr<StatsFile> back(StatsFile::readFromFile(path.c_str()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(describe(f), describe(*back));
    EXPECT_EQ("interval 10, 1000 to 1060\n1000: 30/0/eth0,1000000,12 31/2/-,0.500000\n1060:\n", describe(*back));

    // A body whose length word counts only the body reads the same.
    Bytes exact;
    exact.be32(static_cast<uint32_t>(body.size())).be32(0).raw(body.data);
    back.reset(StatsFile::readFromBuffer(exact.c_str(), exact.size()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(describe(f), describe(*back));
}

TEST_F(StatsFileTest, RefusesFilesThatAreNotWholeStatisticsFiles) {
    StatsFile f;
    for (int i = 0; i < 50; i++) f.add(entry(1000 + i, {row(30, i, "eth0", {i, 2 * i, 3 * i})}));
    std::string good = dir.file("good.stats");
    ASSERT_GT(f.writeToFile(good.c_str()), 0);
    std::string file = readFile(good);

    struct Case {
        const char* name;
        std::string content;
        const char* reason;
    } cases[] = {
        {"magic", "?dravika-perfdatA\n" + file.substr(18), "is not a statistics file"},
        {"short", "?dravika", "is not a statistics file"},
        {"truncated", file.substr(0, file.size() - 12), "unexpected end of file"},
        {"corrupt", file.substr(0, 40) + std::string(8, '\x55') + file.substr(48), "is damaged"},
        {"plain", file.substr(0, 18) + gunzip(file.substr(18)), "not gzip-compressed"},
        {"trailing", file.substr(0, 18) + gzipped(gunzip(file.substr(18)) + "xx"), "bytes after the end"},
        {"badbody", file.substr(0, 18) + gzipped(Bytes().be32(6).be32(0).int32(10).u8(1).data), "does not decode"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        std::string path = dir.file(c.name);
        writeFile(path, c.content);
        std::unique_ptr<StatsFile> back(StatsFile::readFromFile(path.c_str()));
        EXPECT_EQ(nullptr, back) << c.name;
        EXPECT_TRUE(log.contains(c.reason)) << c.name << ": " << log.text();
        EXPECT_TRUE(log.contains(path)) << c.name;
    }
    LogCapture log;
    EXPECT_EQ(nullptr, StatsFile::readFromFile(dir.file("missing").c_str()));
    EXPECT_TRUE(log.contains("missing' cannot be opened")) << log.text();

    // Writing: an error number, and no half-written file left behind.
    EXPECT_EQ(-ENOSPC, f.writeToFile("/dev/full"));
    struct stat st;
    EXPECT_EQ(0, stat("/dev/full", &st));
    std::string notADir = good + "/x.stats";
    EXPECT_EQ(-ENOTDIR, f.writeToFile(notADir.c_str()));
}

TEST_F(StatsFileTest, TravelsEncodedAndDecodesOnDemand) {
    StatsFile f;
    f.interval = 60;
    f.add(entry(5000, {row(30, 1, "lo", {7})}));
    Message m(0);
    ASSERT_EQ(0, m.writeObject(OBJ_STATSFILE_ID, &f));
    // Field 1 the buffer form as a byte block, field 2 the start time.
    char* form = nullptr;
    size_t formLength = 0;
    ASSERT_EQ(0, f.writeToBuffer(&form, &formLength));
    Bytes want;
    want.object(2055).field(1).u8(14).be32(static_cast<uint32_t>(formLength)).raw(std::string(form, formLength));
    want.field(2).int64(5000).end();
    free(form);
    size_t n;
    unsigned char* bytes = m.copyBytes(&n);
    EXPECT_EQ(want.hex(), Bytes::hex(bytes + 9, n - 9));
    free(bytes);
    m.switchToRead();
    Translatable* obj = nullptr;
    ASSERT_EQ(0, m.readObject(OBJ_STATSFILE_ID, &obj));
    std::unique_ptr<StatsFile> got(static_cast<StatsFile*>(obj));
    ASSERT_TRUE(got->isEncoded());
    EXPECT_EQ(5000, got->startTime);
    EXPECT_EQ(0, got->count);

    // Written to a file as the bytes it came with; read back whole.
    std::string path = dir.file("kept.stats");
    ASSERT_GT(got->writeToFile(path.c_str()), 0);
    std::unique_ptr<StatsFile> back(StatsFile::readFromFile(path.c_str()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(describe(f), describe(*back));

    ASSERT_EQ(0, got->decode());
    EXPECT_FALSE(got->isEncoded());
    EXPECT_EQ(describe(f), describe(*got));

    // Kept bytes that do not decode stay kept.
    StatsFile broken;
    broken._encoded = static_cast<unsigned char*>(malloc(3));
    memcpy(broken._encoded, "abc", 3);
    broken._encodedLength = 3;
    EXPECT_EQ(-1, broken.decode());
    EXPECT_TRUE(broken.isEncoded());
}

TEST_F(StatsFileTest, FindsTheLatestEntryOfAClassAndDumpsRowsReadably) {
    StatsFile f;
    f.add(entry(36000, {row(30, 0, "eth0", {1, 2, 3})}));
    f.add(entry(36300, {row(30, 0, "eth0", {1000000, 12, 3})}));
    f.add(entry(36600, {row(31, 0, "cpu", {5})}));
    f.add(entry(36100, {row(30, 0, "eth0", {9})}));
    EXPECT_EQ(f.entries[1], f.findLatestContainingClsid(30));
    EXPECT_EQ(f.entries[2], f.findLatestContainingClsid(31));
    EXPECT_EQ(nullptr, f.findLatestContainingClsid(32));

    EXPECT_EQ("        cls: 30, id: 0, label: eth0, (1) 1000000, (1) 12, (1) 3, \n",
              printed([&](FILE* out) { f.entries[1]->rows[0]->dump(out); }));
    std::string listing = printed([&](FILE* out) { f.dump(out); });
    EXPECT_NE(std::string::npos, listing.find(" (4)\n    ")) << listing;
    EXPECT_NE(std::string::npos, listing.find("        cls: 31, id: 0, label: cpu, (1) 5, \n")) << listing;

    // A time no calendar holds, as a damaged file may carry, shows as nothing.
    std::unique_ptr<StatEntry> beyond(entry(LLONG_MAX, {row(30, 0, "eth0", {1})}));
    EXPECT_EQ("    :\n        cls: 30, id: 0, label: eth0, (1) 1, \n",
              printed([&](FILE* out) { beyond->dump(out); }));
}

TEST_F(StatsFileTest, ASeriesArrayHoldsItsValuesThenItsEnd) {
    StatData** two = StatData::createSeriesArray(2, StatData::makeInt64(1000000), StatData::makeDouble(0.5));
    StatRow both(30, 0, "eth0", two);
    ASSERT_EQ(2, both.seriesCount());
    EXPECT_EQ("        cls: 30, id: 0, label: eth0, (1) 1000000, (2) 0.500000, \n",
              printed([&](FILE* out) { both.dump(out); }));
    // No values, or a count below zero: nothing but the end, and a row
    // built on it has no values.
    for (int n : {0, -1, -5, INT_MIN}) {
        StatData** none = StatData::createSeriesArray(n);
        ASSERT_NE(nullptr, none) << n;
        EXPECT_EQ(nullptr, none[0]) << n;
        StatRow empty(31, 1, "lo", none);
        EXPECT_EQ(0, empty.seriesCount()) << n;
        EXPECT_EQ("        cls: 31, id: 1, label: lo, \n", printed([&](FILE* out) { empty.dump(out); })) << n;
    }
}

TEST_F(StatsFileTest, ConsolidatesADayIntoOneFileInStartOrder) {
    // Day 2026-12-05; the names do not say which file starts first.
    auto write = [&](const char* name, int interval, std::vector<StatEntry*> entries) {
        StatsFile f;
        f.interval = interval;
        for (StatEntry* e : entries) f.add(e);
        ASSERT_GT(f.writeToFile(dir.file(name).c_str()), 0) << name;
    };
    write("20261205-000000.stats", 10, {entry(800, {row(30, 0, "eth0", {1})}), entry(830, {row(30, 0, "eth0", {2})})});
    write("20261205-090000.stats", 20, {entry(1000, {row(30, 0, "eth0", {5}), row(30, 1, "lo", {6})}),
                                        entry(1005, {row(30, 0, "eth0", {7})})});
    write("20261205-100000.stats", 30, {entry(900, {row(30, 1, "lo", {3}), row(30, 0, "eth0", {4})})});
    write("20261206-000000.stats", 10, {entry(2000, {row(30, 0, "eth0", {8})})});
    // A file without entries has no start (0 stands for none): it does not
    // pull the day's start back to the epoch.
    write("20261205-080000.stats", 10, {});
    writeFile(dir.file("20261205-110000.stats"), "not statistics");
    writeFile(dir.file("20261205-note.txt"), "left alone");

    struct tm day = dec5();
    ASSERT_EQ(0, consolidateDec5());

    std::unique_ptr<StatsFile> merged = dayFile();
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ("interval 10, 800 to 1005\n"
              "800: 30/0/eth0,1\n"
              "830: 30/0/eth0,2\n"
              "900: 30/1/lo,3 30/0/eth0,4\n"
              "1000: 30/0/eth0,5 30/1/lo,6\n"
              "1005: 30/0/eth0,7\n",
              describe(*merged));
    struct stat st;
    for (const char* name : {"20261205-080000.stats", "20261205-090000.stats", "20261205-100000.stats"})
        EXPECT_NE(0, stat(dir.file(name).c_str(), &st)) << name;
    // What could not be read, another day and other names stay.
    EXPECT_EQ(0, stat(dir.file("20261205-110000.stats").c_str(), &st));
    EXPECT_EQ(0, stat(dir.file("20261206-000000.stats").c_str(), &st));
    EXPECT_EQ(0, stat(dir.file("20261205-note.txt").c_str(), &st));

    // Again with one newer file: still exactly one consolidated file.
    write("20261205-120000.stats", 10, {entry(1200, {row(30, 0, "eth0", {9})})});
    ASSERT_EQ(0, consolidateDec5());
    merged = dayFile();
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ(6, merged->count);
    EXPECT_EQ(1200, merged->endTime);
    EXPECT_NE(0, stat(dir.file("20261205-120000.stats").c_str(), &st));

    // A merged file that cannot be written leaves every input as it was.
    write("20261205-130000.stats", 10, {entry(1300, {row(30, 0, "eth0", {10})})});
    mkdir(dir.file("20261205-000000.stats.new").c_str(), 0755);
    LogCapture log;
    EXPECT_EQ(-1, StatsFile::consolidate(dir.path().c_str(), &day));
    EXPECT_TRUE(log.contains("Error: unable to write to file '" + dir.file("20261205-000000.stats") + "'"))
        << log.text();
    EXPECT_EQ(0, stat(dir.file("20261205-130000.stats").c_str(), &st));
    merged = dayFile();
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ(6, merged->count);
}

TEST_F(StatsFileTest, ConsolidationWithoutAFolderOrADayIsRefused) {
    struct tm day = dec5();
    LogCapture log;
    EXPECT_EQ(-1, StatsFile::consolidate(dir.path().c_str(), nullptr));
    EXPECT_EQ(-1, StatsFile::consolidate(nullptr, &day));
    EXPECT_TRUE(log.contains("Error: consolidation needs a folder and a day")) << log.text();
}

// The day's earlier consolidated file holds entries that the merge can only
// include if it reads; one that does not read is moved aside, never
// overwritten by a merge without its entries.
TEST_F(StatsFileTest, ConsolidationNeverOverwritesAnUnreadableConsolidatedFile) {
    auto write = [&](const char* name, long first, int n) {
        StatsFile f;
        for (int i = 0; i < n; i++) f.add(entry(first + 10 * i, {row(30, 0, "eth0", {i})}));
        ASSERT_GT(f.writeToFile(dir.file(name).c_str()), 0) << name;
    };
    // Damaged the way an interrupted copy leaves it: without the gzip trailer.
    auto damage = [&](const std::string& path) {
        std::string bytes = readFile(path);
        bytes.resize(bytes.size() - 8);
        writeFile(path, bytes);
        return bytes;
    };
    struct tm day = dec5();
    std::string target = dir.file("20261205-000000.stats");
    write("20261205-000000.stats", 800, 50);
    std::string first = damage(target);
    write("20261205-090000.stats", 5000, 2);
    {
        LogCapture log;
        ASSERT_EQ(0, StatsFile::consolidate(dir.path().c_str(), &day));
        EXPECT_TRUE(log.contains("Warning: '" + target + "' cannot be read; moved to '" + target + ".unreadable'"))
            << log.text();
    }
    EXPECT_EQ(first, readFile(target + ".unreadable"));
    std::unique_ptr<StatsFile> merged(StatsFile::readFromFile(target.c_str()));
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ(2, merged->count);
    struct stat st;
    EXPECT_NE(0, stat(dir.file("20261205-090000.stats").c_str(), &st));

    // Again: the earlier one kept aside is not overwritten either.
    std::string second = damage(target);
    write("20261205-100000.stats", 6000, 1);
    ASSERT_EQ(0, consolidateDec5());
    EXPECT_EQ(first, readFile(target + ".unreadable"));
    EXPECT_EQ(second, readFile(target + ".unreadable-1"));
    merged.reset(StatsFile::readFromFile(target.c_str()));
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ(1, merged->count);
    EXPECT_EQ(6000, merged->startTime);
}

// Every file the writer produces, the reader takes: a body beyond the
// reader's limit is refused when writing, before the file is created.
TEST_F(StatsFileTest, WritesNoBodyTheReaderWouldRefuse) {
    struct LimitRestored {
        size_t saved = StatsFile::_maxBodyBytes;
        ~LimitRestored() { StatsFile::_maxBodyBytes = saved; }
    } restored;
    StatsFile f;
    for (int i = 0; i < 50; i++) f.add(entry(1000 + i, {row(30, i, "eth0", {i, 2 * i})}));
    char* buf = nullptr;
    size_t len = 0;
    ASSERT_EQ(0, f.writeToBuffer(&buf, &len));
    // The buffer form is the length and type words, then the body.
    size_t body = len - 8;
    std::string path = dir.file("big.stats");
    struct stat st;

    StatsFile::_maxBodyBytes = body - 1;
    EXPECT_EQ(-EFBIG, f.writeToFile(path.c_str()));
    EXPECT_NE(0, stat(path.c_str(), &st));
    StatsFile encoded;
    encoded._encoded = reinterpret_cast<unsigned char*>(buf);
    encoded._encodedLength = len;
    EXPECT_EQ(-EFBIG, encoded.writeToFile(path.c_str()));
    EXPECT_NE(0, stat(path.c_str(), &st));

    StatsFile::_maxBodyBytes = body;
    EXPECT_GT(f.writeToFile(path.c_str()), 0);
    std::unique_ptr<StatsFile> back(StatsFile::readFromFile(path.c_str()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(50, back->count);
    unlink(path.c_str());
    EXPECT_GT(encoded.writeToFile(path.c_str()), 0);
    back.reset(StatsFile::readFromFile(path.c_str()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(50, back->count);

    // Two files that each fit but whose merge does not: the day stays as it was.
    unlink(path.c_str());
    struct tm day = dec5();
    for (const char* name : {"20261205-080000.stats", "20261205-090000.stats"}) {
        StatsFile half;
        for (int i = 0; i < 30; i++) half.add(entry(1000 + i, {row(30, i, "eth0", {i, 2 * i})}));
        ASSERT_GT(half.writeToFile(dir.file(name).c_str()), 0);
    }
    LogCapture log;
    EXPECT_EQ(-1, StatsFile::consolidate(dir.path().c_str(), &day));
    EXPECT_TRUE(log.contains("Error: unable to write to file")) << log.text();
    for (const char* name : {"20261205-080000.stats", "20261205-090000.stats"})
        EXPECT_EQ(0, stat(dir.file(name).c_str(), &st)) << name;
    EXPECT_NE(0, stat(dir.file("20261205-000000.stats").c_str(), &st));
    EXPECT_NE(0, stat(dir.file("20261205-000000.stats.new").c_str(), &st));
}

// Names in a statistics folder come from whoever can write there: a FIFO
// under a statistics file's name must neither hold up a reader nor a
// writer, since nothing may ever open its other end.
TEST_F(StatsFileTest, AFifoUnderAStatisticsNameIsRefusedNotWaitedOn) {
    struct tm day = dec5();
    StatsFile f;
    f.add(entry(1000, {row(30, 0, "eth0", {1})}));
    ASSERT_GT(f.writeToFile(dir.file("20261205-090000.stats").c_str()), 0);
    const std::string fifo = dir.file("20261205-100000.stats");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // Where consolidation writes before it renames: a name anyone can foresee.
    const std::string pending = dir.file("20261205-000000.stats.new");
    ASSERT_EQ(0, mkfifo(pending.c_str(), 0600));

    // Runs call on a thread of its own; a call still blocked after the
    // deadline is released by opening the FIFOs' other ends, so that a
    // failure is reported rather than the test hanging. (A writer released
    // that way meets a closed pipe: SIGPIPE is ignored, as the runtime
    // ignores it from its start.)
    struct sigaction ignore = {}, saved = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    auto finishesAlone = [&](std::function<void()> call) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            call();
            done = true;
        });
        for (int i = 0; i < 500 && !done; i++) usleep(10000);
        bool alone = done;
        while (!done) {
            for (const std::string& name : {fifo, pending}) {
                int fd = open(name.c_str(), O_RDWR | O_NONBLOCK);
                if (fd >= 0) close(fd);
            }
            usleep(10000);
        }
        t.join();
        return alone;
    };

    LogCapture log;
    StatsFile* read = reinterpret_cast<StatsFile*>(1);
    EXPECT_TRUE(finishesAlone([&] { read = StatsFile::readFromFile(fifo.c_str()); }));
    EXPECT_EQ(nullptr, read);
    EXPECT_TRUE(log.contains("Error: '" + fifo + "' is not a statistics file")) << log.text();

    long written = 0;
    EXPECT_TRUE(finishesAlone([&] { written = f.writeToFile(pending.c_str()); }));
    EXPECT_EQ(-ENXIO, written);

    int rc = 0;
    EXPECT_TRUE(finishesAlone([&] { rc = StatsFile::consolidate(dir.path().c_str(), &day); }));
    EXPECT_EQ(-1, rc);
    EXPECT_TRUE(log.contains("Error: unable to write to file '" + dir.file("20261205-000000.stats") + "'"))
        << log.text();
    // The readable file stays for the next try; the FIFOs are left alone.
    struct stat st;
    EXPECT_EQ(0, stat(dir.file("20261205-090000.stats").c_str(), &st));
    EXPECT_EQ(0, lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(0, lstat(pending.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    unlink(fifo.c_str());
    unlink(pending.c_str());
    sigaction(SIGPIPE, &saved, nullptr);
}

// The name consolidation writes to before it renames is one anyone who can
// write in the folder can foresee: a link left there must not lead the
// write to another file, which would be truncated and overwritten.
TEST_F(StatsFileTest, ConsolidationWritesThroughNoLinkLeftAtItsPendingName) {
    StatsFile f;
    f.add(entry(1000, {row(30, 0, "eth0", {1})}));
    ASSERT_GT(f.writeToFile(dir.file("20261205-090000.stats").c_str()), 0);
    TempDir elsewhere;
    const std::string victim = elsewhere.file("victim");
    writeFile(victim, "precious");
    const std::string pending = dir.file("20261205-000000.stats.new");
    ASSERT_EQ(0, symlink(victim.c_str(), pending.c_str()));
    EXPECT_EQ(0, consolidateDec5());
    EXPECT_EQ("precious", readFile(victim));
    struct stat st;
    ASSERT_EQ(0, lstat(dir.file("20261205-000000.stats").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    std::unique_ptr<StatsFile> merged = dayFile();
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ(1, merged->count);

    // A hard link there is not written through either.
    ASSERT_GT(f.writeToFile(dir.file("20261205-100000.stats").c_str()), 0);
    ASSERT_EQ(0, link(victim.c_str(), pending.c_str()));
    EXPECT_EQ(0, consolidateDec5());
    EXPECT_EQ("precious", readFile(victim));
    merged = dayFile();
    ASSERT_NE(nullptr, merged);
    EXPECT_EQ(2, merged->count);
}

// A body of many tiny entries, or of one entry with many tiny rows (a few
// bytes each, which a sender may send), reads in time that grows with their
// number, not with its square.
TEST_F(StatsFileTest, ManyTinyEntriesAndRowsReadInLinearTime) {
    const int kMany = 300000;
    auto bufferOf = [](const std::function<void(Message&)>& body) {
        Message m(0);
        body(m);
        size_t total = 0;
        unsigned char* bytes = m.copyBytes(&total);
        putBE32(bytes + 1, static_cast<uint32_t>(total - 9));  // the body alone
        std::string out(reinterpret_cast<char*>(bytes) + 1, total - 1);
        free(bytes);
        return out;
    };
    const std::string entries = bufferOf([&](Message& m) {
        m.writeInt32(10);
        m.writeInt64(1000);
        m.writeInt64(2000);
        m.writeInt32(kMany);
        for (int i = 0; i < kMany; i++) {
            m.writeInt64(1000 + i);
            m.writeInt32(0);
        }
    });
    const std::string rows = bufferOf([&](Message& m) {
        m.writeInt32(10);
        m.writeInt64(1000);
        m.writeInt64(2000);
        m.writeInt32(1);
        m.writeInt64(1000);
        m.writeInt32(kMany);
        for (int i = 0; i < kMany; i++) {
            m.writeInt64(i);
            m.writeInt64(1);
            m.writeString(nullptr);
            m.writeInt32(0);
        }
    });
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::unique_ptr<StatsFile> a(StatsFile::readFromBuffer(entries.data(), entries.size()));
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(kMany, a->count);
    EXPECT_EQ(1000 + kMany - 1, a->entries[kMany - 1]->time);
    EXPECT_EQ(2000, a->endTime);  // the header's, not the last entry's
    std::unique_ptr<StatsFile> b(StatsFile::readFromBuffer(rows.data(), rows.size()));
    ASSERT_NE(nullptr, b);
    ASSERT_EQ(1, b->count);
    ASSERT_EQ(kMany, b->entries[0]->count);
    EXPECT_EQ(kMany - 1, b->entries[0]->rows[kMany - 1]->cls);
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_LT(end.tv_sec - start.tv_sec, 30);
    // A file read this way takes more entries as any other does.
    a->add(new StatEntry(5000));
    EXPECT_EQ(kMany + 1, a->count);
    EXPECT_EQ(5000, a->entries[kMany]->time);
}

// A day of many short entries (a busy host, or files anyone who can write
// in the folder may leave) consolidates in time that grows with their
// number, not with its square.
TEST_F(StatsFileTest, ConsolidatingManyEntriesTakesLinearTime) {
    const int kMany = 100000;
    for (int k = 0; k < 2; k++) {
        Message m(0);
        m.writeInt32(10);
        m.writeInt64(1000 + k * kMany);
        m.writeInt64(1000 + (k + 1) * kMany - 1);
        m.writeInt32(kMany);
        for (int i = 0; i < kMany; i++) {
            m.writeInt64(1000 + k * kMany + i);
            m.writeInt32(0);
        }
        size_t total = 0;
        unsigned char* bytes = m.copyBytes(&total);
        putBE32(bytes + 1, static_cast<uint32_t>(total - 9));
        std::unique_ptr<StatsFile> f(StatsFile::readFromBuffer(reinterpret_cast<char*>(bytes) + 1, total - 1));
        free(bytes);
        ASSERT_NE(nullptr, f);
        std::string name = "20261205-0" + std::to_string(k) + "0000.stats";
        ASSERT_GT(f->writeToFile(dir.file(name).c_str()), 0);
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    ASSERT_EQ(0, consolidateDec5());
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_LT(end.tv_sec - start.tv_sec, 30);
    std::unique_ptr<StatsFile> merged = dayFile();
    ASSERT_NE(nullptr, merged);
    ASSERT_EQ(2 * kMany, merged->count);
    EXPECT_EQ(1000 + 2 * kMany - 1, merged->entries[2 * kMany - 1]->time);
}

// Only kinds that the reader knows are written: a value of any other kind
// would leave a file (or an encoded object) that never reads back.
TEST_F(StatsFileTest, AValueOfAnUnknownKindIsNotWritten) {
    StatData* odd = StatData::makeInt64(5);
    odd->kind = 3;
    StatsFile f;
    f.add(entry(1000, {new StatRow(30, 0, "eth0", StatData::createSeriesArray(1, odd))}));
    char* buf = nullptr;
    size_t len = 0;
    EXPECT_EQ(-1, f.writeToBuffer(&buf, &len));
    EXPECT_EQ(nullptr, buf);
    std::string path = dir.file("odd.stats");
    EXPECT_EQ(-EINVAL, f.writeToFile(path.c_str()));
    struct stat st;
    EXPECT_NE(0, stat(path.c_str(), &st));
    // Kinds 1 and 2 (and 0, written with a 64-bit value) read back as written.
    odd->kind = 0;
    ASSERT_GT(f.writeToFile(path.c_str()), 0);
    std::unique_ptr<StatsFile> back(StatsFile::readFromFile(path.c_str()));
    ASSERT_NE(nullptr, back);
    ASSERT_EQ(1, back->entries[0]->rows[0]->seriesCount());
    EXPECT_EQ(0, back->entries[0]->rows[0]->series[0]->kind);
    EXPECT_EQ(5, back->entries[0]->rows[0]->series[0]->value.i);
}

}  // namespace
