#include "host/interface_stats.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include "common/os.h"

namespace {

const char* const kCounterNames[] = {
#define DRV_COUNTER_NAME(name) #name,
    DRV_INTERFACE_COUNTERS(DRV_COUNTER_NAME)
#undef DRV_COUNTER_NAME
};

// The first line of /sys/class/net/<name>/<file>, through the root prefix;
// false when the file cannot be read.
bool readLine(const char* name, const char* file, char* out, size_t len) {
    char path[512];
    snprintf(path, sizeof(path), "/sys/class/net/%s/%s", name, file);
    FILE* f = s_fopen(path, "r");
    if (f == nullptr) return false;
    bool ok = fgets(out, static_cast<int>(len), f) != nullptr;
    fclose(f);
    if (ok) out[strcspn(out, "\n")] = '\0';
    return ok;
}

// A counter file's value; 0 when it is missing or not a number, as the
// module reads its byte counters.
long long readCounter(const char* name, const char* file) {
    char text[64];
    long long value = 0;
    if (!readLine(name, file, text, sizeof(text)) || sscanf(text, "%lld", &value) != 1) return 0;
    return value;
}

}  // namespace

const char* interfaceCounterName(int counter) {
    return counter >= 0 && counter < kInterfaceCounterCount ? kCounterNames[counter] : "?";
}

LinkState parseOperState(const char* text) {
    if (strcmp(text, "up") == 0) return LinkState::kUp;
    if (strcmp(text, "down") == 0 || strcmp(text, "lowerlayerdown") == 0 || strcmp(text, "notpresent") == 0)
        return LinkState::kDown;
    return LinkState::kUnknown;
}

const char* linkStateName(LinkState state) {
    switch (state) {
    case LinkState::kUp: return "up";
    case LinkState::kDown: return "down";
    case LinkState::kUnknown: break;
    }
    return "unknown";
}

void InterfaceStats::scan(long long nowMs) {
    _interfaces.clear();
    std::map<std::string, Previous> seen;
    DIR* dir = s_opendir("/sys/class/net", true);
    if (dir != nullptr) {
        struct dirent* d;
        while ((d = readdir(dir)) != nullptr) {
            if (d->d_name[0] == '.' || strncmp(d->d_name, "vmnet", 5) == 0) continue;
            InterfaceInfo info;
            info.name = d->d_name;
            char state[64];
            if (readLine(d->d_name, "operstate", state, sizeof(state))) info.link = parseOperState(state);

            Previous now;
            now.atMs = nowMs;
            now.transmitBytes = readCounter(d->d_name, "statistics/tx_bytes");
            for (int c = 0; c < kInterfaceCounterCount; c++) {
                char file[64];
                snprintf(file, sizeof(file), "statistics/%s", kCounterNames[c]);
                now.counters[c] = readCounter(d->d_name, file);
            }

            auto before = _previous.find(info.name);
            if (before != _previous.end()) {
                const Previous& p = before->second;
                now.scans = p.scans;
                info.noTransmitBefore = p.transmitBytes == 0;
                long long elapsed = nowMs - p.atMs;
                if (elapsed > 0) {
                    info.hasRates = true;
                    // In floating point: counters read from files may be
                    // anything, and their difference may not fit 64 bits.
                    for (int c = 0; c < kInterfaceCounterCount; c++)
                        info.rates[c] = (static_cast<double>(now.counters[c]) - static_cast<double>(p.counters[c])) *
                                        1000.0 / static_cast<double>(elapsed);
                }
            }
            now.scans++;
            info.scans = now.scans;
            seen[info.name] = now;
            _interfaces.push_back(info);
        }
        closedir(dir);
    }
    // An interface that went away starts again as new when it comes back.
    _previous.swap(seen);
}

const InterfaceInfo* InterfaceStats::find(const char* name) const {
    for (const InterfaceInfo& i : _interfaces)
        if (i.name == name) return &i;
    return nullptr;
}
