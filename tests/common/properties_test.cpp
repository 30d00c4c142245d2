// The properties file: line rules of both forms, typed readers, merge, and
// the process-wide reload with its fixed keys.
#include "common/properties.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "tests/common/fifo_release.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

// The entries of p, newest first, as "key=value@line".
std::vector<std::string> entries(const Properties& p) {
    std::vector<std::string> out;
    for (const Property* e = p.first(); e != nullptr; e = e->next)
        out.push_back(std::string(e->key) + "=" + e->value + "@" + std::to_string(e->line));
    return out;
}

// Writes the file and gives it a modification time of its own, so that every
// rewrite counts as a change even within one second.
void writeProperties(const std::string& path, const std::string& content) {
    static time_t mtime = 1600000000;
    writeFile(path, content);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    mtime += 10;
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(PropertiesLoad, LineRulesOfBothForms) {
    struct Case {
        std::string content;
        bool equalsForm;
        std::vector<std::string> entries;  // newest first, as "key=value@line"
        const char* error;                 // the message's first words when the load fails
        int line;
    } cases[] = {
        // Colon form: keys as written, values after their leading blanks, the
        // last line losing its last character even without a line feed.
        {"# a comment\n\n   \t \n   # an indented comment\nplain: value\n  indented: x\nspaced : y\n"
         "trailing:   kept blanks  \nurl: http://host:80/path\nempty:\ndup: first\ndup: second\nlast: no line feed",
         false,
         {"last=no line fee@13", "dup=second@12", "dup=first@11", "empty=@10", "url=http://host:80/path@9",
          "trailing=kept blanks  @8", "spaced =y@7", "  indented=x@6", "plain=value@5"},
         nullptr, 0},
        // A line without a colon stops the load; what was read stays.
        {"a: 1\n# fine\nno separator\nb: 2\n", false, {"a=1@1"}, "Expected <key>: <value>", 3},
        // Equals form: backslashes dropped, nothing trimmed, a colon no separator.
        {"path=C\\:\\\\dir\\\\file\n key = spaced \na=b=c\ncolon: is no separator here=1\n", true,
         {"colon: is no separator here=1@4", "a=b=c@3", " key = spaced @2", "path=C:dirfile@1"}, nullptr, 0},
        {"k=v\nk: v\n", true, {"k=v@1"}, "Expected <key>: <value>", 2},
        // A NUL ends the line's text where it stands; bytes that are not
        // UTF-8 are carried through.
        {std::string("k: v\0rest\n\0junk\nafter: ok\n", 26), false, {"after=ok@3", "k=@1"}, nullptr, 0},
        {"\xff\xfe: \xc3\x28\x80\n", false, {"\xff\xfe=\xc3\x28\x80@1"}, nullptr, 0},
        // Long lines are read in 4095-byte pieces, each losing its last
        // character: without a colon in the first piece the load stops there;
        // with one, that piece is an entry and the rest fails. Every piece
        // carries its line's number, so what follows a long line keeps its own.
        {std::string(1 << 20, 'a') + "\nk: v\n", false, {}, "Expected <key>: <value>", 1},
        {"k: " + std::string(1 << 20, 'b') + "\n", false, {"k=" + std::string(4091, 'b') + "@1"},
         "Expected <key>: <value>", 1},
        {"a: 1\n#" + std::string(4094, 'c') + "k: x\nb: 2\nno separator\n", false,
         {"b=2@3", "k=x@2", "a=1@1"}, "Expected <key>: <value>", 4},
        // Keys, and equals-form values, hold at most 127 characters.
        {std::string(127, 'k') + ": ok\n" + std::string(128, 'k') + ": too long\n", false,
         {std::string(127, 'k') + "=ok@1"}, "Key longer than 127 characters", 2},
        {"a=" + std::string(127, 'v') + "\nb=" + std::string(128, 'v') + "\n", true,
         {"a=" + std::string(127, 'v') + "@1"}, "Value longer than 127 characters", 2},
    };
    TempDir dir;
    std::string path = dir.file("a.properties");
    for (const Case& c : cases) {
        writeFile(path, c.content);
        LogCapture log;
        Properties p;
        EXPECT_EQ(c.error == nullptr, p.load(path.c_str(), c.equalsForm)) << c.content.substr(0, 40);
        EXPECT_EQ(c.entries, entries(p)) << c.content.substr(0, 40);
        std::string message = std::string(c.error != nullptr ? c.error : "") + " in properties file: " + path +
                              " at line " + std::to_string(c.line) + "\n";
        EXPECT_EQ(c.error != nullptr ? message : "", log.messages()) << c.content.substr(0, 40);
    }

    // A file that cannot be opened is an empty one.
    Properties none;
    EXPECT_TRUE(none.load(dir.file("missing").c_str(), false));
    EXPECT_EQ(nullptr, none.first());
}

TEST(PropertiesReaders, ValueRulesAndTheirMessages) {
    TempDir dir;
    std::string path = dir.file("e.properties");
    writeFile(path,
              "lvl_debug: DEBUG\nlvl_lower: debug\nlvl_crit: CRITICAL\n"
              "b_on: on\nb_TRUE: TRUE\nb_True: True\nb_OFF: OFF\nb_false: false\n"
              "i_ok: 0042\ni_empty:\ni_blank: 10 \ni_neg: -1\ni_wrap: 4294967297\n"
              "d: 2.5e1xyz\n");
    Properties p;
    ASSERT_TRUE(p.load(path.c_str(), false));
    LogCapture log;
    const char* label = "    label";

    // key, whether it reads, the value it gives (or leaves: out starts at -9)
    struct Case {
        const char* key;
        bool ok;
        int out;
    };
    for (Case c : {Case{"lvl_debug", true, 2}, Case{"lvl_crit", true, 6}, Case{"lvl_lower", false, -9},
                   Case{"absent", true, 4}}) {
        int out = -9;
        EXPECT_EQ(c.ok, p.levelFromProperty(c.key, label, false, out, 4)) << c.key;
        EXPECT_EQ(c.out, out) << c.key;
    }
    for (Case c : {Case{"b_on", true, 1}, Case{"b_TRUE", true, 1}, Case{"b_OFF", true, 0}, Case{"b_false", true, 0},
                   Case{"b_True", false, -9}, Case{"absent", true, 1}}) {
        // Starts opposite to what a read gives; a failed read leaves it false.
        bool out = c.ok && c.out == 0;
        EXPECT_EQ(c.ok, p.boolFromProperty(c.key, label, false, out, true)) << c.key;
        EXPECT_EQ(c.ok && c.out != 0, out) << c.key;
    }
    for (Case c : {Case{"i_ok", true, 42}, Case{"i_empty", true, 0}, Case{"i_wrap", true, 1} /* 2^32 + 1 */,
                   Case{"i_blank", false, -9}, Case{"i_neg", false, -9}, Case{"absent", true, 7}}) {
        int out = -9;
        EXPECT_EQ(c.ok, p.intFromProperty(c.key, label, false, out, 7)) << c.key;
        EXPECT_EQ(c.out, out) << c.key;
    }
    int out = -9;
    EXPECT_FALSE(p.intFromProperty("absent", label, true, out, 7));
    EXPECT_EQ(-9, out);
    double real = 0;
    EXPECT_TRUE(p.doubleFromProperty("d", label, false, real, 1.0));
    EXPECT_EQ(25.0, real);
    EXPECT_TRUE(p.doubleFromProperty("absent", label, false, real, 1.5));
    EXPECT_EQ(1.5, real);

    EXPECT_EQ("    label. (property = lvl_lower, line = 2, Use TRACE, DEBUG, INFO, WARNING, ERROR or CRICICAL)\n"
              "    label. (property = b_True, line = 6, Use ON, OFF, TRUE, or FALSE)\n"
              "    label: property i_blank is not an integer value\n"
              "    label: property i_neg is not an integer value\n"
              "    label: property absent is required but was missing\n",
              log.messages());
}

TEST(Properties, CopyDiffSetAndLog) {
    Properties a;
    a.setProperty("x", "1", 1);
    a.setProperty("y", "2", 2);
    a.setProperty("x", "3", 3);  // shadows, never replaces
    EXPECT_EQ((std::vector<std::string>{"x=3@3", "y=2@2", "x=1@1"}), entries(a));
    EXPECT_STREQ("3", a.getProperty("x"));
    EXPECT_EQ(nullptr, a.getProperty("X"));

    Properties copy(a);
    EXPECT_EQ((std::vector<std::string>{"x=1@-1", "y=2@-1", "x=3@-1"}), entries(copy));
    Properties more;
    more.setProperty("z", "9", 4);
    more.copyFrom(&a);
    EXPECT_EQ((std::vector<std::string>{"x=1@-1", "y=2@-1", "x=3@-1", "z=9@4"}), entries(more));

    Properties b;
    b.setProperty("y", "2", 1);
    b.setProperty("x", "other", 2);
    Properties* d = a.diff(&b);
    EXPECT_EQ((std::vector<std::string>{"x=1@-1", "x=3@-1"}), entries(*d));
    delete d;

    LogCapture log;
    b.logProperties("    lbl");
    EXPECT_EQ("    lbl: x = other\n    lbl: y = 2\n", log.messages());
}

TEST(Properties, MergeKeepsCommentsAndOrderAndAppendsNewKeys) {
    TempDir dir;
    std::string in = dir.file("in.properties");
    std::string out = dir.file("out.properties");
    writeFile(in,
              "# Settings\n"
              "\n"
              "log_coms: INFO\n"
              "  # indented comment\n"
              "listen_queue_size:   10\n"
              "unchanged: keep  \n"
              "untouched : other\n"
              "log_coms: WARNING\n");
    Properties p;
    p.setProperty("log_coms", "DEBUG", -1);
    p.setProperty("listen_queue_size", "10", -1);
    p.setProperty("new_key", "new value", -1);
    p.setProperty("unchanged", "keep  ", -1);
    p.setProperty("another", "1", -1);
    ASSERT_TRUE(p.merge(in.c_str(), out.c_str()));
    std::vector<std::string> expected = {
        "# Settings",
        "",
        "log_coms: DEBUG",
        "  # indented comment",
        "listen_queue_size:   10",  // same value: the line as written
        "unchanged: keep  ",
        "untouched : other",
        "log_coms: DEBUG",
        "another: 1",  // not in the file: appended newest first
        "new_key: new value",
    };
    EXPECT_EQ(expected, splitLines(readFile(out)));
    EXPECT_EQ('\n', readFile(out).back());

    // Merged into itself, the file ends as the separate copy did, with
    // nothing of the original lost.
    std::string original = readFile(in);
    ASSERT_TRUE(p.merge(in.c_str(), in.c_str()));
    EXPECT_EQ(readFile(out), readFile(in));
    // An empty file gets just the entries.
    writeFile(in, "");
    ASSERT_TRUE(p.merge(in.c_str(), in.c_str()));
    EXPECT_EQ("another: 1\nunchanged: keep  \nnew_key: new value\nlisten_queue_size: 10\nlog_coms: DEBUG\n",
              readFile(in));
    // An input that cannot be read leaves the output as it was.
    {
        LogCapture log;
        EXPECT_FALSE(p.merge(dir.path().c_str(), out.c_str()));
        EXPECT_TRUE(log.contains("Properties file " + dir.path() + " is not a regular file; not read\n"))
            << log.text();
    }
    EXPECT_EQ(expected, splitLines(readFile(out)));
    writeFile(in, original);

    // A line without a colon is copied, reported and ends the reading; the
    // entries not yet merged are still appended.
    writeFile(in, "log_coms: INFO\nbroken line\nlisten_queue_size: 5\n");
    LogCapture log;
    EXPECT_FALSE(p.merge(in.c_str(), out.c_str()));
    EXPECT_EQ((std::vector<std::string>{"log_coms: DEBUG", "broken line", "another: 1", "unchanged: keep  ",
                                        "new_key: new value", "listen_queue_size: 10"}),
              splitLines(readFile(out)));
    EXPECT_EQ("Expected <key>: <value> in properties file: " + in + " at line 2\n", log.messages());

    EXPECT_FALSE(p.merge(dir.file("missing").c_str(), out.c_str()));
    EXPECT_FALSE(p.merge(in.c_str(), dir.file("no/such/dir/out").c_str()));

    // Nor is the output anything but a regular file: opening a named pipe to
    // write would wait for a reader, and no device is a settings file.
    std::string fifo = dir.file("fifo.properties");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    writeFile(in, "log_coms: INFO\n");
    for (const std::string& target : {fifo, dir.path()}) {
        log.clear();
        bool merged = true;
        EXPECT_TRUE(finishesWithoutBlocking([&] { merged = p.merge(in.c_str(), target.c_str()); }, fifo)) << target;
        EXPECT_FALSE(merged) << target;
        EXPECT_TRUE(log.contains("Properties file " + target + " is not a regular file; not written\n"))
            << target << ": " << log.messages();
    }
    unlink(fifo.c_str());
}

TEST(Properties, ShippedExampleLoadsCleanlyAndNamesEveryKey) {
    LogCapture log;
    Properties p;
    ASSERT_TRUE(p.load(DRV_EXAMPLE_PROPERTIES, false));
    int level = 0;
    bool flag = false;
    for (const char* key : {"log_roll", "log_ft", "log_creds", "log_coms", "log_netclient", "log_domain", "log_sel",
                            "log_io", "log_java", "log_csv"}) {
        EXPECT_TRUE(p.levelFromProperty(key, "example", true, level, 0)) << key;
        EXPECT_EQ(LOG_INFO, level) << key;
    }
    EXPECT_TRUE(p.boolFromProperty("hourly_logs", "example", true, flag, true));
    EXPECT_FALSE(flag);
    EXPECT_EQ("", log.messages());

    // The keys that should keep their defaults are there, commented out.
    std::string text = readFile(DRV_EXAMPLE_PROPERTIES);
    for (const char* key : {"upgrade_certs: false", "ft_listen_queue_size: 25", "listen_queue_size: 10",
                            "coms_threads: 1", "nc_managed_hb_rate: 10000", "nc_managed_timeout: 45000",
                            "creds_buffer_size: 0", "libnss-sss_creds_workaround:", "auth_group_lock:",
                            "cpu_affinity:"}) {
        EXPECT_NE(std::string::npos, text.find(std::string("\n#") + key)) << key;
        EXPECT_EQ(nullptr, p.getProperty(std::string(key).substr(0, std::string(key).find(':')).c_str())) << key;
    }
}

// The variables that a reload copies the fixed keys into, in the order of
// the keys: the ten log levels, the two flags, the two listen queues, the
// credential buffer size and workaround, and the group lock.
std::string fixedVariables() {
    char* lock = s_getAuthGroupLock();
    std::string out = "levels";
    for (int level : {_debug_logs, _debug_ft, _debug_creds, _debug_coms, _debug_netclient, _debug_domain, _debug_sel,
                      _debug_io, _debug_java, _debug_csv})
        out += " " + std::to_string(level);
    out += ", hourly " + std::to_string(_hourlyLogs) + ", upgrade " + std::to_string(_upgrade_certs) + ", queues " +
           std::to_string(_ft_listen_queue) + " " + std::to_string(_listen_queue) + ", creds " +
           std::to_string(_creds_buffer_size) + " " + std::to_string(_nss_creds_workaround) + ", lock " +
           (lock != nullptr ? lock : "none");
    s_freeStringProperty(lock);
    return out;
}

// The process-wide properties, read from a file of the test's own.
class DravikaProperties : public ::testing::Test {
protected:
    void SetUp() override { s_setDravikaPropertiesPath(path.c_str()); }

    TempDir dir;
    std::string path = dir.file("dravika.properties");
    LogCapture captured;
};

// First of the tests of the process-wide properties: it relies on no file
// having been loaded yet in this process (ctest runs each test on its own).
TEST_F(DravikaProperties, ReloadLifecycleAndFixedKeys) {
    EXPECT_EQ(nullptr, s_getDravikaProperties());
    const std::string initial = "levels 3 3 3 3 3 3 3 3 3 3, hourly 0, upgrade 0, queues 50 50, creds 0 0, lock none";
    EXPECT_EQ(initial, fixedVariables());
    EXPECT_EQ(17, s_getIntProperty("listen_queue_size", 17));

    // No file: properties stay at their defaults, and that is said once.
    EXPECT_TRUE(s_testDravikaProperties(true, nullptr));
    EXPECT_TRUE(s_testDravikaProperties(true, nullptr));
    EXPECT_EQ("Warning: file " + path + " was not found. All properties set to defaults\n", captured.messages());
    EXPECT_EQ(initial, fixedVariables());

    static int loads;
    static const Properties* seen;
    auto onLoad = [](const Properties* p) {
        loads++;
        seen = p;
    };

    writeProperties(path,
                    "log_coms: DEBUG\n"
                    "log_ft: TRACE\n"
                    "log_roll: ERROR\n"
                    "hourly_logs: TRUE\n"
                    "upgrade_certs: on\n"
                    "creds_buffer_size: 8192\n"
                    "listen_queue_size: 30\n"
                    "auth_group_lock: wheel, admins\n"
                    "libnss-sss_creds_workaround:\n");
    captured.clear();
    EXPECT_TRUE(s_testDravikaProperties(true, onLoad));
    EXPECT_EQ(1, loads);
    EXPECT_EQ(s_getDravikaProperties(), seen);
    EXPECT_EQ("levels 5 1 3 2 3 3 3 3 3 3, hourly 1, upgrade 1, queues 25 30, creds 8192 1, lock wheel, admins",
              fixedVariables());
    EXPECT_EQ("Reading " + path +
                  ", ...\n"
                  "    dravika.properties: libnss-sss_creds_workaround = \n"
                  "    dravika.properties: auth_group_lock = wheel, admins\n"
                  "    dravika.properties: listen_queue_size = 30\n"
                  "    dravika.properties: creds_buffer_size = 8192\n"
                  "    dravika.properties: upgrade_certs = on\n"
                  "    dravika.properties: hourly_logs = TRUE\n"
                  "    dravika.properties: log_roll = ERROR\n"
                  "    dravika.properties: log_ft = TRACE\n"
                  "    dravika.properties: log_coms = DEBUG\n"
                  "libnss-sss creds workaround engaged\n"
                  "auth_group_lock: 'wheel, admins'\n",
              captured.messages());

    // Unchanged modification time: nothing is read.
    EXPECT_TRUE(s_testDravikaProperties(true, onLoad));
    EXPECT_EQ(1, loads);

    // Bad values are reported and leave their variables alone; an indented
    // key is a different key; the later of two lines wins; keys that
    // vanished fall back to defaults, but the workaround stays engaged.
    writeProperties(path,
                    "log_coms: debug\n"
                    "hourly_logs: True\n"
                    "  ft_listen_queue_size: 99\n"
                    "listen_queue_size: 10 \n"
                    "log_ft: WARNING\n"
                    "log_ft: INFO\n");
    captured.clear();
    EXPECT_TRUE(s_testDravikaProperties(false, onLoad));
    EXPECT_EQ(2, loads);
    const std::string reloaded = "levels 3 3 3 2 3 3 3 3 3 3, hourly 1, upgrade 0, queues 25 30, creds 0 1, lock none";
    EXPECT_EQ(reloaded, fixedVariables());
    EXPECT_EQ("    dravika.properties. (property = log_coms, line = 1, Use TRACE, DEBUG, INFO, WARNING, ERROR or "
              "CRICICAL)\n"
              "    dravika.properties. (property = hourly_logs, line = 2, Use ON, OFF, TRUE, or FALSE)\n"
              "    dravika.properties: property listen_queue_size is not an integer value\n",
              captured.messages());

    // A malformed file fails the reload and the previous properties stay.
    const Properties* before = s_getDravikaProperties();
    writeProperties(path, "log_coms: TRACE\nnot a property\n");
    captured.clear();
    EXPECT_FALSE(s_testDravikaProperties(true, onLoad));
    EXPECT_EQ(2, loads);
    EXPECT_EQ(before, s_getDravikaProperties());
    EXPECT_EQ(reloaded, fixedVariables());
    EXPECT_EQ("Config file, " + path + ", has changed\n" + "Expected <key>: <value> in properties file: " + path +
                  " at line 2\n" + "Failed to load " + path + "\n",
              captured.messages());
    // Not retried until the file changes again.
    EXPECT_TRUE(s_testDravikaProperties(true, onLoad));
    EXPECT_EQ(2, loads);

    // Deleting the file keeps what was loaded.
    unlink(path.c_str());
    EXPECT_TRUE(s_testDravikaProperties(true, onLoad));
    EXPECT_EQ(before, s_getDravikaProperties());
    EXPECT_EQ(reloaded, fixedVariables());
}

// The lookup child refuses a buffer beyond its limit, so a larger setting
// (or one so large it wrapped negative) is held to the limit and said so.
TEST_F(DravikaProperties, CredsBufferSizeIsHeldToTheLookupChildsLimit) {
    struct Case {
        const char* value;
        int expected;
        bool logged;
    } cases[] = {{"2000000", kCredsMaxBufferSize, true},
                 {"3000000000", kCredsMaxBufferSize, true},
                 {"1048576", kCredsMaxBufferSize, false},
                 {"8192", 8192, false}};
    for (const Case& c : cases) {
        writeProperties(path, std::string("creds_buffer_size: ") + c.value + "\n");
        captured.clear();
        ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
        EXPECT_EQ(c.expected, _creds_buffer_size) << c.value;
        std::string message = std::string("    dravika.properties: property creds_buffer_size ") + c.value +
                              " is above the largest lookup buffer; 1048576 is used\n";
        EXPECT_EQ(c.logged ? message : "", captured.messages()) << c.value;
    }
    _creds_buffer_size = 0;
}

// A reload on one thread changes a threshold that another thread is reading
// while it logs: the reader must see the new level (a plain int read in a
// loop may never be read again, and is a data race besides).
TEST_F(DravikaProperties, AReloadedThresholdReachesAThreadAlreadyLogging) {
    const int saved = _debug_netclient;
    writeProperties(path, "log_netclient: ERROR\n");
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    ASSERT_EQ(LOG_ERROR, _debug_netclient);

    std::atomic<long> passes{0};
    std::atomic<bool> through{false};
    std::thread reader([&] {
        // Spins on the threshold alone, as a hot logging path does.
        while (LOG_WARNING < _debug_netclient) passes.fetch_add(1, std::memory_order_relaxed);
        log(_debug_netclient, LOG_WARNING, 0, 0, "warning let through after %s", "the reload");
        through = true;
    });
    for (int i = 0; i < 5000 && passes.load() == 0; i++) usleep(1000);
    EXPECT_FALSE(through) << "an ERROR threshold holds a warning back";

    writeProperties(path, "log_netclient: WARNING\n");
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    for (int i = 0; i < 5000 && !through; i++) usleep(1000);
    EXPECT_TRUE(through.load()) << "the reader never saw the reloaded threshold";
    if (!through) _debug_netclient = LOG_TRACE;  // let the reader go rather than hang
    reader.join();
    EXPECT_TRUE(captured.contains("warning let through after the reload"));
    _debug_netclient = saved;
}

// The load callback runs under the reload lock, which is not recursive: a
// check, a getter or a path change made from the callback must neither
// deadlock nor be reported as a double entry.
TEST_F(DravikaProperties, TheLoadCallbackMayCheckAndReadAgain) {
    writeProperties(path, "answer: 42\n");
    static bool nestedCheck;
    static int answer;
    nestedCheck = false;
    answer = 0;
    static std::string samePath;
    samePath = path;
    EXPECT_TRUE(s_testDravikaProperties(true, [](const Properties*) {
        nestedCheck = s_testDravikaProperties(true, nullptr);
        answer = s_getIntProperty("answer", -1);
        s_setDravikaPropertiesPath(samePath.c_str());
    }));
    EXPECT_TRUE(nestedCheck) << "a check from inside the reload finds the file being installed";
    EXPECT_EQ(42, answer);
    EXPECT_FALSE(captured.contains("assertion failure")) << captured.messages();
    // The lock is free again for the next caller.
    EXPECT_TRUE(s_testDravikaProperties(true, nullptr));
}

// Only a regular file is ever read: a named pipe in the file's place would
// block the reload until some writer came along, and a device or directory
// is no settings file either. Each is refused at once, said so, and the
// settings in force stay.
TEST_F(DravikaProperties, OnlyARegularFileIsRead) {
    const int saved = _debug_coms;
    writeProperties(path, "log_coms: DEBUG\nkept: yes\n");
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    const Properties* before = s_getDravikaProperties();
    ASSERT_NE(nullptr, before);

    struct Case {
        const char* what;
        std::function<int()> make;  // puts the odd file at path; 0 on success
    } cases[] = {
        {"named pipe", [&] { return mkfifo(path.c_str(), 0600); }},
        {"device", [&] { return symlink("/dev/null", path.c_str()); }},
        {"directory", [&] { return mkdir(path.c_str(), 0700); }},
    };
    time_t mtime = 1700000000;
    for (const Case& c : cases) {
        unlink(path.c_str());
        ASSERT_EQ(0, c.make()) << c.what << ": " << strerror(errno);
        // A modification time of its own, so that the check sees a change
        // (a link's target keeps whatever time it has).
        struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        mtime += 10;
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
        captured.clear();

        bool reloaded = true;
        EXPECT_TRUE(finishesWithoutBlocking([&] { reloaded = s_testDravikaProperties(false, nullptr); }, path))
            << c.what;
        EXPECT_FALSE(reloaded) << c.what;
        EXPECT_EQ(before, s_getDravikaProperties()) << c.what;
        EXPECT_EQ(LOG_DEBUG, _debug_coms) << c.what;
        char* kept = s_getStringProperty("kept", "lost");
        EXPECT_STREQ("yes", kept) << c.what;
        s_freeStringProperty(kept);
        EXPECT_EQ("Properties file " + path + " is not a regular file; not read\nFailed to load " + path + "\n",
                  captured.messages())
            << c.what;

        // The object's own load and merge refuse it the same way.
        captured.clear();
        Properties p;
        bool loaded = true;
        EXPECT_TRUE(finishesWithoutBlocking([&] { loaded = p.load(path.c_str(), false); }, path)) << c.what;
        EXPECT_FALSE(loaded) << c.what;
        EXPECT_EQ(nullptr, p.first()) << c.what;
        bool merged = true;
        std::string out = dir.file("merged.properties");
        EXPECT_TRUE(finishesWithoutBlocking([&] { merged = p.merge(path.c_str(), out.c_str()); }, path)) << c.what;
        EXPECT_FALSE(merged) << c.what;
        EXPECT_EQ("Properties file " + path + " is not a regular file; not read\nProperties file " + path +
                      " is not a regular file; not read\n",
                  captured.messages())
            << c.what;
        rmdir(path.c_str());
    }
    unlink(path.c_str());
    _debug_coms = saved;
}

TEST_F(DravikaProperties, GettersFallBackToTheirDefaults) {
    writeProperties(path,
                    "n: 12\n"
                    "bad_n: twelve\n"
                    "lvl: WARNING\n"
                    "b: off\n"
                    "d: 0.25\n"
                    "s: text\n");
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    captured.clear();
    // Once a file is loaded the listen queues have their own defaults.
    EXPECT_EQ(10, _listen_queue);
    EXPECT_EQ(25, _ft_listen_queue);

    EXPECT_EQ(12, s_getIntProperty("n", 1));
    EXPECT_EQ(1, s_getIntProperty("bad_n", 1));
    EXPECT_EQ(1, s_getIntProperty("absent", 1));
    EXPECT_EQ(4, s_getLevelProperty("lvl", 3));
    EXPECT_EQ(3, s_getLevelProperty("n", 3));
    EXPECT_FALSE(s_getBoolProperty("b", true));
    EXPECT_TRUE(s_getBoolProperty("absent", true));
    EXPECT_EQ(0.25, s_getDoubleProperty("d", 1.0));
    EXPECT_EQ(1.0, s_getDoubleProperty("absent", 1.0));

    char* s = s_getStringProperty("s", "def");
    EXPECT_STREQ("text", s);
    s_freeStringProperty(s);
    s = s_getStringProperty("absent", "def");
    EXPECT_STREQ("def", s);
    s_freeStringProperty(s);
    EXPECT_EQ(nullptr, s_getStringProperty("absent", nullptr));

    EXPECT_EQ("    dravika.properties: property bad_n is not an integer value\n"
              "    dravika.properties. (property = n, line = 1, Use TRACE, DEBUG, INFO, WARNING, ERROR or CRICICAL)\n",
              captured.messages());
}

TEST_F(DravikaProperties, CpuAffinity) {

    writeProperties(path, "other: 1\n");
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(7, &set);
    EXPECT_FALSE(s_readCpuAffinity(&set));
    EXPECT_TRUE(CPU_ISSET(7, &set));  // untouched

    writeProperties(path, "cpu_affinity: 0, 2,3 x 5000\n");
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    captured.clear();
    EXPECT_TRUE(s_readCpuAffinity(&set));
    EXPECT_EQ(3, CPU_COUNT(&set));
    EXPECT_TRUE(CPU_ISSET(0, &set) && CPU_ISSET(2, &set) && CPU_ISSET(3, &set));
    // "x" is not a number and counts as CPU 0; 5000 is beyond the set.
    EXPECT_EQ("setting cpu 0\nsetting cpu 2\nsetting cpu 3\nsetting cpu 0\nsetting cpu 5000\n", captured.messages());

    writeProperties(path, "cpu_affinity: 1,-1\n");
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    captured.clear();
    EXPECT_EXIT(s_readCpuAffinity(&set), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ("setting cpu 1\nFatal error: cpu_affinity setting is invalid\n", captured.messages());
}

}  // namespace
