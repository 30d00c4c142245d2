// What drvhost shows beside the module's rows: each interface's operational
// state and its packet, error and drop rates, read from /sys/class/net
// through the runtime's root prefix, and the memory of earlier scans that
// says why an interface has no rate yet. The module's rows stay what they
// are; this is the host stand-in's own view of the same interfaces.
//
// Not thread-safe: the thread that samples owns its InterfaceStats.
#ifndef DRV_HOST_INTERFACE_STATS_H
#define DRV_HOST_INTERFACE_STATS_H

#include <map>
#include <string>
#include <vector>

// XX(name): the counter files under statistics/, in the order they are shown.
#define DRV_INTERFACE_COUNTERS(XX) \
    XX(rx_packets)                 \
    XX(tx_packets)                 \
    XX(rx_errors)                  \
    XX(tx_errors)                  \
    XX(rx_dropped)                 \
    XX(tx_dropped)

enum InterfaceCounter {
#define DRV_COUNTER_ENUMERATOR(name) COUNTER_##name,
    DRV_INTERFACE_COUNTERS(DRV_COUNTER_ENUMERATOR)
#undef DRV_COUNTER_ENUMERATOR
    kInterfaceCounterCount
};

// The counter's file name under statistics/, which is also its JSON key stem.
const char* interfaceCounterName(int counter);

// The kernel's operstate, reduced to what a reader of the table needs:
// "down", "lowerlayerdown" and "notpresent" are down, "up" is up, and
// everything else ("unknown", "dormant", "testing", no file) is unknown.
enum class LinkState { kUnknown, kUp, kDown };
LinkState parseOperState(const char* text);
const char* linkStateName(LinkState state);

struct InterfaceInfo {
    std::string name;
    LinkState link = LinkState::kUnknown;
    // Scans that have seen the interface, this one included.
    long scans = 0;
    // The transmit byte counter at the previous scan was 0, which is what
    // keeps the module from giving the interface a rate.
    bool noTransmitBefore = false;
    // Rates per second of the counters above, from the second scan on.
    bool hasRates = false;
    double rates[kInterfaceCounterCount] = {};
};

class InterfaceStats {
public:
    // Reads every interface under /sys/class/net (with the module's rule:
    // names starting with "." or "vmnet" are not interfaces). nowMs is a
    // monotonic clock in milliseconds.
    void scan(long long nowMs);

    // The interfaces of the latest scan, in directory order.
    const std::vector<InterfaceInfo>& interfaces() const { return _interfaces; }
    // The latest scan's entry for name, or null.
    const InterfaceInfo* find(const char* name) const;

private:
    struct Previous {
        long scans = 0;
        long long atMs = 0;
        long long transmitBytes = 0;
        long long counters[kInterfaceCounterCount] = {};
    };

    std::vector<InterfaceInfo> _interfaces;
    std::map<std::string, Previous> _previous;
};

#endif
