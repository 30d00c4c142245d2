#include "io/input.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/error_codes.h"
#include "io/output.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait_for.h"

namespace {

using Clock = std::chrono::steady_clock;

void append(Input& in, const std::string& bytes, long long announced) {
    in.appendData(reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), announced,
                  static_cast<int>(bytes.size()));
}

void end(Input& in) {
    in.appendData(nullptr, 0, 0);
}

// Reads until the end (-1) or an error (-2); returns the text and the last result.
std::string readAll(Input& in, int chunk, int* last = nullptr) {
    std::string text;
    std::vector<unsigned char> buf(static_cast<size_t>(chunk));
    int n;
    while ((n = in.read(buf.data(), chunk)) > 0) text.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
    if (last) *last = n;
    return text;
}

std::string errorOf(Input& in) {
    char text[256];
    in.errorText(text, sizeof text);
    return text;
}

void appendToFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

void waitForReaders(Input& in, int count) {
    while (in.readerCount() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(Input, ArrivingDataIsSharedByConcurrentReadersExactlyOnce) {
    // 4-byte counters in chunks of whole counters, read in whole counters:
    // every counter must reach exactly one reader, each read in order.
    const int kCounters = 20000;
    const int kReaders = 4;
    Input in(-1, nullptr, nullptr);
    std::vector<std::vector<uint32_t>> seen(kReaders);
    std::atomic<bool> ordered{true};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; r++) {
        readers.emplace_back([&, r] {
            unsigned char buf[4 * 37];
            int n;
            while ((n = in.read(buf, sizeof buf)) > 0) {
                if (n % 4 != 0) ordered = false;
                for (int k = 0; k + 4 <= n; k += 4) {
                    uint32_t v;
                    memcpy(&v, buf + k, 4);
                    if (k > 0 && v != seen[r].back() + 1) ordered = false;
                    seen[r].push_back(v);
                }
            }
            if (n != -1) ordered = false;
        });
    }
    const long long total = 4LL * kCounters;
    for (int c = 0; c < kCounters;) {
        std::string chunk;
        for (int k = 0; k < 1 + c % 53 && c < kCounters; k++, c++) chunk.append(reinterpret_cast<char*>(&c), 4);
        append(in, chunk, total);
        if (c % 500 == 0) std::this_thread::yield();
    }
    end(in);
    for (std::thread& t : readers) t.join();
    EXPECT_TRUE(ordered);
    std::vector<int> hits(kCounters, 0);
    for (const auto& list : seen)
        for (uint32_t v : list) {
            ASSERT_LT(v, static_cast<uint32_t>(kCounters));
            hits[v]++;
        }
    for (int c = 0; c < kCounters; c++) ASSERT_EQ(1, hits[c]) << c;
    EXPECT_EQ(0, in.available());
    EXPECT_EQ(total, in.size());
}

TEST(Input, ReadsHandOverWhatArrivedAndEndAfterTheMarker) {
    Input in(-1, nullptr, nullptr);
    unsigned char buf[64];
    // A reader asking for more than has arrived waits for the next chunk,
    // then takes all that has arrived rather than wait for the rest.
    append(in, "0123456789", 100);
    std::atomic<int> readerTid{0};
    std::thread reader([&] {
        readerTid = kernelThreadId();
        EXPECT_EQ(16, in.read(buf, sizeof buf));
    });
    waitForReaders(in, 1);
    // The chunk must come once the reader waits for it, not before (it would
    // then wait for yet another), however slowly a loaded machine gets it
    // there: it waits on a condition, so it sleeps on a lock word.
    waitFor([&] { return inFutexWait(readerTid); }, 10000);
    append(in, "abcdef", 100);
    reader.join();
    EXPECT_EQ(0, memcmp(buf, "0123456789abcdef", 16));
    EXPECT_EQ(0, in.available());

    // The last chunk brings the whole size: the rest is read, then -1.
    append(in, "ghi", 19);
    EXPECT_EQ(3, in.read(buf, sizeof buf));
    EXPECT_EQ(0, memcmp(buf, "ghi", 3));
    EXPECT_EQ(-1, in.read(buf, sizeof buf));
    EXPECT_EQ(-1, in.read(buf, sizeof buf));

    // Seeking back re-reads what is held; positions stay within it.
    EXPECT_EQ(19, in.seek(1000));
    EXPECT_EQ(0, in.seek(-5));
    EXPECT_EQ("0123456789abcdefghi", readAll(in, 5));
}

// A read of nothing reads nothing: it says "end of data" only where a read
// of more would, and leaves the data for the reads that follow.
TEST(Input, AReadOfNothingEndsOnlyAtTheEnd) {
    unsigned char buf[64];
    Input in(-1, nullptr, nullptr);
    append(in, "0123456789", 12);
    EXPECT_EQ(0, in.read(buf, 0));
    EXPECT_EQ(0, in.read(buf, -3));
    EXPECT_EQ(10, in.read(buf, 10));
    EXPECT_EQ(0, in.read(buf, 0)) << "two bytes are still to come";
    append(in, "ab", 12);
    EXPECT_EQ(0, in.read(buf, 0));
    EXPECT_EQ(2, in.read(buf, sizeof buf));
    EXPECT_EQ(-1, in.read(buf, 0));
    EXPECT_EQ(-1, in.read(buf, sizeof buf));

    TempDir dir;
    std::string path = dir.file("local.txt");
    writeFile(path, "Stra\xDF" "e\n");
    for (const char* encoding : {static_cast<const char*>(nullptr), "ISO-8859-1"}) {
        const std::string want = encoding != nullptr ? "Stra\xC3\x9F" "e\n" : "Stra\xDF" "e\n";
        Input local(open(path.c_str(), O_RDONLY), encoding);
        EXPECT_EQ(0, local.read(buf, 0)) << (encoding ? encoding : "as it is");
        int last = 0;
        EXPECT_EQ(want, readAll(local, 3, &last));
        EXPECT_EQ(-1, last);
        EXPECT_EQ(-1, local.read(buf, 0));
    }
}

TEST(Input, ATerminatedTransferHandsOutWhatArrivedThenFails) {
    // A negative end marker, -1 among them, wakes readers waiting for the
    // size or for more data. What arrived is read; after it comes an error,
    // not the end of data, since it is not the whole file. (The waits are
    // long enough that a reader left waiting shows as a time-out text.)
    for (long long terminated : {-1LL, -7LL}) {
        for (const std::string& arrived : {std::string(), std::string("abc")}) {
            Input in(-1, nullptr, nullptr);
            in.setWaitTimes(10000, 10000);
            if (!arrived.empty()) append(in, arrived, 10);
            int waited = 0;
            unsigned char got[16];
            std::thread reader([&] { waited = in.read(got, sizeof got); });
            waitForReaders(in, 1);
            in.appendData(nullptr, terminated, 0);
            reader.join();
            std::string context = std::to_string(terminated) + " after " + std::to_string(arrived.size());
            if (arrived.empty()) {
                EXPECT_EQ(-2, waited) << context;
            } else {
                ASSERT_EQ(static_cast<int>(arrived.size()), waited) << context;
                EXPECT_EQ(arrived, std::string(reinterpret_cast<char*>(got), arrived.size()));
            }
            unsigned char buf[16];
            EXPECT_EQ(-2, in.read(buf, 0)) << context;
            EXPECT_EQ(-2, in.read(buf, sizeof buf)) << context;
            EXPECT_EQ("Unable to read. Transfer terminated", errorOf(in));
            EXPECT_EQ(DirError::E_IO, in.errorCode());
        }
    }
    // A producer's own error is kept.
    Input failed(-1, nullptr, nullptr);
    failed.handleError(DirError::E_PROTOCOL, "FT: broken");
    failed.appendData(nullptr, -1, 0);
    EXPECT_EQ("FT: broken", errorOf(failed));
}

TEST(Input, AZeroEndMarkerSetsTheSizeOnlyWhenNoneWasAnnounced) {
    unsigned char buf[8];
    Input empty(-1, nullptr, nullptr);
    empty.appendData(nullptr, 0, 0);
    EXPECT_EQ(-1, empty.read(buf, sizeof buf));
    EXPECT_EQ(0, empty.size());

    Input sized(-1, nullptr, nullptr);
    sized.setWaitTimes(5000, 100);
    append(sized, "abc", 10);
    sized.appendData(nullptr, 0, 0);  // the announced 10 still stands
    EXPECT_EQ(3, sized.read(buf, 3));
    EXPECT_EQ(-2, sized.read(buf, sizeof buf));  // the other 7 never come
}

TEST(Input, TimeOutsAndProducerErrorsStick) {
    unsigned char buf[16];
    {
        // The size never arrives.
        Input in(-1, nullptr, nullptr);
        in.setWaitTimes(150, 150);
        auto start = Clock::now();
        EXPECT_EQ(-2, in.read(buf, sizeof buf));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
        EXPECT_EQ("Unable to read. Network timeout (1)", errorOf(in));
        append(in, "late", 4);
        EXPECT_EQ(-2, in.read(buf, sizeof buf));
    }
    {
        // Part of the data arrives, then nothing.
        Input in(-1, nullptr, nullptr);
        in.setWaitTimes(5000, 100);
        append(in, "part", 50);
        EXPECT_EQ(-2, in.read(buf, sizeof buf));
        EXPECT_EQ("Unable to read. Network timeout (2)", errorOf(in));
    }
    {
        // The producer fails while a reader waits.
        Input in(-1, nullptr, nullptr);
        std::thread reader([&] { EXPECT_EQ(-2, in.read(buf, sizeof buf)); });
        waitForReaders(in, 1);
        in.handleError(DirError::E_IO, "FT: connection lost");
        reader.join();
        EXPECT_EQ(DirError::E_IO, in.errorCode());
        EXPECT_EQ("FT: connection lost", errorOf(in));
    }
}

class FakeProducer : public InputProducer {
public:
    FakeProducer(std::atomic<int>* cancels, std::atomic<int>* deletes) : _cancels(cancels), _deletes(deletes) {}
    ~FakeProducer() override { (*_deletes)++; }
    void cancel() override { (*_cancels)++; }

private:
    std::atomic<int>* _cancels;
    std::atomic<int>* _deletes;
};

std::atomic<int> closeCalls{0};

TEST(Input, DestroyingWakesBlockedReadersAndReleasesTheProducer) {
    std::atomic<int> cancels{0}, deletes{0};
    Input* in = new Input(-1, [](Input*) { closeCalls++; }, nullptr);
    in->setFileCopy(new FakeProducer(&cancels, &deletes));
    // Attaching the other kind replaces (and releases) the first.
    EXPECT_FALSE(in->fedByWriter());
    in->setMasqInputReader(new FakeProducer(&cancels, &deletes));
    EXPECT_EQ(1, deletes.load());
    EXPECT_TRUE(in->fedByWriter());
    in->close();
    EXPECT_EQ(2, cancels.load());  // the replaced one when released, the attached one by close

    // Readers blocked waiting for a size that never comes (40 s by default).
    std::vector<std::thread> readers;
    std::atomic<int> returned{0};
    for (int r = 0; r < 3; r++) {
        readers.emplace_back([&] {
            unsigned char buf[8];
            int n = in->read(buf, sizeof buf);
            EXPECT_TRUE(n == -1 || n == -2) << n;
            returned++;
        });
    }
    waitForReaders(*in, 3);
    auto start = Clock::now();
    delete in;  // returns once every reader has left (ASan sees any later touch)
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(3, returned.load());
    EXPECT_EQ(1, closeCalls.load());
    EXPECT_EQ(3, cancels.load());
    EXPECT_EQ(2, deletes.load());
}

// A producer whose first cancel() waits until the test lets it go, and
// then touches itself again: freed by then, ASan reports it.
class SlowCancel : public InputProducer {
public:
    SlowCancel(std::atomic<bool>* entered, std::atomic<bool>* release, std::atomic<bool>* deleted)
        : _entered(entered), _release(release), _deleted(deleted) {}
    ~SlowCancel() override { *_deleted = true; }
    void cancel() override {
        if (_calls++ == 0) {
            *_entered = true;
            while (!*_release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        _calls++;
    }

private:
    std::atomic<bool>* _entered;
    std::atomic<bool>* _release;
    std::atomic<bool>* _deleted;
    int _calls = 0;
};

TEST(Input, AProducerIsNotReleasedWhileCloseCancelsIt) {
    std::atomic<bool> entered{false}, release{false}, deleted{false};
    std::atomic<int> cancels{0}, deletes{0};
    {
        Input in(-1, nullptr, nullptr);
        in.setFileCopy(new SlowCancel(&entered, &release, &deleted));
        std::thread closer([&] { in.close(); });
        while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Another producer replaces the one that close() is cancelling: the
        // old one may go only once close() is done with it.
        std::thread attacher([&] { in.setFileCopy(new FakeProducer(&cancels, &deletes)); });
        for (int i = 0; i < 200 && !deleted; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(deleted);
        release = true;
        closer.join();
        attacher.join();
        EXPECT_TRUE(deleted);
    }
    EXPECT_EQ(1, cancels.load());
    EXPECT_EQ(1, deletes.load());
}

TEST(Input, LocalFilesAreReadAsTheyGrow) {
    TempDir dir;
    std::string path = dir.file("local.txt");
    writeFile(path, "first line\n");
    Input in(open(path.c_str(), O_RDONLY), nullptr);
    EXPECT_EQ(11, in.size());
    int last = 0;
    EXPECT_EQ("first line\n", readAll(in, 4, &last));
    EXPECT_EQ(-1, last);
    appendToFile(path, "second\n");
    EXPECT_EQ("second\n", readAll(in, 100));

    // A descriptor that cannot be examined gives an input that only fails.
    Input bad(-1, nullptr);
    unsigned char buf[4];
    EXPECT_EQ(-2, bad.read(buf, sizeof buf));
    EXPECT_EQ(0u, errorOf(bad).find("Unable to stat input file: "));
    EXPECT_EQ(DirError::E_IO, bad.errorCode());
}

TEST(Input, LocalFilesInAnotherSetAreConvertedAsTheyAreRead) {
    TempDir dir;
    std::string path = dir.file("latin.txt");
    writeFile(path, "Stra\xDF" "e\n");
    Input latin(open(path.c_str(), O_RDONLY), "ISO-8859-1");
    int last = 0;
    EXPECT_EQ("Stra\xC3\x9F" "e\n", readAll(latin, 3, &last));
    EXPECT_EQ(-1, last);
    EXPECT_EQ(8, latin.size());  // UTF-8 bytes
    // The file grows: the new text is converted and read, as for a plain file.
    appendToFile(path, "na\xEFve\n");
    EXPECT_EQ("na\xC3\xAFve\n", readAll(latin, 100));
    EXPECT_EQ(15, latin.size());

    // More than one conversion step, detected from the byte-order mark,
    // read in pieces that fall anywhere.
    std::string utf16("\xFF\xFE", 2), want;
    for (int i = 0; i < 70000; i++) {
        char16_t u = i % 7 == 0 ? u'\n' : i % 3 == 0 ? u'\u65E5' : i % 2 == 0 ? u'\u00E9' : u'a';
        utf16.push_back(static_cast<char>(u & 0xFF));
        utf16.push_back(static_cast<char>(u >> 8));
        want += u == u'\n' ? "\n" : u == u'\u65E5' ? "\xE6\x97\xA5" : u == u'\u00E9' ? "\xC3\xA9" : "a";
    }
    writeFile(dir.file("utf16.txt"), utf16);
    Input detected(open(dir.file("utf16.txt").c_str(), O_RDONLY), "*");
    std::string got = readAll(detected, 997, &last);
    EXPECT_EQ(-1, last);
    EXPECT_TRUE(want == got) << got.size() << " bytes, want " << want.size();

    // An unknown set fails the reads; nothing is read from the file.
    Input unknown(open(path.c_str(), O_RDONLY), "no-such-charset");
    unsigned char buf[8];
    EXPECT_EQ(-2, unknown.read(buf, sizeof buf));
    EXPECT_EQ(DirError::E_IO, unknown.errorCode());
}

TEST(Input, LocalFilesInStatefulSetsConvertOnAsTheyGrow) {
    // Catching up with the file's end does not start its set afresh: text
    // appended later still has the byte order the mark gave and the shift
    // state of the text before it.
    TempDir dir;
    for (const char* set : {"UTF-16", "*"}) {
        std::string path = dir.file(set[0] == '*' ? "detected.txt" : "utf16.txt");
        writeFile(path, std::string("\xFF\xFEh\0i\0\n\0", 8));
        Input in(open(path.c_str(), O_RDONLY), set);
        int last = 0;
        EXPECT_EQ("hi\n", readAll(in, 16, &last)) << set;
        EXPECT_EQ(-1, last) << set;
        appendToFile(path, std::string("o\0k\0\xE9\0", 6));
        EXPECT_EQ("ok\xC3\xA9", readAll(in, 16)) << set;
    }
    std::string path = dir.file("jis.txt");
    writeFile(path, "\x1B$B\x24\x22");  // to JIS X 0208, then one character
    Input jis(open(path.c_str(), O_RDONLY), "ISO-2022-JP");
    EXPECT_EQ("\xE3\x81\x82", readAll(jis, 16));
    appendToFile(path, "\x24\x24\x1B(Bz");
    EXPECT_EQ("\xE3\x81\x84z", readAll(jis, 16));

    // A file that ends inside a character for now: the part becomes one
    // substitution character however often the end is read, and the
    // character the file then completes follows it, in the same byte order.
    path = dir.file("split.txt");
    writeFile(path, std::string("\xFF\xFEh\0\xE9", 5));
    Input split(open(path.c_str(), O_RDONLY), "UTF-16");
    EXPECT_EQ("h\xEF\xBF\xBD", readAll(split, 16));
    EXPECT_EQ("", readAll(split, 16));
    appendToFile(path, std::string("\0o\0", 3));
    EXPECT_EQ("\xC3\xA9o", readAll(split, 16));
}

TEST(Input, AFifoReadsAsEmptyWithOrWithoutConversion) {
    // A FIFO has no size to stat: it reads as empty, and the constructor does
    // not wait for the writer, which here keeps its end open.
    TempDir dir;
    std::string path = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    for (const char* encoding : {static_cast<const char*>(nullptr), "ISO-8859-1"}) {
        int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        int writer = open(path.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(3, write(writer, "abc", 3));
        fcntl(reader, F_SETFL, 0);  // blocking, as a caller's descriptor may be
        // Should the input read the FIFO regardless, the writer goes away
        // after a while, so that a failure shows as a wrong result.
        std::mutex lock;
        std::condition_variable cv;
        bool made = false;
        std::thread closer([&] {
            std::unique_lock<std::mutex> hold(lock);
            cv.wait_for(hold, std::chrono::seconds(3), [&] { return made; });
            close(writer);
        });
        {
            Input in(reader, encoding);
            {
                std::lock_guard<std::mutex> hold(lock);
                made = true;
            }
            cv.notify_all();
            int last = 0;
            EXPECT_EQ("", readAll(in, 16, &last)) << (encoding ? encoding : "plain");
            EXPECT_EQ(-1, last);
            EXPECT_EQ(0, in.errorCode());
        }
        closer.join();
    }
}

TEST(Input, ConvertsArrivingTextAndReportsConverterFailures) {
    // UTF-16 detected from the first chunk; chunks cut through characters.
    std::string utf16("\xFF\xFE", 2);
    for (char16_t u : std::u16string(u"K\u00F6ln;\u65E5\u672C\n")) {
        utf16.push_back(static_cast<char>(u & 0xFF));
        utf16.push_back(static_cast<char>(u >> 8));
    }
    Input in(-1, nullptr, "*");
    for (size_t at = 0; at < utf16.size(); at += 3) append(in, utf16.substr(at, 3), static_cast<long long>(utf16.size()));
    end(in);
    EXPECT_EQ("K\xC3\xB6ln;\xE6\x97\xA5\xE6\x9C\xAC\n", readAll(in, 2));

    LogCapture log;
    Input bad(-1, nullptr, "no-such-charset");
    append(bad, "abc", 3);
    unsigned char buf[4];
    EXPECT_EQ(-2, bad.read(buf, sizeof buf));
    EXPECT_EQ(DirError::E_IO, bad.errorCode());
    EXPECT_TRUE(log.contains("Input: converter failed with message: Invalid encoding. Cannot create ucnv converter for "
                             "no-such-charset, U_"))
        << log.text();
}

class FakeWriter : public OutputWriter {
public:
    explicit FakeWriter(std::string* log) : _log(log) {}
    ~FakeWriter() override { *_log += "deleted;"; }
    int write(long long offset, unsigned char* data, int length) override {
        *_log += std::to_string(offset) + ":" + std::string(reinterpret_cast<char*>(data), static_cast<size_t>(length)) + ";";
        return length > 3 ? -1 : length;  // long writes fail
    }
    int close() override {
        *_log += "closed;";
        return 7;
    }

private:
    std::string* _log;
};

TEST(Output, WritesAtItsOffsetAndOwnsItsWriter) {
    std::string log;
    {
        Output out(new FakeWriter(&log), 0644);
        unsigned char data[] = "abcdef";
        EXPECT_EQ(2, out.write(data, 2));
        EXPECT_EQ(-1, out.write(data, 5));  // a failure does not move the offset
        EXPECT_EQ(3, out.write(data + 2, 3));
        out.seek(100);
        out.write(data, 1);
        EXPECT_EQ(7, out.close());
        EXPECT_EQ(0, out.close());
        EXPECT_EQ(-1, out.write(data, 1));
    }
    EXPECT_EQ("0:ab;2:abcde;2:cde;100:a;closed;deleted;", log);
    log.clear();
    { Output out(new FakeWriter(&log), 0600); }
    EXPECT_EQ("closed;deleted;", log);
}

}  // namespace
