#include "tools/mem_report.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The hooks capture 30 frames and leave out the innermost.
const uint32_t kMaxFrames = 29;
// Longer paths or messages than these mean the stream is not a report.
const uint32_t kMaxPath = 4096;
const uint64_t kMaxText = 1 << 20;

uint32_t u32(const unsigned char* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

uint64_t u64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// The stream.

void MemReport::fail(const std::string& what) {
    if (_error.empty()) _error = what + " at offset " + std::to_string(_offset);
}

int MemReport::intern(const uint64_t* frames, uint32_t count) {
    MemStack stack(frames, frames + count);
    auto found = _stackIndex.find(stack);
    if (found != _stackIndex.end()) return found->second;
    int index = static_cast<int>(_stacks.size());
    _stacks.push_back(stack);
    _stackIndex.emplace(std::move(stack), index);
    return index;
}

long MemReport::parseOne(const unsigned char* p, size_t n) {
    if (n < 1) return 0;
    int type = p[0];
    if (type == 3) {
        if (n < 21) return 0;
        uint32_t len = u32(p + 17);
        if (len > kMaxPath) {
            fail("mapping path of " + std::to_string(len) + " bytes");
            return -1;
        }
        if (n < 21 + static_cast<size_t>(len)) return 0;
        MemMapping m{u64(p + 1), u64(p + 9), std::string(reinterpret_cast<const char*>(p + 21), len)};
        if (m.end < m.start) {
            fail("mapping that ends before it starts");
            return -1;
        }
        _mappings.push_back(std::move(m));
        return 21 + static_cast<long>(len);
    }
    if (type < 1 || type > 4) {
        fail("unknown record type " + std::to_string(type));
        return -1;
    }
    if (n < 5) return 0;
    uint32_t count = u32(p + 1);
    if (count > kMaxFrames) {
        fail("frame count " + std::to_string(count));
        return -1;
    }
    size_t at = 5 + static_cast<size_t>(count) * 8;
    size_t fixed = at + (type == 1 ? 16 : 8);
    if (n < fixed) return 0;
    uint64_t frames[kMaxFrames];
    for (uint32_t i = 0; i < count; i++) frames[i] = u64(p + 5 + i * 8);
    if (type == 1) {
        uint64_t size = u64(p + at), block = u64(p + at + 8);
        _allocations++;
        // A failed allocation (null) leaves nothing outstanding.
        if (block != 0) _outstanding[block] = Block{size, intern(frames, count)};
        return static_cast<long>(fixed);
    }
    if (type == 2) {
        _releases++;
        if (_outstanding.erase(u64(p + at)) == 0) _unknownReleases++;
        return static_cast<long>(fixed);
    }
    uint64_t len = u64(p + at);
    if (len > kMaxText) {
        fail("message of " + std::to_string(len) + " bytes");
        return -1;
    }
    if (n < fixed + len) return 0;
    _violations.push_back(
        Violation{std::string(reinterpret_cast<const char*>(p + fixed), len), intern(frames, count)});
    return static_cast<long>(fixed + len);
}

void MemReport::feed(const void* data, size_t len) {
    if (failed()) return;
    _pending.append(static_cast<const char*>(data), len);
    for (;;) {
        const auto* p = reinterpret_cast<const unsigned char*>(_pending.data()) + _used;
        long n = parseOne(p, _pending.size() - _used);
        if (n <= 0) break;
        _used += static_cast<size_t>(n);
        _offset += static_cast<uint64_t>(n);
    }
    // Keep only the unparsed tail, without moving it on every piece.
    if (_used > 65536 && _used * 2 > _pending.size()) {
        _pending.erase(0, _used);
        _used = 0;
    }
}

void MemReport::finish() {
    if (!failed() && _used < _pending.size())
        fail("record cut short (" + std::to_string(_pending.size() - _used) + " bytes)");
}

// ---------------------------------------------------------------------------
// ELF symbols.

bool ElfSymbols::load(const unsigned char* data, size_t size) {
    _symbols.clear();
    _execBase = 0;
    if (size < sizeof(Elf64_Ehdr) || memcmp(data, ELFMAG, SELFMAG) != 0 || data[EI_CLASS] != ELFCLASS64 ||
        data[EI_DATA] != ELFDATA2LSB)
        return false;
    Elf64_Ehdr eh;
    memcpy(&eh, data, sizeof(eh));
    auto fits = [size](uint64_t off, uint64_t len) { return off <= size && len <= size - off; };

    bool haveExec = false;
    if (eh.e_phentsize == sizeof(Elf64_Phdr) && fits(eh.e_phoff, uint64_t(eh.e_phnum) * sizeof(Elf64_Phdr))) {
        for (int i = 0; i < eh.e_phnum && !haveExec; i++) {
            Elf64_Phdr ph;
            memcpy(&ph, data + eh.e_phoff + i * sizeof(ph), sizeof(ph));
            if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
                _execBase = ph.p_vaddr & ~uint64_t(0xfff);
                haveExec = true;
            }
        }
    }
    if (!haveExec) return false;
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || !fits(eh.e_shoff, uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr)))
        return true;  // no sections: no names, the offsets still mean something
    auto section = [&](int i) {
        Elf64_Shdr sh;
        memcpy(&sh, data + eh.e_shoff + i * sizeof(sh), sizeof(sh));
        return sh;
    };
    // The full table when the file has one, else the dynamic one.
    for (uint32_t want : {uint32_t(SHT_SYMTAB), uint32_t(SHT_DYNSYM)}) {
        for (int i = 0; i < eh.e_shnum; i++) {
            Elf64_Shdr sh = section(i);
            if (sh.sh_type != want || sh.sh_entsize != sizeof(Elf64_Sym) || sh.sh_link >= eh.e_shnum ||
                !fits(sh.sh_offset, sh.sh_size))
                continue;
            Elf64_Shdr strs = section(static_cast<int>(sh.sh_link));
            if (!fits(strs.sh_offset, strs.sh_size)) continue;
            const char* names = reinterpret_cast<const char*>(data + strs.sh_offset);
            for (uint64_t k = 0; k < sh.sh_size / sizeof(Elf64_Sym); k++) {
                Elf64_Sym sym;
                memcpy(&sym, data + sh.sh_offset + k * sizeof(sym), sizeof(sym));
                int kind = ELF64_ST_TYPE(sym.st_info);
                if ((kind != STT_FUNC && kind != STT_GNU_IFUNC) || sym.st_value == 0 || sym.st_name >= strs.sh_size)
                    continue;
                size_t len = strnlen(names + sym.st_name, strs.sh_size - sym.st_name);
                _symbols.push_back(Symbol{sym.st_value, sym.st_size, std::string(names + sym.st_name, len)});
            }
        }
        if (!_symbols.empty()) break;
    }
    std::sort(_symbols.begin(), _symbols.end(),
              [](const Symbol& a, const Symbol& b) { return a.value < b.value; });
    return true;
}

bool ElfSymbols::loadFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            ok = load(static_cast<const unsigned char*>(map), static_cast<size_t>(st.st_size));
            munmap(map, static_cast<size_t>(st.st_size));
        }
    }
    close(fd);
    return ok;
}

std::string ElfSymbols::lookup(uint64_t returnAddress) const {
    // A return address points after its call: the call is one byte before.
    uint64_t vaddr = returnAddress - 1;
    auto it = std::upper_bound(_symbols.begin(), _symbols.end(), vaddr,
                               [](uint64_t v, const Symbol& s) { return v < s.value; });
    if (it == _symbols.begin()) return "";
    --it;
    // Aliases share an address; a sized one that covers vaddr wins.
    if (it->size != 0 && vaddr >= it->value + it->size) return "";
    std::string name = it->name;
    int status = 0;
    char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status == 0 && plain != nullptr) name = plain;
    free(plain);
    return name + "+" + hex(returnAddress - it->value);
}

// ---------------------------------------------------------------------------
// Names and the printed report.

MemSymbolizer::MemSymbolizer(const std::vector<MemMapping>& mappings, bool readFiles)
    : _mappings(mappings), _readFiles(readFiles) {}

std::string MemSymbolizer::describe(uint64_t addr) {
    const MemMapping* m = nullptr;
    for (const MemMapping& candidate : _mappings)
        if (candidate.start <= addr && addr < candidate.end) m = &candidate;
    if (m == nullptr) return hex(addr);
    ElfSymbols& elf = _files[m->path];
    if (!_loaded.count(m->path))
        _loaded[m->path] = _readFiles && !m->path.empty() && m->path[0] == '/' && elf.loadFile(m->path);
    const std::string& where = m->path.empty() ? std::string("[anonymous]") : m->path;
    if (!_loaded[m->path]) return hex(addr) + " " + where + "+" + hex(addr - m->start);
    // The mapping starts at the executable segment.
    uint64_t vaddr = addr - m->start + elf.execBase();
    std::string name = elf.lookup(vaddr);
    if (name.empty()) return hex(addr) + " " + where + "+" + hex(vaddr);
    return hex(addr) + " " + name + " (" + where + ")";
}

std::string formatMemReport(const MemReport& report, MemSymbolizer& symbols) {
    struct Group {
        int stack;
        uint64_t blocks = 0, bytes = 0;
    };
    std::map<int, Group> groups;
    uint64_t bytes = 0;
    for (const auto& entry : report.outstanding()) {
        Group& g = groups[entry.second.stack];
        g.stack = entry.second.stack;
        g.blocks++;
        g.bytes += entry.second.size;
        bytes += entry.second.size;
    }
    std::vector<Group> order;
    for (const auto& entry : groups) order.push_back(entry.second);
    std::stable_sort(order.begin(), order.end(), [](const Group& a, const Group& b) {
        return a.bytes != b.bytes ? a.bytes > b.bytes : a.blocks > b.blocks;
    });

    std::string out;
    char line[256];
    snprintf(line, sizeof(line),
             "%llu allocations, %llu releases (%llu of blocks allocated before the report began)\n"
             "outstanding: %zu blocks, %llu bytes, from %zu stacks; guard violations: %zu\n",
             static_cast<unsigned long long>(report.allocations()),
             static_cast<unsigned long long>(report.releases()),
             static_cast<unsigned long long>(report.unknownReleases()), report.outstanding().size(),
             static_cast<unsigned long long>(bytes), order.size(), report.violations().size());
    out += line;
    auto printStack = [&](int index) {
        const MemStack& stack = report.stacks()[static_cast<size_t>(index)];
        if (stack.empty()) out += "    (no frames)\n";
        for (size_t i = 0; i < stack.size(); i++)
            out += "    #" + std::to_string(i) + " " + symbols.describe(stack[i]) + "\n";
    };
    for (const Group& g : order) {
        snprintf(line, sizeof(line), "\n%llu bytes in %llu blocks outstanding, allocated at:\n",
                 static_cast<unsigned long long>(g.bytes), static_cast<unsigned long long>(g.blocks));
        out += line;
        printStack(g.stack);
    }
    for (const MemReport::Violation& v : report.violations()) {
        out += "\nguard violation: " + v.text + "\n";
        printStack(v.stack);
    }
    return out;
}
