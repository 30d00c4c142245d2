// HyperCSV: column mapping and conversion, script transforms, the line
// rules with their warnings and task-log lines, character sets, read-window
// and chunk boundaries, the bounded queue with several consumers, stopping,
// open and read failures, and a reader thread that cannot be created.
#include "csv/hyper_csv.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "csv/csv_config.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "io/input.h"
#include "script/date.h"
#include "script/error.h"
#include "script/location.h"
#include "script/registry.h"
#include "script/varset.h"
#include "tests/support/failing_thread_creation.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"


namespace {

using Rows = std::vector<std::vector<std::string>>;

std::string render(const Any* v) {
    if (v == nullptr) return "<null>";
    if (v->getHint() == HINT_DATE) return "t:" + std::to_string(v->getInt64());
    if (v->getType() == ANY_DOUBLE) {
        char b[64];
        snprintf(b, sizeof b, "d:%g", v->getDouble());
        return b;
    }
    if (v->getString() != nullptr) return v->getString();
    return "<kind " + std::to_string(v->getType()) + ">";
}

std::string describe(const Error* e) {
    std::string s = e->message;
    if (const Location* at = e->firstLocation()) s += "@" + std::to_string(at->line) + ":" + std::to_string(at->column);
    return s;
}

struct Outcome {
    Rows rows;
    Rows rowErrors;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<int> errorCodes;
    long long totalRows = -1;
    int warningCount = -1;
    int errorCount = -1;
};

// Adds row's values and error messages to out.
void take(const CSVResultRow* row, Outcome* out) {
    std::vector<std::string> values, errors;
    for (int i = 0; i < row->count(); i++) values.push_back(render(row->get(i)));
    for (const Error* e : row->errors()) errors.push_back(e->message);
    out->rows.push_back(values);
    out->rowErrors.push_back(errors);
}

Outcome drain(HyperCSV* reader) {
    Outcome out;
    while (CSVResultRow* row = reader->getNext()) {
        take(row, &out);
        delete row;
    }
    reader->join();
    for (const Error* e : reader->errors()) {
        out.errors.push_back(describe(e));
        out.errorCodes.push_back(e->code);
    }
    for (const Error* e : reader->warnings()) out.warnings.push_back(describe(e));
    Attributes* result = reader->result();
    if (result != nullptr) {
        result->getAttribute("totalRows")->convertToInt64(out.totalRows);
        result->getAttribute("warnings")->convertToInt32(out.warningCount);
        result->getAttribute("errors")->convertToInt32(out.errorCount);
        // Whole seconds as a 64-bit count; no test run takes minutes.
        const Any* elapsed = result->getAttribute("elapsedTime");
        EXPECT_TRUE(elapsed != nullptr && elapsed->getType() == ANY_INT64 && elapsed->getInt64() >= 0 &&
                    elapsed->getInt64() < 600);
    }
    return out;
}

Outcome readWith(CSVConfig& config, Input* input = nullptr, const ObjRef* scope = nullptr, int window = 0) {
    HyperCSV* reader = new HyperCSV(input, &config, nullptr, scope);
    if (window > 0) reader->setWindowSize(window);
    reader->start();
    Outcome out = drain(reader);
    delete reader;
    return out;
}

// Every input column i mapped to output column i as a string.
void mapStrings(CSVConfig& config, int columns) {
    for (int i = columns; i >= 1; i--) config.addRow(new CSVRow(i, i, CSV_TYPE_STRING, nullptr));
}

// A scope whose TZ variable names the zone of date texts without one.
struct ZoneScope {
    explicit ZoneScope(const char* zone) : scope(new VarSet(nullptr, AbstractVarSet::FUNCTION)) {
        static_cast<VarSet*>(scope.get())->define("TZ", new Any(zone));
    }
    ~ZoneScope() { static_cast<VarSet*>(scope.get())->clear(); }
    ObjRef scope;
};

TEST(HyperCSV, MapsColumnsAndConvertsEachToItsType) {
    // Five hours west of UTC, so that local midnight is not UTC midnight.
    ZoneScope zone("XST5");
    TempDir dir;
    writeFile(dir.file("in.csv"), "id,name,amount,when\n"
                                  "1,Ann  \t,3.5,2024-01-02\n"
                                  "2,Bob,abc,0\n"
                                  "3,\"Cy, Jr.\",-2.25,abc\n"
                                  "4,Di,7,2024-01-02T10:20:30.250+01:00\n");
    CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, "\"", ",", 1);
    config.addRow(new CSVRow(4, 3, CSV_TYPE_DATE, nullptr));
    config.addRow(new CSVRow(3, 2, CSV_TYPE_DOUBLE, nullptr));
    config.addRow(new CSVRow(2, 1, CSV_TYPE_STRING, nullptr));
    Outcome out = readWith(config, nullptr, &zone.scope);

    // 2024-01-02 is day 19724 after 1970-01-01.
    const long long midnightLocal = (19724LL * 86400 + 5 * 3600) * 1000;
    const long long withOffset = (19724LL * 86400 + 10 * 3600 + 20 * 60 + 30 - 3600) * 1000 + 250;
    EXPECT_EQ(out.rows, (Rows{{"Ann", "d:3.5", "t:" + std::to_string(midnightLocal)},
                              {"Bob", "d:0", "t:0"},
                              {"Cy, Jr.", "d:-2.25", "<null>"},
                              {"Di", "d:7", "t:" + std::to_string(withOffset)}}));
    EXPECT_EQ(out.rowErrors, (Rows{{}, {}, {"Unable to convert 'abc' to date [CSV: 4, DB: 3]"}, {}}));
    ASSERT_EQ(out.errors.size(), 1u);
    EXPECT_EQ(out.errors[0].rfind("Unable to convert 'abc' to date [CSV: 4, DB: 3]@4:", 0), 0u) << out.errors[0];
    EXPECT_EQ(out.errorCodes, std::vector<int>{49});
    EXPECT_EQ(out.totalRows, 4);
    EXPECT_EQ(out.errorCount, 1);
    EXPECT_EQ(out.warningCount, 0);

    // Two definitions filling one slot: the later field's value stays,
    // whichever kind of value each makes.
    writeFile(dir.file("shared.csv"), "a,b,2.5\nc,d,x\n");
    CSVConfig shared(dir.file("shared.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    shared.addRow(new CSVRow(3, 1, CSV_TYPE_DOUBLE, nullptr));
    shared.addRow(new CSVRow(2, 2, CSV_TYPE_STRING, nullptr));
    shared.addRow(new CSVRow(1, 1, CSV_TYPE_STRING, nullptr));
    EXPECT_EQ(readWith(shared).rows, (Rows{{"d:2.5", "b"}, {"d:0", "d"}}));
}

TEST(HyperCSV, DateColumnsReadWhatScriptDatesRead) {
    // Column 1 is read as a date directly, column 2 through the script's
    // own Date.parse (a Date object). Expected values from the calendar:
    // 2024-02-29 is day 19782 after 1970-01-01.
    script_installHooks();
    script_registerDate();
    ZoneScope zone("XST5");
    const long long feb29 = 19782LL * 86400 * 1000;
    struct {
        const char* text;
        long long ms;  // -1: refused
    } cases[] = {
        {"2024-02-29T12:34:56.789Z", feb29 + 45296789},
        {"2024-02-29T12:34+01:00", feb29 + (11 * 60 + 34) * 60000LL},
        {"20240229T1234", feb29 + (17 * 60 + 34) * 60000LL},  // no zone: five hours west
        {"2024-0229", feb29 + 5 * 3600000LL},
        {"2023-02-29", feb29 - 365 * 86400000LL + 5 * 3600000LL},  // rolls into March, as in scripts
        {"2024-02-29 12:34", -1},
        {"2024-02-29T12:34:56.5Z", -1},
        {"2024-1-2", -1},
        {"abc", -1},
    };
    std::string text;
    for (const auto& c : cases) text += std::string(c.text) + "," + c.text + "\n";
    TempDir dir;
    writeFile(dir.file("in.csv"), text);
    CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    config.addRow(new CSVRow(2, 2, CSV_TYPE_TIMESTAMP, "Date.parse(VALUE)"));
    config.addRow(new CSVRow(1, 1, CSV_TYPE_DATE, nullptr));
    Outcome out = readWith(config, nullptr, &zone.scope);
    ASSERT_EQ(out.rows.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < out.rows.size(); i++) {
        const auto& c = cases[i];
        if (c.ms >= 0) {
            std::string want = "t:" + std::to_string(c.ms);
            EXPECT_EQ(out.rows[i], (std::vector<std::string>{want, want})) << c.text;
            EXPECT_EQ(out.rowErrors[i], std::vector<std::string>{}) << c.text;
        } else {
            EXPECT_EQ(out.rows[i][0], "<null>") << c.text;
            EXPECT_EQ(out.rows[i][1], "<null>") << c.text;
            ASSERT_FALSE(out.rowErrors[i].empty()) << c.text;
            EXPECT_EQ(out.rowErrors[i][0], "Unable to convert '" + std::string(c.text) + "' to date [CSV: 1, DB: 1]");
        }
    }
}

// A host conversion hook that puts every zone ten hours east of UTC and
// remembers the zone it was asked about.
std::string _hookZone;
int tenHoursEast(bool utc, const char* zone, long long seconds, struct tm* out, char* abbr, int* offsetMinutes) {
    _hookZone = zone != nullptr ? zone : "";
    time_t t = static_cast<time_t>(seconds + (utc ? 0 : 10 * 3600));
    gmtime_r(&t, out);
    strcpy(abbr, utc ? "GMT" : "EAST");
    *offsetMinutes = utc ? 0 : 600;
    return 0;
}

// Installs a conversion hook for one test.
struct HookInstalled {
    explicit HookInstalled(Date::TmHook hook) { Date::_tmHook = hook; }
    ~HookInstalled() { Date::_tmHook = nullptr; }
};

TEST(HyperCSV, DateColumnsTakeTheOffsetFromTheHostsHook) {
    // Every date column reads a text without a zone as the script's
    // Date.parse does: directly, through an expression that gives text
    // back, and through Date.parse itself; a text with a zone is the same
    // instant whatever the hook says.
    script_installHooks();
    script_registerDate();
    HookInstalled installed(tenHoursEast);
    TempDir dir;
    writeFile(dir.file("in.csv"), "2024-01-02,2024-01-02,2024-01-02\n"
                                  "2024-01-02T00:00Z,2024-01-02T00:00Z,2024-01-02T00:00Z\n");
    CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    config.addRow(new CSVRow(3, 3, CSV_TYPE_DATE, "Date.parse(VALUE)"));
    config.addRow(new CSVRow(2, 2, CSV_TYPE_TIMESTAMP, "VALUE"));
    config.addRow(new CSVRow(1, 1, CSV_TYPE_DATE, nullptr));
    // 2024-01-02 is day 19724 after 1970-01-01.
    const std::string utcMidnight = "t:" + std::to_string(19724LL * 86400 * 1000);
    const std::string eastMidnight = "t:" + std::to_string((19724LL * 86400 - 10 * 3600) * 1000);

    // The zone the scope names goes to the hook.
    ZoneScope zone("Somewhere/Else");
    _hookZone.clear();
    Outcome out = readWith(config, nullptr, &zone.scope);
    EXPECT_EQ(out.rows, (Rows{{eastMidnight, eastMidnight, eastMidnight}, {utcMidnight, utcMidnight, utcMidnight}}));
    EXPECT_EQ(out.errorCount, 0);
    EXPECT_EQ(_hookZone, "Somewhere/Else");

    // Without a TZ variable the hook is asked about the machine's zone.
    _hookZone.clear();
    ObjRef plain(new VarSet(nullptr, AbstractVarSet::FUNCTION));
    out = readWith(config, nullptr, &plain);
    EXPECT_EQ(out.rows, (Rows{{eastMidnight, eastMidnight, eastMidnight}, {utcMidnight, utcMidnight, utcMidnight}}));
    EXPECT_EQ(_hookZone, Date::getLocalTZ());
    static_cast<VarSet*>(plain.get())->clear();
}

TEST(HyperCSV, ScriptTransformsRunPerFieldAndFailPerField) {
    script_installHooks();
    TempDir dir;
    writeFile(dir.file("in.csv"), "a,1,x,q\nb,2,y,r\n");
    CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    config.addRow(new CSVRow(4, 4, CSV_TYPE_STRING, "VALUE +"));
    config.addRow(new CSVRow(3, 3, CSV_TYPE_STRING, "noSuchVariable + VALUE"));
    config.addRow(new CSVRow(2, 2, CSV_TYPE_DOUBLE, "VALUE * 2"));
    config.addRow(new CSVRow(1, 1, CSV_TYPE_STRING, "VALUE + \"!\""));
    ObjRef scope(new VarSet(nullptr, AbstractVarSet::FUNCTION));
    Outcome out = readWith(config, nullptr, &scope);

    EXPECT_EQ(out.rows, (Rows{{"a!", "d:2", "<null>", "<null>"}, {"b!", "d:4", "<null>", "<null>"}}));
    // Each row: the run-time failure of column 3, the parse failure of column 4.
    ASSERT_EQ(out.rowErrors.size(), 2u);
    for (const auto& errors : out.rowErrors) {
        ASSERT_EQ(errors.size(), 2u);
        EXPECT_EQ(errors[1], "Unable to parse script");
    }
    // The syntax error once at the start, then two per row.
    ASSERT_EQ(out.errorCodes.size(), 5u);
    EXPECT_EQ(out.errorCodes[2], 105);
    EXPECT_EQ(out.errorCodes[4], 105);
    EXPECT_EQ(out.errorCount, 5);

    // A string column takes the string form of whatever the expression
    // gives; a date column refuses an empty value, naming both columns.
    writeFile(dir.file("forms.csv"), "1,x\n2,y\n");
    CSVConfig forms(dir.file("forms.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    forms.addRow(new CSVRow(2, 3, CSV_TYPE_DATE, "null"));
    forms.addRow(new CSVRow(1, 1, CSV_TYPE_STRING, "VALUE * 2.5"));
    out = readWith(forms, nullptr, &scope);
    // A double keeps one digit after the point, as in its printed form.
    EXPECT_EQ(out.rows, (Rows{{"2.5", "<null>", "<null>"}, {"5.0", "<null>", "<null>"}}));
    EXPECT_EQ(out.rowErrors, (Rows{{"NULL date [CSV: 2, DB: 3]"}, {"NULL date [CSV: 2, DB: 3]"}}));
    EXPECT_EQ(out.errorCodes, (std::vector<int>{49, 49}));
    static_cast<VarSet*>(scope.get())->clear();
}

TEST(HyperCSV, LineRulesWarningsAndTaskLog) {
    TempDir dir;
    writeFile(dir.file("in.csv"), "h1,h2\r\n\"q\"\"1\",\"multi\nline\"\r\rx,y,z\n\nlast,row");
    CSVConfig config(dir.file("in.csv").c_str(), dir.file("task.log").c_str(), 3, nullptr, "\"", ",", 1);
    mapStrings(config, 2);
    Outcome out = readWith(config);
    EXPECT_EQ(out.rows, (Rows{{"q\"1", "multi\nline"}, {"x", "y"}, {"last", "row"}}));
    EXPECT_EQ(out.totalRows, 3);
    EXPECT_EQ(out.warnings, (std::vector<std::string>{"Number of columns differ from prior line@5:6",
                                                      "Number of columns differ from prior line@7:9"}));
    EXPECT_EQ(out.warningCount, 2);
    std::string log = readFile(dir.file("task.log"));
    EXPECT_NE(log.find("[4, 1]: Empty line encountered\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[6, 1]: Empty line encountered\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[5, 6]: Warning: Number of columns differ from prior line\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Parse Complete: "), std::string::npos) << log;
    // Level 3 leaves out the per-field lines.
    EXPECT_EQ(log.find("Header: column"), std::string::npos) << log;

    // An unterminated quote: its start is reported, the partial row dropped.
    // Level 2 traces every field: header, converted and ignored.
    writeFile(dir.file("open.csv"), "h1,h2\na,b\nc,\"open\nmore");
    CSVConfig open(dir.file("open.csv").c_str(), dir.file("open.log").c_str(), 2, nullptr, nullptr, nullptr, 1);
    mapStrings(open, 1);
    out = readWith(open);
    EXPECT_EQ(out.rows, (Rows{{"a"}}));
    EXPECT_EQ(out.errors, std::vector<std::string>{"EOF encountered in unmatched quote@3:3"});
    log = readFile(dir.file("open.log"));
    EXPECT_NE(log.find("[4, 5]: Error: EOF encountered inside quote starting at [3, 3]\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[1, 3]: Header: column: 1, value = h1\n[1, 6]: Header: column: 2, value = h2\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[2, 2]: Column: 1 -> 1, value = a\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[2, 4]: Ignored column: 2, value = b\n"), std::string::npos) << log;
}

std::string toUtf16le(const std::string& utf8) {
    std::string out;
    auto unit = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        int n = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        uint32_t cp = n == 0 ? c : c & (0x3F >> n);
        for (int k = 1; k <= n; k++) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += static_cast<size_t>(n) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 | (cp >> 10));
            unit(0xDC00 | (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

TEST(HyperCSV, CharacterSetsAreDetectedAndConverted) {
    TempDir dir;
    const std::vector<std::string> names = {"José", "Françoise", "René", "Hélène", "Zoë", "Gaëlle", "Benoît", "Jérôme"};
    const std::vector<std::string> towns = {"Genève", "Besançon", "Orléans", "Nîmes", "Sète", "Bâle", "Cluses", "Évian"};
    std::string utf8;
    Rows want;
    for (int i = 0; i < 40; i++) {
        const std::string& n = names[i % names.size()];
        const std::string& t = towns[(i * 3) % towns.size()];
        utf8 += n + ",la très belle ville de " + t + "\n";
        want.push_back({n, "la très belle ville de " + t});
    }
    // Latin-1: every character here is below U+0100.
    std::string latin1;
    for (size_t i = 0; i < utf8.size(); i++) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            latin1 += static_cast<char>(c);
        } else {
            latin1 += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        }
    }
    writeFile(dir.file("latin1.csv"), latin1);
    // UTF-16LE with its byte-order mark.
    writeFile(dir.file("utf16.csv"), "\xFF\xFE" + toUtf16le(utf8));
    writeFile(dir.file("bom.csv"), "\xEF\xBB\xBF" + utf8);
    for (const char* file : {"latin1.csv", "utf16.csv"}) {
        CSVConfig config(dir.file(file).c_str(), nullptr, 9, "*", nullptr, nullptr, 0);
        mapStrings(config, 2);
        Outcome out = readWith(config);
        EXPECT_EQ(out.rows, want) << file;
        EXPECT_TRUE(out.errors.empty()) << file;
    }
    CSVConfig config(dir.file("bom.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    mapStrings(config, 2);
    EXPECT_EQ(readWith(config).rows, want);
}

// Fields full of what the reader must get right at a read boundary:
// quotes, doubled quotes, separators, line ends, two- to four-byte characters.
Rows generatedRows(int count) {
    const char* pieces[] = {"plain", "\"", ",", "\n", "\r\n", "é", "€", "😀", "§", "x", "  y", "'"};
    Rows rows;
    uint32_t seed = 12345;
    for (int r = 0; r < count; r++) {
        std::vector<std::string> row;
        for (int f = 0; f < 3; f++) {
            std::string field;
            seed = seed * 1103515245 + 12345;
            int n = 1 + (seed >> 16) % 9;
            for (int k = 0; k < n; k++) {
                seed = seed * 1103515245 + 12345;
                field += pieces[(seed >> 16) % (sizeof pieces / sizeof pieces[0])];
            }
            // Trailing white space is not kept, so none is generated.
            field += "z";
            row.push_back(field);
        }
        rows.push_back(row);
    }
    return rows;
}

std::string encode(const Rows& rows, const std::string& quote, const std::string& sep) {
    std::string text;
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); i++) {
            if (i > 0) text += sep;
            text += quote;
            for (size_t p = 0; p < row[i].size();) {
                if (row[i].compare(p, quote.size(), quote) == 0) {
                    text += quote + quote;
                    p += quote.size();
                } else {
                    text += row[i][p++];
                }
            }
            text += quote;
        }
        text += "\r\n";
    }
    return text;
}

TEST(HyperCSV, ReadWindowAndChunkBoundariesSplitNothing) {
    const Rows rows = generatedRows(2500);
    TempDir dir;
    // The file is many read windows long, so window ends fall inside quoted
    // fields, doubled quotes, line ends and multi-byte characters (the
    // second time also inside the two-byte separator, the third inside the
    // two-byte quote and its doubles).
    struct Case {
        const char* quote;
        const char* sep;
    } cases[] = {{"\"", ","}, {"'", "§"}, {"§", ","}};
    // An odd small window moves the ends by a few bytes each time, and
    // leaves the 16-byte scan a short tail to finish byte by byte.
    for (const Case& c : cases) {
        std::string text = encode(rows, c.quote, c.sep);
        writeFile(dir.file("in.csv"), text);
        for (int window : {HyperCSV::kMinWindowSize + 3, 4096}) {
            ASSERT_GT(text.size(), 20u * static_cast<size_t>(window));
            CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, c.quote, c.sep, 0);
            mapStrings(config, 3);
            Outcome out = readWith(config, nullptr, nullptr, window);
            EXPECT_EQ(out.rows, rows) << c.sep << " " << window;
            EXPECT_TRUE(out.errors.empty() && out.warnings.empty()) << c.sep << " " << window;
        }
    }

    // Arriving in UTF-16 in 7-byte chunks: chunks end inside code units and
    // surrogate pairs, and reads return whatever has arrived.
    std::string utf16 = toUtf16le(encode(rows, "\"", ","));
    Input input(-1, nullptr, "UTF-16LE");
    std::thread feeder([&] {
        for (size_t at = 0; at < utf16.size(); at += 7) {
            int n = static_cast<int>(std::min<size_t>(7, utf16.size() - at));
            input.appendData(reinterpret_cast<unsigned char*>(&utf16[at]), static_cast<long long>(utf16.size()), n);
        }
        input.appendData(nullptr, 0, 0);
    });
    CSVConfig config(nullptr, nullptr, 9, nullptr, nullptr, nullptr, 0);
    mapStrings(config, 3);
    Outcome out = readWith(config, &input);
    feeder.join();
    EXPECT_EQ(out.rows, rows);
    EXPECT_TRUE(out.errors.empty());
}

// Ragged lines of everything that moves the line and column counters:
// quotes anywhere in a field, doubled quotes, line ends inside and outside
// quotes, lone carriage returns, blank lines, multi-byte characters.
std::string raggedText(uint32_t seed, int lines) {
    const char* pieces[] = {"ab", "\"q\"", "\"x\"\"y\"", "é", "😀", "\"in\nside\"", "\"cr\r\nlf\"", "k\"m,n\"", " "};
    std::string text;
    for (int l = 0; l < lines; l++) {
        seed = seed * 1103515245 + 12345;
        int fields = 1 + (seed >> 16) % 5;
        for (int f = 0; f < fields; f++) {
            if (f > 0) text += ",";
            seed = seed * 1103515245 + 12345;
            int n = (seed >> 16) % 4;
            for (int k = 0; k < n; k++) {
                seed = seed * 1103515245 + 12345;
                text += pieces[(seed >> 16) % (sizeof pieces / sizeof pieces[0])];
            }
        }
        seed = seed * 1103515245 + 12345;
        const char* ends[] = {"\n", "\r\n", "\r", "\n\n"};
        text += ends[(seed >> 16) % 4];
    }
    return text;
}

TEST(HyperCSV, CharacterTraceWalkAgreesOnRowsAndPositions) {
    // With every character traced the reader takes its general walk; without,
    // the short one. Both must give the same rows and put every warning and
    // error at the same line and column.
    TempDir dir;
    for (int variant = 0; variant < 2; variant++) {
        std::string text = raggedText(99 + variant, 400);
        if (variant == 1) text += "last,\"never closed\nat all";
        writeFile(dir.file("in.csv"), text);
        for (int window : {HyperCSV::kMinWindowSize + 3, HyperCSV::kLargeWindowSize}) {
            CSVConfig quiet(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
            mapStrings(quiet, 5);
            Outcome fast = readWith(quiet, nullptr, nullptr, window);
            CSVConfig traced(dir.file("in.csv").c_str(), dir.file("task.log").c_str(), 1, nullptr, nullptr, nullptr, 0);
            mapStrings(traced, 5);
            Outcome general = readWith(traced, nullptr, nullptr, window);
            EXPECT_GT(fast.warnings.size(), 50u);
            EXPECT_EQ(fast.rows, general.rows) << variant << " " << window;
            EXPECT_EQ(fast.warnings, general.warnings) << variant << " " << window;
            EXPECT_EQ(fast.errors, general.errors) << variant << " " << window;
            EXPECT_EQ(fast.errors.size(), static_cast<size_t>(variant));
        }
    }
}

std::string numberedLines(int count) {
    std::string text;
    for (int i = 1; i <= count; i++) text += std::to_string(i) + "\n";
    return text;
}

TEST(HyperCSV, RowsGivenBackAreRefilledLikeNewOnes) {
    // Lines of changing length and width (ragged lines leave slots empty),
    // text, double and date columns, a field that fails to convert. A
    // consumer that gives rows back, in both ways, and sometimes changes a
    // row first, must see exactly what a consumer that deletes them sees.
    ZoneScope zone("UTC");
    std::string text;
    uint32_t seed = 99;
    auto next = [&seed] {
        seed = seed * 1103515245 + 12345;
        return seed >> 16;
    };
    for (int i = 0; i < 3000; i++) {
        text += std::string(1 + next() % 30, static_cast<char>('a' + i % 26));
        if (next() % 5 != 0) text += "," + std::to_string(next() % 1000) + ".5";
        if (next() % 5 != 0) text += next() % 50 == 0 ? ",never" : ",2024-03-0" + std::to_string(1 + next() % 9);
        text += "\n";
    }
    TempDir dir;
    writeFile(dir.file("in.csv"), text);
    auto configure = [&](CSVConfig& config) {
        config.addRow(new CSVRow(3, 3, CSV_TYPE_DATE, nullptr));
        config.addRow(new CSVRow(2, 2, CSV_TYPE_DOUBLE, nullptr));
        config.addRow(new CSVRow(1, 1, CSV_TYPE_STRING, nullptr));
    };
    CSVConfig first(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    configure(first);
    const Outcome fresh = readWith(first, nullptr, &zone.scope);
    ASSERT_EQ(fresh.rows.size(), 3000u);

    CSVConfig second(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    configure(second);
    HyperCSV* reader = new HyperCSV(nullptr, &second, nullptr, &zone.scope);
    reader->setWindowSize(HyperCSV::kMinWindowSize + 3);
    reader->start();
    Outcome given;
    CSVResultRow* back = nullptr;
    int n = 0;
    while (CSVResultRow* row = reader->getNext(back)) {
        back = nullptr;
        take(row, &given);
        // What a consumer may do to a row it owns before giving it back.
        switch (n++ % 7) {
        case 0: row->get(0)->set(std::string(200, 'z').c_str()); break;
        case 1: row->set(0, new Any(1.5)); break;
        case 2: row->set(1, new Any("now text")); break;
        case 3: row->set(2, nullptr); break;
        default: break;
        }
        if (n % 3 == 0) {
            reader->recycle(row);
        } else if (n % 3 == 1) {
            back = row;
        } else {
            delete row;
        }
    }
    reader->join();
    EXPECT_EQ(given.rows, fresh.rows);
    EXPECT_EQ(given.rowErrors, fresh.rowErrors);
    delete reader;
}

TEST(HyperCSV, ASlotTakesTextsOfEveryLengthInAnyOrder) {
    // A refilled slot writes over the text it held when the new one fits:
    // every length, growing and shrinking, from every alignment, must read
    // back exactly (ASan reports a write past the buffer). A huge text is
    // not kept once a short one replaces it.
    std::string source;
    for (int i = 0; i < 300; i++) source += static_cast<char>('!' + (i * 7) % 90);
    CSVResultRow row(1);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 70; n++) lengths.push_back(n);
    for (size_t n = 70; n-- > 0;) lengths.push_back(n);
    for (size_t n = 0; n < 40; n++) lengths.push_back((n * 37) % 71);
    for (size_t i = 0; i < lengths.size(); i++) {
        const size_t at = i % 13;
        ASSERT_EQ(row.setText(0, source.data() + at, lengths[i]), 0);
        ASSERT_EQ(std::string(row.get(0)->getString()), source.substr(at, lengths[i])) << i;
    }
    EXPECT_NE(row.setText(1, "x", 1), 0);
    const std::string huge(1 << 20, 'h');
    row.setText(0, huge.data(), huge.size());
    row.setText(0, "short", 5);
    EXPECT_STREQ(row.get(0)->getString(), "short");
    EXPECT_LT(malloc_usable_size(row.get(0)->value.s), huge.size() / 4);
}

// A reader of 3000 numbered lines, started and left until its producer,
// with nobody consuming, has filled the queue to its bound.
HyperCSV* readerAtTheBound(const TempDir& dir, CSVConfig* config) {
    writeFile(dir.file("in.csv"), numberedLines(3000));
    mapStrings(*config, 1);
    HyperCSV* reader = new HyperCSV(nullptr, config, nullptr, nullptr);
    reader->start();
    EXPECT_TRUE(waitFor([&] { return reader->queuedRows() > HyperCSV::kMaxQueued; }));
    return reader;
}

TEST(HyperCSV, BoundedQueueFeedsSeveralConsumersEachRowOnce) {
    TempDir dir;
    CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    HyperCSV* reader = readerAtTheBound(dir, &config);
    // The producer stops there.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(reader->queuedRows(), HyperCSV::kMaxQueued + 1);

    std::vector<std::vector<int>> seen(3);
    std::vector<std::thread> consumers;
    for (auto& mine : seen) {
        // One consumer deletes its rows, one gives them back with the next
        // call, one gives them back on their own: rows made on the reader's
        // thread and refilled there after passing through the others.
        const int way = static_cast<int>(&mine - &seen[0]);
        consumers.emplace_back([reader, &mine, way] {
            CSVResultRow* back = nullptr;
            while (CSVResultRow* row = reader->getNext(back)) {
                back = nullptr;
                mine.push_back(atoi(row->get(0)->getString()));
                if (way == 0) {
                    delete row;
                } else if (way == 1) {
                    back = row;
                } else {
                    reader->recycle(row);
                }
            }
        });
    }
    for (auto& t : consumers) t.join();
    reader->join();
    std::multiset<int> all;
    for (const auto& mine : seen) {
        EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
        all.insert(mine.begin(), mine.end());
    }
    ASSERT_EQ(all.size(), 3000u);
    int expect = 1;
    for (int v : all) EXPECT_EQ(v, expect++);
    EXPECT_EQ(reader->totalRows(), 3000);
    delete reader;
}

TEST(HyperCSV, StopEndsAProducerBlockedOnAFullQueue) {
    TempDir dir;
    CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    HyperCSV* reader = readerAtTheBound(dir, &config);
    reader->stop();
    Outcome out = drain(reader);
    EXPECT_LT(out.rows.size(), 3000u);
    EXPECT_GT(out.rows.size(), HyperCSV::kMaxQueued);
    EXPECT_EQ(out.totalRows, static_cast<long long>(out.rows.size()));
    delete reader;
}

TEST(HyperCSV, OpenAndReadFailuresEndTheRunWithAnError) {
    TempDir dir;
    std::string missing = dir.file("missing.csv");
    CSVConfig config(missing.c_str(), dir.file("task.log").c_str(), 9, nullptr, nullptr, nullptr, 0);
    mapStrings(config, 1);
    Outcome out = readWith(config);
    EXPECT_TRUE(out.rows.empty());
    EXPECT_EQ(out.errors, std::vector<std::string>{"Unable to open file: No such file or directory\n@0:0"});
    EXPECT_EQ(out.errorCount, 1);
    EXPECT_EQ(readFile(dir.file("task.log")),
              "Error: unable to open input file: " + missing + "\n    (2) No such file or directory\n");

    CSVConfig noLog(missing.c_str(), dir.file("no/such/dir/task.log").c_str(), 9, nullptr, nullptr, nullptr, 0);
    out = readWith(noLog);
    EXPECT_EQ(out.errors, std::vector<std::string>{"Unable to open task log: No such file or directory\n@0:0"});

    // A producer error while reading: the rows before it arrive, the
    // partial line is dropped, and the run ends with "I/O Error".
    Input input(-1, nullptr, nullptr);
    std::string head = "a\nbcdef";
    input.appendData(reinterpret_cast<unsigned char*>(&head[0]), 1000, static_cast<int>(head.size()));
    CSVConfig streamed(nullptr, nullptr, 9, nullptr, nullptr, nullptr, 0);
    mapStrings(streamed, 1);
    HyperCSV* reader = new HyperCSV(&input, &streamed, nullptr, nullptr);
    reader->start();
    // A read short of what it asks for waits for the next chunk: keep them
    // coming (more text of the unfinished line) until the first row is out.
    std::atomic<bool> firstSeen{false};
    std::thread trickle([&] {
        unsigned char more = 'x';
        while (!firstSeen) {
            input.appendData(&more, 1000, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    CSVResultRow* first = reader->getNext();
    firstSeen = true;
    trickle.join();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->get(0)->getString(), "a");
    delete first;
    input.handleError(28, "peer went away");
    out = drain(reader);
    EXPECT_TRUE(out.rows.empty());
    EXPECT_EQ(out.errorCodes, std::vector<int>{28});
    ASSERT_EQ(out.errors.size(), 1u);
    EXPECT_EQ(out.errors[0].rfind("I/O Error@", 0), 0u);
    EXPECT_EQ(out.totalRows, 1);
    delete reader;
}

// Runs config's reader while a rescuer waits; should the reader still run
// after 20 seconds, the rescuer opens the FIFO at path (read and write: that
// open never waits, and it ends any open of the FIFO that waits for its
// other end), so that a reader stuck in such an open shows as a result, not
// a hang. rescued tells whether it had to.
Outcome readBesideFifo(CSVConfig& config, const std::string& path, bool* rescued) {
    std::mutex lock;
    std::condition_variable cv;
    bool finished = false;
    *rescued = false;
    std::thread rescuer([&] {
        std::unique_lock<std::mutex> hold(lock);
        if (cv.wait_for(hold, std::chrono::seconds(20), [&] { return finished; })) return;
        int fd = open(path.c_str(), O_RDWR);
        if (fd >= 0) close(fd);
        *rescued = true;
    });
    Outcome out = readWith(config);
    {
        std::lock_guard<std::mutex> hold(lock);
        finished = true;
    }
    cv.notify_all();
    rescuer.join();
    return out;
}

TEST(HyperCSV, FifosNeitherReadNorWrittenDoNotBlockTheReader) {
    // Nothing ever writes to this FIFO: it reads as empty.
    TempDir dir;
    const std::string fifo = dir.file("in.fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    CSVConfig config(fifo.c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    mapStrings(config, 1);
    bool rescued = false;
    Outcome out = readBesideFifo(config, fifo, &rescued);
    EXPECT_FALSE(rescued);
    EXPECT_TRUE(out.rows.empty());
    EXPECT_TRUE(out.errors.empty());
    EXPECT_EQ(out.totalRows, 0);

    // Nothing ever reads this one: as a task log it cannot be opened.
    writeFile(dir.file("in.csv"), "a\nb\n");
    const std::string logFifo = dir.file("log.fifo");
    ASSERT_EQ(0, mkfifo(logFifo.c_str(), 0600));
    CSVConfig logged(dir.file("in.csv").c_str(), logFifo.c_str(), 3, nullptr, nullptr, nullptr, 0);
    mapStrings(logged, 1);
    out = readBesideFifo(logged, logFifo, &rescued);
    EXPECT_FALSE(rescued);
    EXPECT_TRUE(out.rows.empty());
    EXPECT_EQ(out.errors,
              std::vector<std::string>{"Unable to open task log: " + std::string(strerror(ENXIO)) + "\n@0:0"});
    EXPECT_EQ(out.errorCodes, std::vector<int>{28});
}

TEST(HyperCSV, AReaderWhoseThreadCannotBeCreatedEndsAtOnce) {
    TempDir dir;
    writeFile(dir.file("in.csv"), "a\nb\n");
    CSVConfig config(dir.file("in.csv").c_str(), nullptr, 9, nullptr, nullptr, nullptr, 0);
    mapStrings(config, 1);
    HyperCSV* reader = new HyperCSV(nullptr, &config, nullptr, nullptr);
    // A consumer on another thread may already wait when the start fails:
    // it gets the end of the rows as well.
    std::atomic<bool> earlyGotRow{true};
    std::thread early([&] {
        CSVResultRow* row = reader->getNext();
        earlyGotRow = row != nullptr;
        delete row;
    });
    _failThreadCreation = true;
    reader->start();
    _failThreadCreation = false;
    EXPECT_FALSE(reader->isStarted());
    Outcome out = drain(reader);
    early.join();
    EXPECT_FALSE(earlyGotRow);
    EXPECT_TRUE(out.rows.empty());
    EXPECT_EQ(out.errors, std::vector<std::string>{"Unable to start reader thread: " + std::string(strerror(EAGAIN)) +
                                                   "@0:0"});
    EXPECT_EQ(out.errorCodes, std::vector<int>{39});
    EXPECT_EQ(out.errorCount, 1);
    EXPECT_EQ(out.totalRows, 0);
    delete reader;
}

}  // namespace
