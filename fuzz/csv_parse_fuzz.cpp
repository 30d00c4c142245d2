// parseCSV on arbitrary bytes: the first byte picks the quote and separator
// characters (one- and multi-byte ones among them) and the number of header
// lines; the rest is the text. Either a tree comes back whose row count
// matches its data and whose fields are all strings, or the syntax error of
// an unterminated quote with no tree; the count of the first line's fields
// agrees with the first row; nothing may crash or leak.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "csv/csv_parse.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "script/error.h"

namespace {

const char* const kQuotes[] = {"\"", "'", "«", nullptr};
const char* const kSeparators[] = {",", ";", "\t", "§", "😀", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char* quote = kQuotes[data[0] & 3];
    const char* sep = kSeparators[(data[0] >> 2) % 6];
    int headers = data[0] >> 5;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    // The first line's field count reads every byte, terminator or not.
    const int firstFields = csvFirstLineFields(text.data(), text.size(), quote, sep);
    if (firstFields < 0) abort();
    Attributes* out = nullptr;
    Error* err = parseCSV(&out, text.c_str(), quote, sep, headers);
    if (err != nullptr) {
        if (out != nullptr || err->type != Error::SyntaxError || err->firstLocation() == nullptr) abort();
        delete err;
        return 0;
    }
    if (out == nullptr) abort();
    AnyArray* rows = out->getAttribute("data")->getArray();
    AnyArray* columns = out->getAttribute("columns")->getArray();
    long long total = -1;
    out->getAttribute("totalRows")->convertToInt64(total);
    if (rows == nullptr || columns == nullptr || total != rows->size()) abort();
    // Without header lines, carriage returns (which only the streaming
    // reader takes as line ends) or a zero byte, the count is the first
    // row's.
    if (headers == 0 && text.find_first_of(std::string("\r\0", 2)) == std::string::npos &&
        firstFields != (rows->size() > 0 ? rows->get(0)->getArray()->size() : 0))
        abort();
    for (int i = 0; i < rows->size(); i++) {
        AnyArray* row = rows->get(i)->getArray();
        if (row == nullptr) abort();
        for (int j = 0; j < row->size(); j++)
            if (row->get(j) == nullptr || row->get(j)->getString() == nullptr) abort();
    }
    delete out;
    return 0;
}
