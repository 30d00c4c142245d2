// parseCSV and HyperCSV share their quoting, separator and line rules: on
// any text without carriage returns (which only the streaming reader takes
// as line ends) both must find the same data rows and warn about the same
// ragged lines, and both must refuse a text that ends inside quotes. The
// streaming reader's values lose their trailing white space; the in-memory
// parser's keep it, so that is taken off before comparing. The field count
// of a text's first line agrees with the first row of both.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "csv/csv_config.h"
#include "csv/csv_parse.h"
#include "csv/csv_scan.h"
#include "csv/hyper_csv.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "io/input.h"
#include "script/error.h"
#include "script/location.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Every output has this many columns; the texts are too short to hold more
// fields than that on one line.
const int kColumns = 16;

struct Read {
    bool failed = false;
    Rows rows;
    // Lines of the "differs from prior" warnings.
    std::vector<int> raggedLines;
    // Fields of the first data row (of the first line that is not blank
    // when there are no header lines); -1 without one.
    int firstFields = -1;
};

std::string trimmed(const char* s) {
    std::string t = s != nullptr ? s : "<null>";
    while (!t.empty() && csvIsBlank(static_cast<unsigned char>(t.back()))) t.pop_back();
    return t;
}

Read inMemory(const std::string& text, const char* quote, const char* sep, int headers) {
    Read r;
    Attributes* out = nullptr;
    Error* err = parseCSV(&out, text.c_str(), quote, sep, headers);
    r.failed = err != nullptr;
    delete err;
    if (out == nullptr) return r;
    AnyArray* data = out->getAttribute("data")->getArray();
    if (data->size() > 0) r.firstFields = data->get(0)->getArray()->size();
    for (int i = 0; i < data->size(); i++) {
        AnyArray* fields = data->get(i)->getArray();
        std::vector<std::string> row;
        for (int f = 0; f < fields->size(); f++) row.push_back(trimmed(fields->get(f)->getString()));
        row.resize(kColumns, "<null>");
        r.rows.push_back(row);
    }
    const Any* warnings = out->getAttribute("warnings");
    AnyArray* list = warnings != nullptr ? warnings->getArray() : nullptr;
    for (int i = 0; list != nullptr && i < list->size(); i++) {
        Translatable* obj = nullptr;
        if (!list->get(i)->getObject(&obj) || obj == nullptr) continue;
        Attributes* w = static_cast<Attributes*>(obj);
        if (std::string(w->getStringAttribute("description")) == "Blank line ignored") continue;
        int line = -1;
        w->getAttribute("line")->convertToInt32(line);
        r.raggedLines.push_back(line);
    }
    delete out;
    return r;
}

Read streamed(const std::string& text, const char* quote, const char* sep, int headers, int window, size_t chunk) {
    Input input(-1, nullptr, nullptr);
    std::string bytes = text;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        int n = static_cast<int>(std::min(chunk, bytes.size() - at));
        input.appendData(reinterpret_cast<unsigned char*>(&bytes[at]), static_cast<long long>(bytes.size()), n);
    }
    input.appendData(nullptr, 0, 0);
    CSVConfig config(nullptr, nullptr, 9, nullptr, quote, sep, headers);
    for (int i = kColumns; i >= 1; i--) config.addRow(new CSVRow(i, i, CSV_TYPE_STRING, nullptr));
    HyperCSV* reader = new HyperCSV(&input, &config, nullptr, nullptr);
    reader->setWindowSize(window);
    reader->start();
    Read r;
    while (CSVResultRow* row = reader->getNext()) {
        std::vector<std::string> values;
        for (int i = 0; i < row->count(); i++) values.push_back(trimmed(row->get(i) ? row->get(i)->getString() : nullptr));
        r.rows.push_back(values);
        delete row;
    }
    reader->join();
    r.failed = !reader->errors().empty();
    for (const Error* w : reader->warnings()) r.raggedLines.push_back(w->firstLocation()->line);
    delete reader;
    return r;
}

TEST(CSVReaders, AgreeOnRowsAndRaggedLinesForAnyText) {
    // One- and multi-byte delimiters, and texts that mix them with line
    // ends, blanks, a stray UTF-8 lead byte and multi-byte characters.
    struct Delimiters {
        const char* quote;
        const char* sep;
    } cases[] = {{"\"", ","}, {"'", ";"}, {"\xc3\xa9", ","}, {"\"", "\xe2\x82\xac"}};
    uint32_t seed = 20240102;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1103515245 + 12345;
        return (seed >> 16) % n;
    };
    int compared = 0, refused = 0;
    for (const Delimiters& d : cases) {
        const char* pieces[] = {"a", "bc", d.sep, d.quote, "\n", " ", "\xc3", "\xe2\x82\xac", "\xc3\xa9"};
        for (int i = 0; i < 150; i++) {
            std::string text;
            for (uint32_t n = next(80); n > 0; n--) text += pieces[next(sizeof pieces / sizeof pieces[0])];
            const int headers = static_cast<int>(next(3));
            Read want = inMemory(text, d.quote, d.sep, headers);
            Read got = streamed(text, d.quote, d.sep, headers, HyperCSV::kMinWindowSize + static_cast<int>(next(7)),
                                1 + next(9));
            ASSERT_EQ(want.failed, got.failed) << "[" << text << "]";
            // A refused text has no rows in memory, while the streaming
            // reader has already handed over the lines before the quote.
            if (want.failed) {
                refused++;
                continue;
            }
            EXPECT_EQ(want.rows, got.rows) << "[" << text << "] headers " << headers;
            EXPECT_EQ(want.raggedLines, got.raggedLines) << "[" << text << "] headers " << headers;
            // The count of the first line's fields, as drvcsv takes it.
            if (headers == 0) {
                EXPECT_EQ(std::max(want.firstFields, 0), csvFirstLineFields(text.data(), text.size(), d.quote, d.sep))
                    << "[" << text << "]";
            }
            compared++;
        }
    }
    // Both kinds of text came up.
    EXPECT_GT(compared, 100);
    EXPECT_GT(refused, 10);
}

}  // namespace
