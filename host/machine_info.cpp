#include "host/machine_info.h"

#include <limits.h>
#include <string.h>
#include <time.h>

#include <set>
#include <string>
#include <vector>

namespace {

const int kColumns = 7;
typedef std::vector<std::string> Row;

std::string number(long long value) {
    char text[32];
    s_format_number(text, sizeof(text), value);
    return text;
}

// The sizes are what the file system reports, and a FUSE file system may
// report anything: the arithmetic on them is done in 128 bits, and what is
// shown held within 64.
long long clampKb(__int128 kb) {
    if (kb > LLONG_MAX) return LLONG_MAX;
    if (kb < LLONG_MIN) return LLONG_MIN;
    return static_cast<long long>(kb);
}

__int128 usedKb(const DrvFsEntry* e) {
    return static_cast<__int128>(e->totalKb) - e->freeKb;
}

// Used share the way df computes it: of the space a user can have, rounded up.
std::string usePercent(const DrvFsEntry* e) {
    __int128 used = usedKb(e);
    __int128 usable = used + e->availKb;
    if (usable <= 0) return "-";
    return std::to_string(clampKb((used * 100 + usable - 1) / usable)) + "%";
}

void printRows(FILE* out, const std::vector<Row>& rows) {
    // Text columns are left-aligned, numbers right-aligned, like df.
    static const bool kRight[kColumns] = {false, false, true, true, true, true, false};
    size_t width[kColumns] = {};
    for (const Row& row : rows)
        for (int c = 0; c < kColumns; c++) width[c] = std::max(width[c], row[c].size());
    for (const Row& row : rows) {
        // The first column is the one-character watch mark.
        fprintf(out, "%s ", row[kColumns].c_str());
        for (int c = 0; c < kColumns; c++) {
            int w = static_cast<int>(width[c]);
            if (c == kColumns - 1)
                fprintf(out, "%s\n", row[c].c_str());
            else
                fprintf(out, kRight[c] ? "%*s  " : "%-*s  ", w, row[c].c_str());
        }
    }
}

}  // namespace

void gatherMachineFacts(MachineFacts* facts) {
    memset(facts, 0, sizeof(*facts));
    char flag;
    s_get_os_info(facts->sysname, facts->release, facts->version, facts->machine, facts->distro, &facts->memory,
                  &facts->bootTime, &flag, &facts->cpus);
    if (s_gethostname(facts->hostName, sizeof(facts->hostName)) != 0) facts->hostName[0] = '\0';
    if (getFirstMac(facts->mac) != 0) facts->mac[0] = '\0';
}

void printMachineFacts(FILE* out, const MachineFacts& facts) {
    fprintf(out, "Machine\n");
    fprintf(out, "  system        %s %s (%s)\n", facts.sysname, facts.release, facts.machine);
    fprintf(out, "  build         %s\n", facts.version);
    fprintf(out, "  distribution  %s\n",
            facts.distro[0] != '\0' ? facts.distro : "(neither /etc/redhat-release nor /etc/lsb-release names one)");
    fprintf(out, "  host name     %s\n", facts.hostName[0] != '\0' ? facts.hostName : "(unknown)");
    fprintf(out, "  first MAC     %s\n",
            facts.mac[0] != '\0' ? facts.mac : "(none: no interface with a routable IPv4 address)");
    fprintf(out, "  processors    %d\n", facts.cpus);
    fprintf(out, "  memory        %s bytes\n", number(facts.memory).c_str());
    if (facts.bootTime > 0) {
        time_t boot = static_cast<time_t>(facts.bootTime);
        struct tm local;
        localtime_r(&boot, &local);
        char when[64];
        strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S %Z", &local);
        fprintf(out, "  booted        %s\n", when);
    } else {
        fprintf(out, "  booted        (unknown)\n");
    }
}

void printFileSystems(FILE* out, const DrvFsEntry* list) {
    fprintf(out, "File systems (sizes in kB; * = watched by the agent)\n");
    std::vector<Row> rows;
    rows.push_back(Row{"Filesystem", "Type", "Size", "Used", "Available", "Use%", "Mounted on", " "});
    std::set<std::string> spaceless;
    int hidden = 0;
    for (const DrvFsEntry* e = list; e != nullptr; e = e->next) {
        const char* type = e->type != nullptr ? e->type : "";
        // Pseudo file systems (proc, sysfs, cgroup...) have no space to show.
        if (e->totalKb <= 0) {
            spaceless.insert(type);
            hidden++;
            continue;
        }
        rows.push_back(Row{e->device != nullptr ? e->device : "", type, number(e->totalKb),
                           number(clampKb(usedKb(e))), number(e->availKb), usePercent(e),
                           e->mountPoint != nullptr ? e->mountPoint : "", s_fsOk(type) ? "*" : " "});
    }
    printRows(out, rows);
    if (hidden > 0) {
        std::string types;
        for (const std::string& t : spaceless) types += (types.empty() ? "" : ", ") + t;
        fprintf(out, "  (%d more without space not shown: %s)\n", hidden, types.c_str());
    }
}

int printMachineInfo(FILE* out) {
    MachineFacts facts;
    gatherMachineFacts(&facts);
    printMachineFacts(out, facts);
    fprintf(out, "\n");
    DrvFsEntry* list = s_getfsstat();
    if (list == nullptr) {
        fprintf(out, "File systems\n  (unable to read /etc/mtab)\n");
        return 1;
    }
    printFileSystems(out, list);
    s_free_fsstat(list);
    return 0;
}
