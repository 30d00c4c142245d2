// parseCSV: quoting, line ends, blank and ragged lines with their warnings,
// header lines, byte-order marks and the unterminated quote.
#include "csv/csv_parse.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <chrono>
#include <string>
#include <vector>

#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "script/error.h"
#include "script/location.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

struct Parsed {
    std::vector<std::string> columns;
    Rows data;
    long long totalRows = -1;
    // "description@line" per warning.
    std::vector<std::string> warnings;
    bool hasWarnings = false;
};

std::vector<std::string> strings(const Any* v) {
    std::vector<std::string> out;
    AnyArray* a = v != nullptr ? v->getArray() : nullptr;
    for (int i = 0; a != nullptr && i < a->size(); i++) {
        const char* s = a->get(i) != nullptr ? a->get(i)->getString() : nullptr;
        out.push_back(s != nullptr ? s : "<not a string>");
    }
    return out;
}

Parsed parse(const std::string& text, int headerLines = 0, const char* quote = "\"", const char* sep = ",") {
    Attributes* out = nullptr;
    Error* err = parseCSV(&out, text.c_str(), quote, sep, headerLines);
    Parsed p;
    EXPECT_EQ(err, nullptr) << (err != nullptr ? err->message : "");
    delete err;
    if (out == nullptr) return p;
    p.columns = strings(out->getAttribute("columns"));
    AnyArray* data = out->getAttribute("data") != nullptr ? out->getAttribute("data")->getArray() : nullptr;
    for (int i = 0; data != nullptr && i < data->size(); i++) p.data.push_back(strings(data->get(i)));
    long long total = -1;
    if (out->getAttribute("totalRows") != nullptr) out->getAttribute("totalRows")->convertToInt64(total);
    p.totalRows = total;
    Any* warnings = out->getAttribute("warnings");
    p.hasWarnings = warnings != nullptr;
    AnyArray* list = warnings != nullptr ? warnings->getArray() : nullptr;
    for (int i = 0; list != nullptr && i < list->size(); i++) {
        Translatable* obj = nullptr;
        Attributes* w = list->get(i)->getObject(&obj) ? static_cast<Attributes*>(obj) : nullptr;
        int line = -1;
        if (w != nullptr && w->getAttribute("line") != nullptr) w->getAttribute("line")->convertToInt32(line);
        const char* d = w != nullptr ? w->getStringAttribute("description") : nullptr;
        p.warnings.push_back(std::string(d != nullptr ? d : "?") + "@" + std::to_string(line));
    }
    delete out;
    return p;
}

TEST(ParseCSV, QuotesSeparatorsAndEmbeddedNewlines) {
    Parsed p = parse("a,\"b,c\",d\n"
                     "\"say \"\"hi\"\"\",\"\",x\n"
                     "ab\"c,d\"e,\"two\nlines\",z\n"
                     "\"cr\r\nlf\",,\n");
    Rows want = {{"a", "b,c", "d"}, {"say \"hi\"", "", "x"}, {"abc,de", "two\nlines", "z"}, {"cr\r\nlf", "", ""}};
    EXPECT_EQ(p.data, want);
    EXPECT_EQ(p.totalRows, 4);
    EXPECT_FALSE(p.hasWarnings);

    // Other characters for both, the separator one of two bytes.
    Parsed q = parse("'x§y'§b§'it''s'\n1§2§3", 0, "'", "§");
    EXPECT_EQ(q.data, (Rows{{"x§y", "b", "it's"}, {"1", "2", "3"}}));
}

TEST(ParseCSV, LongFieldsRoundTripWhereverTheDelimitersFall) {
    // Fields of every length from pieces of one to four bytes, so that
    // quotes, separators and line ends land at every offset of the 16-byte
    // steps the reader scans in; quoted and bare, LF and CR LF.
    const char* pieces[] = {"a", "bb", "\xC3\xA9", "\xF0\x9F\x98\x80", "\"", ",", "\n", "0123456789abcdef", " "};
    Rows rows;
    std::string text;
    uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1103515245 + 12345;
        return seed >> 16;
    };
    for (int r = 0; r < 300; r++) {
        std::vector<std::string> row;
        for (int f = 0; f < 4; f++) {
            std::string field;
            for (unsigned k = next() % 12; k > 0; k--) field += pieces[next() % (sizeof pieces / sizeof pieces[0])];
            // A bare field holds no delimiter; the first field is never
            // empty, or the line would be blank.
            bool bare = next() % 2 == 0 && field.find_first_of("\",\n") == std::string::npos;
            if (f == 0 && field.empty()) field = "x";
            if (f > 0) text += ",";
            if (bare) {
                text += field;
            } else {
                text += '"';
                for (char c : field) text += c == '"' ? std::string("\"\"") : std::string(1, c);
                text += '"';
            }
            row.push_back(field);
        }
        text += r % 3 == 0 ? "\r\n" : "\n";
        rows.push_back(row);
    }
    Parsed p = parse(text);
    EXPECT_EQ(p.data, rows);
    EXPECT_FALSE(p.hasWarnings);
}

TEST(ParseCSV, LineEndsBlankLinesAndTheLastLine) {
    // CR LF and LF end lines; a lone CR is field text; blank lines are
    // skipped with a warning naming their line; the unterminated last line
    // still counts.
    Parsed p = parse("a,b\r\n\r\nc\rd,e\n\nf,g");
    EXPECT_EQ(p.data, (Rows{{"a", "b"}, {"c\rd", "e"}, {"f", "g"}}));
    EXPECT_EQ(p.totalRows, 3);
    EXPECT_EQ(p.warnings, (std::vector<std::string>{"Blank line ignored@2", "Blank line ignored@4"}));

    // An embedded newline advances the line that later warnings give.
    Parsed q = parse("\"1\n2\n3\",x\n\ny\n");
    EXPECT_EQ(q.warnings, (std::vector<std::string>{"Blank line ignored@4", "Number of fields differs from prior lines@5"}));
}

TEST(ParseCSV, HeadersAndRaggedRows) {
    Parsed p = parse("id,name\n,full\n1,a\n2,b,extra\n3,c,more\n4\n", 2);
    EXPECT_EQ(p.columns, (std::vector<std::string>{"id\n", "name\nfull"}));
    EXPECT_EQ(p.data, (Rows{{"1", "a"}, {"2", "b", "extra"}, {"3", "c", "more"}, {"4"}}));
    EXPECT_EQ(p.totalRows, 4);
    // Each change of the count warns once; the changed count is the new reference.
    EXPECT_EQ(p.warnings, (std::vector<std::string>{"Number of fields differs from prior lines@4",
                                                    "Number of fields differs from prior lines@6"}));
}

TEST(ParseCSV, ManyWarningsHeaderFieldsAndHeaderLinesCostLinearTime) {
    // A warning on every line, a header line of very many fields, very many
    // header lines: each list or header grows by one entry at a time. Linear
    // work takes well under a second here; copying the whole on each entry
    // takes many minutes.
    const int n = 100000;
    const auto start = std::chrono::steady_clock::now();
    std::string blank = "a\n";
    blank.append(n, '\n');
    Parsed p = parse(blank);
    EXPECT_EQ(p.data, (Rows{{"a"}}));
    ASSERT_EQ(p.warnings.size(), static_cast<size_t>(n));
    EXPECT_EQ(p.warnings.back(), "Blank line ignored@" + std::to_string(n + 1));

    // Lines of one and of two fields in turn: every line after the first warns.
    std::string ragged;
    for (int i = 0; i < n; i++) ragged += i % 2 == 0 ? "x\n" : "x,y\n";
    Parsed q = parse(ragged);
    EXPECT_EQ(q.totalRows, n);
    ASSERT_EQ(q.warnings.size(), static_cast<size_t>(n - 1));
    EXPECT_EQ(q.warnings.back(), "Number of fields differs from prior lines@" + std::to_string(n));

    std::string header;
    for (int i = 0; i < n; i++) header += "h" + std::to_string(i) + ",";
    header += "last\n";
    for (int i = 0; i < n; i++) header += ",";
    header += "2nd\n";
    Parsed h = parse(header, 2);
    ASSERT_EQ(h.columns.size(), static_cast<size_t>(n + 1));
    EXPECT_EQ(h.columns[0], "h0\n");
    EXPECT_EQ(h.columns[n], "last\n2nd");
    EXPECT_TRUE(h.data.empty());

    // Every header line adds its text to the column's header: a header that
    // is copied whole for each line it gains costs time quadratic in the
    // number of lines.
    const int lines = n / 2;
    std::string text;
    for (int i = 0; i < lines; i++) text += "head" + std::to_string(i % 10) + ",h\n";
    text += "1,2\n";
    Parsed many = parse(text, lines);
    ASSERT_EQ(many.columns.size(), 2u);
    ASSERT_EQ(many.columns[0].size(), 6u * lines - 1);
    EXPECT_EQ(many.columns[0].compare(0, 12, "head0\nhead1\n"), 0);
    EXPECT_EQ(many.columns[0].compare(many.columns[0].size() - 11, 11, "head8\nhead9"), 0);
    std::string second = "h";
    for (int i = 1; i < lines; i++) second += "\nh";
    EXPECT_EQ(many.columns[1], second);
    EXPECT_EQ(many.data, (Rows{{"1", "2"}}));
    EXPECT_EQ(many.totalRows, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
}

TEST(ParseCSV, EmptyTextHeaderOnlyAndByteOrderMark) {
    Parsed empty = parse("", 1);
    EXPECT_TRUE(empty.columns.empty());
    EXPECT_TRUE(empty.data.empty());
    EXPECT_EQ(empty.totalRows, 0);
    EXPECT_FALSE(empty.hasWarnings);

    Parsed header = parse("\xEF\xBB\xBFkey,value\n", 1);
    EXPECT_EQ(header.columns, (std::vector<std::string>{"key", "value"}));
    EXPECT_TRUE(header.data.empty());
    EXPECT_EQ(header.totalRows, 0);

    // Only a mark at the very start is dropped.
    Parsed later = parse("a\n\xEF\xBB\xBF" "b\n");
    EXPECT_EQ(later.data, (Rows{{"a"}, {"\xEF\xBB\xBF" "b"}}));
}

TEST(ParseCSV, UnterminatedQuoteIsASyntaxErrorWhereTheTextEnds) {
    Attributes* out = reinterpret_cast<Attributes*>(1);
    Error* err = parseCSV(&out, "a,b\nc,\"de\nfg", nullptr, nullptr, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(err->type, Error::SyntaxError);
    EXPECT_EQ(err->code, 28);
    EXPECT_STREQ(err->message, "EOF encountered while inside quote");
    ASSERT_NE(err->firstLocation(), nullptr);
    EXPECT_STREQ(err->firstLocation()->fileName, "<input>");
    EXPECT_EQ(err->firstLocation()->line, 3);
    // Columns count characters from 1: "fg" leaves the next one at 3.
    EXPECT_EQ(err->firstLocation()->column, 3);
    EXPECT_EQ(err->traceback[1], nullptr);
    delete err;

    // Columns count characters, not bytes: a quote and 7 times "é€😀ab"
    // (five characters, ten bytes) leave the next column at 37.
    std::string many;
    for (int i = 0; i < 7; i++) many += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "ab";
    err = parseCSV(&out, ("a\n\"" + many).c_str(), nullptr, nullptr, 0);
    ASSERT_NE(err, nullptr);
    ASSERT_NE(err->firstLocation(), nullptr);
    EXPECT_EQ(err->firstLocation()->line, 2);
    EXPECT_EQ(err->firstLocation()->column, 37);
    delete err;
}

TEST(CSVFirstLineFields, CountsTheFirstLineThatIsNotBlankAsTheStreamingReaderEndsLines) {
    auto count = [](const std::string& text, const char* quote = nullptr, const char* sep = nullptr) {
        return csvFirstLineFields(text.data(), text.size(), quote, sep);
    };
    EXPECT_EQ(count("a,b,c\nd\n"), 3);
    // Blank lines, an empty quoted field among them, and a mark come first.
    EXPECT_EQ(count("\xEF\xBB\xBF" "\n\r\n\"\"\r,\n"), 2);
    // A lone carriage return ends the line; inside quotes it does not.
    EXPECT_EQ(count("a,b\rc,d,e\r"), 2);
    EXPECT_EQ(count("\"a,\rb\"\"\n\",c\nd"), 2);
    // A line that the text ends in the middle of counts as far as it goes,
    // an open quote included.
    EXPECT_EQ(count("p;q;r", nullptr, ";"), 3);
    EXPECT_EQ(count("x,\"y,z\n", nullptr, nullptr), 2);
    // Multi-byte delimiters, and one cut short by the end of the text.
    EXPECT_EQ(count("a\xE2\x82\xAC" "b\xE2\x82\xAC\n", "\xC2\xAB", "\xE2\x82\xAC"), 3);
    EXPECT_EQ(count("a\xE2\x82", nullptr, "\xE2\x82\xAC"), 1);
    EXPECT_EQ(count(""), 0);
    EXPECT_EQ(count("\n\r\n"), 0);
    EXPECT_EQ(csvFirstLineFields(nullptr, 5, nullptr, nullptr), 0);

    // Tens of thousands of blank lines in front of the line.
    EXPECT_EQ(count(std::string(50000, '\n') + "a,b"), 2);
}

}  // namespace
