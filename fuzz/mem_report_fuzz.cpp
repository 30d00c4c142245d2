// drvmem's readers on arbitrary bytes: the report stream fed in pieces of
// sizes the input picks, then printed (names from the mapping records only,
// no file is opened); and the ELF symbol table reader on the same bytes.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "tools/mem_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t piece = data[0] % 64 + 1;
    MemReport report;
    for (size_t at = 1; at < size; at += piece) report.feed(data + at, piece < size - at ? piece : size - at);
    report.finish();
    MemSymbolizer names(report.mappings(), false);
    std::string out = formatMemReport(report, names);

    ElfSymbols elf;
    if (elf.load(data, size)) {
        for (size_t i = 0; i + 8 <= size && i < 256; i += 8) {
            uint64_t addr;
            __builtin_memcpy(&addr, data + i, 8);
            elf.lookup(addr);
            elf.lookup(elf.execBase() + i);
        }
    }
    return 0;
}
