#include "host/sample_table.h"

#include <fnmatch.h>
#include <string.h>
#include <time.h>

#include "common/stats.h"

namespace {

// Class id of the rows that network adapter managers produce.
const long long kNetworkRowClass = 30;

// Why an interface of the latest scan has no row: the module gives a rate
// from an interface's second sample on, and only when the transmit counter
// it saw before was not 0.
const char* noRateReason(const InterfaceInfo& i) {
    if (i.scans <= 1) return "first sample";
    if (i.noTransmitBefore) return "no transmit traffic";
    return "no row from the module";
}

bool isNetworkRow(const StatRow* row) {
    return row->cls == kNetworkRowClass && row->seriesCount() >= 3;
}

bool hasRow(const StatEntry* entry, const std::string& name) {
    for (int i = 0; i < entry->count; i++)
        if (isNetworkRow(entry->rows[i]) && name == entry->rows[i]->label) return true;
    return false;
}

// The selected interfaces of the latest scan that have no row.
std::vector<const InterfaceInfo*> withoutRate(const StatEntry* entry, const InterfaceStats& interfaces,
                                              const InterfaceFilter& filter) {
    std::vector<const InterfaceInfo*> list;
    for (const InterfaceInfo& i : interfaces.interfaces())
        if (filter.selects(i.name.c_str()) && !hasRow(entry, i.name)) list.push_back(&i);
    return list;
}

void clockText(char* out, size_t len, const StatEntry* entry) {
    time_t t = static_cast<time_t>(entry->time);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(out, len, "%H:%M:%S", &tm);
}

// Length of the well-formed UTF-8 sequence at s (1 to 4), or 0 when the
// byte there starts none: a stray continuation byte, an overlong form, a
// surrogate, a value above U+10FFFF, or a sequence cut short. Never reads
// past the terminator.
int utf8SequenceLength(const unsigned char* s) {
    unsigned char c = s[0];
    if (c < 0x80) return 1;
    int length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s[1] < low || s[1] > high) return 0;
    for (int i = 2; i < length; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return length;
}

// Interface names are bytes, and Linux takes any but '/', ':' and blanks,
// while JSON text is UTF-8. A byte that is not part of a UTF-8 character is
// written as the lone surrogate \udcXX (XX the byte), the form in which
// Python's "surrogateescape" hands such bytes back: the line stays JSON, and
// two names that differ only there stay apart.
void printJsonString(FILE* out, const char* text) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    fputc('"', out);
    while (*s != '\0') {
        int length = utf8SequenceLength(s);
        if (length == 0) {
            fprintf(out, "\\udc%02x", *s);
            length = 1;
        } else if (*s == '"' || *s == '\\') {
            fprintf(out, "\\%c", *s);
        } else if (*s < 0x20) {
            fprintf(out, "\\u%04x", *s);
        } else {
            fwrite(s, 1, static_cast<size_t>(length), out);
        }
        s += length;
    }
    fputc('"', out);
}

// An interface name as the table shows it on a terminal: control
// characters (C0, DEL and C1, which could steer the terminal) and bytes
// that are not part of a UTF-8 character as \xNN, a backslash doubled so
// that no name reads as another; everything else as it is.
std::string tableName(const char* text) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    std::string out;
    while (*s != '\0') {
        int length = utf8SequenceLength(s);
        bool control = *s < 0x20 || *s == 0x7f || (*s == 0xc2 && length == 2 && s[1] < 0xa0);
        if (length == 0 || control) {
            if (length == 0) length = 1;
            for (int i = 0; i < length; i++) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", s[i]);
                out += hex;
            }
        } else if (*s == '\\') {
            out += "\\\\";
        } else {
            out.append(reinterpret_cast<const char*>(s), static_cast<size_t>(length));
        }
        s += length;
    }
    return out;
}

void printJsonRates(FILE* out, const InterfaceInfo* info) {
    for (int c = 0; c < kInterfaceCounterCount; c++) {
        fprintf(out, ",\"%s_per_s\":", interfaceCounterName(c));
        if (info != nullptr && info->hasRates)
            fprintf(out, "%.2f", info->rates[c]);
        else
            fputs("null", out);
    }
}

}  // namespace

void formatLinkSpeed(char* out, size_t len, long long kbps, LinkState link) {
    if (link == LinkState::kDown && (kbps == -1000 || kbps == 0))
        snprintf(out, len, "down");
    else if (kbps == -1000 || kbps == 0)
        snprintf(out, len, "unknown");
    else if (kbps % 1000000 == 0)
        snprintf(out, len, "%lld Gbit/s", kbps / 1000000);
    else if (kbps % 1000 == 0)
        snprintf(out, len, "%lld Mbit/s", kbps / 1000);
    else if (kbps < 1000)
        snprintf(out, len, "%lld kbit/s", kbps);
    else
        snprintf(out, len, "%.2f Mbit/s", kbps / 1e3);
}

void formatRate(char* out, size_t len, long long kbps) {
    if (kbps < 0)
        snprintf(out, len, "counter reset");
    else if (kbps < 1000)
        snprintf(out, len, "%.2f kbit/s", static_cast<double>(kbps));
    // The unit is chosen on the value as printed: 999,995 kbit/s rounds to
    // 1000.00 Mbit/s, which reads as 1.00 Gbit/s.
    else if (kbps < 999995)
        snprintf(out, len, "%.2f Mbit/s", kbps / 1e3);
    else
        snprintf(out, len, "%.2f Gbit/s", kbps / 1e6);
}

void formatPerSecond(char* out, size_t len, double perSecond) {
    if (perSecond < 0)
        snprintf(out, len, "counter reset");
    // As for rates: the unit goes by the value as printed.
    else if (perSecond < 999.995)
        snprintf(out, len, "%.2f/s", perSecond);
    else if (perSecond < 999995)
        snprintf(out, len, "%.2fk/s", perSecond / 1e3);
    else
        snprintf(out, len, "%.2fM/s", perSecond / 1e6);
}

bool InterfaceFilter::selects(const char* name) const {
    bool included = include.empty();
    for (const std::string& p : include)
        if (fnmatch(p.c_str(), name, 0) == 0) included = true;
    if (!included) return false;
    for (const std::string& p : exclude)
        if (fnmatch(p.c_str(), name, 0) == 0) return false;
    return true;
}

void printTableHeader(FILE* out) {
    fprintf(out, "%-9s %-16s %12s %14s %14s %11s %11s %11s %11s\n", "time", "interface", "link speed", "receive",
            "transmit", "rx packets", "tx packets", "errors", "drops");
}

void printSampleTable(FILE* out, const StatEntry* entry, const InterfaceStats& interfaces,
                      const InterfaceFilter& filter) {
    char when[16];
    clockText(when, sizeof(when), entry);

    for (int i = 0; i < entry->count; i++) {
        const StatRow* row = entry->rows[i];
        if (!isNetworkRow(row) || !filter.selects(row->label)) continue;
        const InterfaceInfo* info = interfaces.find(row->label);
        char speed[32], receive[32], transmit[32];
        formatLinkSpeed(speed, sizeof(speed), row->series[0]->value.i,
                        info != nullptr ? info->link : LinkState::kUnknown);
        formatRate(receive, sizeof(receive), row->series[1]->value.i);
        formatRate(transmit, sizeof(transmit), row->series[2]->value.i);
        // Errors and drops of both directions together; --json keeps them apart.
        char rxPackets[32] = "-", txPackets[32] = "-", errors[32] = "-", drops[32] = "-";
        if (info != nullptr && info->hasRates) {
            formatPerSecond(rxPackets, sizeof(rxPackets), info->rates[COUNTER_rx_packets]);
            formatPerSecond(txPackets, sizeof(txPackets), info->rates[COUNTER_tx_packets]);
            formatPerSecond(errors, sizeof(errors), info->rates[COUNTER_rx_errors] + info->rates[COUNTER_tx_errors]);
            formatPerSecond(drops, sizeof(drops), info->rates[COUNTER_rx_dropped] + info->rates[COUNTER_tx_dropped]);
        }
        fprintf(out, "%-9s %-16s %12s %14s %14s %11s %11s %11s %11s\n", when, tableName(row->label).c_str(), speed,
                receive, transmit, rxPackets, txPackets, errors, drops);
    }

    // Grouped by reason: "(no rate yet: first sample for lo, eth0; no
    // transmit traffic on ifb0)".
    std::vector<const InterfaceInfo*> quiet = withoutRate(entry, interfaces, filter);
    if (quiet.empty()) return;
    std::string text;
    const char* reasons[] = {"first sample", "no transmit traffic", "no row from the module"};
    const char* joins[] = {" for ", " on ", " for "};
    for (int r = 0; r < 3; r++) {
        std::string names;
        for (const InterfaceInfo* i : quiet)
            if (strcmp(noRateReason(*i), reasons[r]) == 0)
                names += (names.empty() ? "" : ", ") + tableName(i->name.c_str());
        if (names.empty()) continue;
        text += (text.empty() ? "" : "; ") + std::string(reasons[r]) + joins[r] + names;
    }
    fprintf(out, "%-9s (no rate yet: %s)\n", when, text.c_str());
}

void printSampleJson(FILE* out, const StatEntry* entry, const InterfaceStats& interfaces,
                     const InterfaceFilter& filter) {
    for (int i = 0; i < entry->count; i++) {
        const StatRow* row = entry->rows[i];
        if (!isNetworkRow(row) || !filter.selects(row->label)) continue;
        const InterfaceInfo* info = interfaces.find(row->label);
        fprintf(out, "{\"time\":%lld,\"interface\":", static_cast<long long>(entry->time));
        printJsonString(out, row->label);
        fprintf(out, ",\"link\":\"%s\"", linkStateName(info != nullptr ? info->link : LinkState::kUnknown));
        long long speed = row->series[0]->value.i;
        // A speed the kernel does not know (0, -1) is no number a program should add up.
        if (speed > 0)
            fprintf(out, ",\"speed_kbps\":%lld", speed);
        else
            fputs(",\"speed_kbps\":null", out);
        fprintf(out, ",\"receive_kbps\":%lld,\"transmit_kbps\":%lld", row->series[1]->value.i,
                row->series[2]->value.i);
        printJsonRates(out, info);
        fputs("}\n", out);
    }
    for (const InterfaceInfo* i : withoutRate(entry, interfaces, filter)) {
        fprintf(out, "{\"time\":%lld,\"interface\":", static_cast<long long>(entry->time));
        printJsonString(out, i->name.c_str());
        fprintf(out, ",\"link\":\"%s\",\"no_rate\":\"%s\"", linkStateName(i->link), noRateReason(*i));
        printJsonRates(out, i);
        fputs("}\n", out);
    }
}
