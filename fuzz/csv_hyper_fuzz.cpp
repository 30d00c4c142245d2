// HyperCSV on arbitrary bytes: the first byte picks the character set the
// input is declared in (or detection), the quote character, the reader's
// window size and whether rows are given back for reuse or deleted, the
// second the size of the chunks in which the bytes arrive; the rest is the
// file.
// Columns 1 to 5 are read as a string, a double, a date and, through script
// expressions, a string made from text and one made from a number. Every row
// must have the five slots, no more
// rows may arrive than lines were counted, and nothing may crash, leak or
// hang.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "common/log.h"
#include "csv/csv_config.h"
#include "csv/hyper_csv.h"
#include "dirbase/any.h"
#include "io/input.h"
#include "script/registry.h"
#include "script/varset.h"

namespace {

const char* const kSets[] = {nullptr, "*", "UTF-16LE", "ISO-8859-1", "Shift_JIS", "UTF-8", "GB18030", "UTF-32"};
const char* const kQuotes[] = {"\"", "'"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        setLog("/dev/null");
        script_installHooks();
        return true;
    }();
    (void)ready;
    if (size < 2) return 0;
    const char* encoding = kSets[data[0] & 7];
    const char* quote = kQuotes[(data[0] >> 3) & 1];
    int chunk = 1 + data[1] % 64;
    std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    Input input(-1, nullptr, encoding);
    for (size_t at = 0; at < bytes.size(); at += static_cast<size_t>(chunk)) {
        int n = static_cast<int>(std::min(bytes.size() - at, static_cast<size_t>(chunk)));
        input.appendData(reinterpret_cast<unsigned char*>(&bytes[at]), static_cast<long long>(bytes.size()), n);
    }
    input.appendData(nullptr, 0, 0);

    CSVConfig config(nullptr, nullptr, 9, nullptr, quote, ",", (data[0] >> 4) & 1);
    config.addRow(new CSVRow(5, 5, CSV_TYPE_STRING, "VALUE * 2"));
    config.addRow(new CSVRow(4, 4, CSV_TYPE_STRING, "VALUE + \"|\""));
    config.addRow(new CSVRow(3, 3, CSV_TYPE_DATE, nullptr));
    config.addRow(new CSVRow(2, 2, CSV_TYPE_DOUBLE, nullptr));
    config.addRow(new CSVRow(1, 1, CSV_TYPE_STRING, nullptr));
    ObjRef scope(new VarSet(nullptr, AbstractVarSet::FUNCTION));
    HyperCSV* reader = new HyperCSV(&input, &config, nullptr, &scope);
    const int windows[] = {HyperCSV::kMinWindowSize, HyperCSV::kMinWindowSize + 3, HyperCSV::kWindowSize, HyperCSV::kLargeWindowSize};
    reader->setWindowSize(windows[(data[0] >> 6) & 3]);
    const bool giveBack = (data[0] >> 5) & 1;
    reader->start();
    long long rows = 0;
    CSVResultRow* row = nullptr;
    while ((row = reader->getNext(giveBack ? row : nullptr)) != nullptr) {
        if (row->count() != 5) abort();
        rows++;
        if (!giveBack) delete row;
    }
    reader->join();
    if (rows > reader->totalRows()) abort();
    delete reader;
    static_cast<VarSet*>(scope.get())->clear();
    return 0;
}
