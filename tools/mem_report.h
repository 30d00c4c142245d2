// drvmem's reader: the memory report stream that the allocator hooks write
// (common/mem_hooks.h describes its records), the allocations still
// outstanding grouped by stack, the guard violations, and the symbols of
// the addresses, read from the ELF symbol tables of the files the mapping
// records name. A library of its own so that the fuzz target drives it.
//
// Thread-safety: none; one reader per thread.
#ifndef DRV_TOOLS_MEM_REPORT_H
#define DRV_TOOLS_MEM_REPORT_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

struct MemMapping {
    uint64_t start, end;
    std::string path;
};

using MemStack = std::vector<uint64_t>;

// Reads a report as it arrives, in pieces of any size. The first malformed
// record stops the reading; what came before it is kept and error() says
// what was wrong and where.
class MemReport {
public:
    struct Block {
        uint64_t size;
        int stack;  // index into stacks()
    };
    struct Violation {
        std::string text;
        int stack;
    };

    void feed(const void* data, size_t len);
    // The end of the stream: a record cut short is an error.
    void finish();
    bool failed() const { return !_error.empty(); }
    const std::string& error() const { return _error; }

    const std::vector<MemMapping>& mappings() const { return _mappings; }
    const std::vector<MemStack>& stacks() const { return _stacks; }
    // Outstanding blocks by block address.
    const std::map<uint64_t, Block>& outstanding() const { return _outstanding; }
    const std::vector<Violation>& violations() const { return _violations; }
    uint64_t allocations() const { return _allocations; }
    uint64_t releases() const { return _releases; }
    // Releases of blocks the report never saw allocated (allocated before
    // reporting began).
    uint64_t unknownReleases() const { return _unknownReleases; }

private:
    // Parses one record at the front of the pending bytes; 0 when it is not
    // all there yet, -1 when it is malformed, else its length.
    long parseOne(const unsigned char* p, size_t n);
    int intern(const uint64_t* frames, uint32_t count);
    void fail(const std::string& what);

    std::string _pending;
    size_t _used = 0;      // bytes of _pending already parsed
    uint64_t _offset = 0;  // stream offset of _pending[_used]
    std::string _error;
    std::vector<MemMapping> _mappings;
    std::vector<MemStack> _stacks;
    std::map<MemStack, int> _stackIndex;
    std::map<uint64_t, Block> _outstanding;
    std::vector<Violation> _violations;
    uint64_t _allocations = 0, _releases = 0, _unknownReleases = 0;
};

// The function symbols of one ELF file and the virtual address of its first
// executable segment, to turn run-time addresses into names.
class ElfSymbols {
public:
    // From the bytes of a 64-bit little-endian ELF file; false when they
    // are not one (or are damaged); symbols that do not fit are skipped.
    bool load(const unsigned char* data, size_t size);
    bool loadFile(const std::string& path);

    // The name ("function+0x1c") of the function whose call returns to
    // returnAddress (a virtual address of the file), or "".
    std::string lookup(uint64_t returnAddress) const;
    // Page-aligned virtual address of the executable segment.
    uint64_t execBase() const { return _execBase; }

private:
    struct Symbol {
        uint64_t value, size;
        std::string name;
    };
    std::vector<Symbol> _symbols;  // sorted by value
    uint64_t _execBase = 0;
};

// Names addresses through the mapping records: "name+0x1c (path)", or
// "path+0xOFFSET" when the file cannot be read or has no symbol there.
class MemSymbolizer {
public:
    // readFiles false: never open the named files (the fuzz target).
    MemSymbolizer(const std::vector<MemMapping>& mappings, bool readFiles);
    std::string describe(uint64_t addr);

private:
    const std::vector<MemMapping>& _mappings;
    bool _readFiles;
    std::map<std::string, ElfSymbols> _files;
    std::map<std::string, bool> _loaded;
};

// The report as drvmem prints it: a summary line, the outstanding blocks
// grouped by stack (most bytes first), then every guard violation.
std::string formatMemReport(const MemReport& report, MemSymbolizer& symbols);

#endif
