#include "module/net_object.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include "common/os.h"
#include "common/stats.h"

namespace {

const char* const kNetClassDir = "/sys/class/net";

// Opens a sysfs file of an interface. The stream reads into the caller's
// small buffer: sysfs values are one short line, and the stream then needs
// neither a heap buffer nor the fstat that sizing one costs.
FILE* openInterfaceFile(const char* format, const char* name, char* buffer, size_t size) {
    char path[512];
    snprintf(path, sizeof(path), format, name);
    FILE* f = fopen(path, "r");
    if (f != nullptr) setvbuf(f, buffer, _IOFBF, size);
    return f;
}

// One number from a sysfs file; 0 when the file is missing or holds no number.
int readInt(const char* format, const char* name) {
    char buffer[64];
    FILE* f = openInterfaceFile(format, name, buffer, sizeof(buffer));
    if (f == nullptr) return 0;
    int value = 0;
    if (fscanf(f, "%d", &value) != 1) value = 0;
    fclose(f);
    return value;
}

long long readCounter(const char* format, const char* name) {
    char buffer[64];
    FILE* f = openInterfaceFile(format, name, buffer, sizeof(buffer));
    if (f == nullptr) return 0;
    long long value = 0;
    if (fscanf(f, "%lld", &value) != 1) value = 0;
    fclose(f);
    return value;
}

// (now - before) * 8 / elapsed: bits per millisecond, that is kbit/s. A
// counter that jumps by more than 2^60 (a driver printing all ones, a
// reset to a huge value) must not overflow, so the product is taken in 128
// bits and the rate held within 64.
long long kbitPerSecond(long long now, long long before, long long elapsed) {
    __int128 rate = (static_cast<__int128>(now) - before) * 8 / elapsed;
    if (rate > LLONG_MAX) return LLONG_MAX;
    if (rate < LLONG_MIN) return LLONG_MIN;
    return static_cast<long long>(rate);
}

long long nowMillis() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

}  // namespace

NetObject::NetObject(const char* name)
    : name(strdup(name)), lastReceiveBytes(0), lastTransmitBytes(0), lastSampleTime(0) {}

NetObject::~NetObject() {
    free(name);
}

const char* NetObject::getName() const {
    return name;
}

NetObjectManager::NetObjectManager() : ManagedObjectManager("Network"), _lastFound(nullptr) {}

NetObjectManager::~NetObjectManager() {}

RuleManager* NetObjectManager::createRuleManager(DomainContext* context, ManagedObjectManager* manager) {
    return new NetRuleManager(context, manager);
}

NetObject* NetObjectManager::findObject(const char* name) {
    // The directory lists interfaces in the same order on every pass, so the
    // walk starts after the object found last and wraps around: the usual
    // lookup compares one name instead of half the list.
    ManagedObject* start = _lastFound != nullptr ? _lastFound->next : nullptr;
    for (ManagedObject* o = start; o != nullptr; o = o->next)
        if (strcmp(static_cast<NetObject*>(o)->name, name) == 0) return found(o);
    for (ManagedObject* o = getFirstObject(); o != start; o = o->next)
        if (strcmp(static_cast<NetObject*>(o)->name, name) == 0) return found(o);
    return nullptr;
}

NetObject* NetObjectManager::found(ManagedObject* object) {
    _lastFound = object;
    return static_cast<NetObject*>(object);
}

int NetObjectManager::collectData(StatEntry* entry) {
    // The directory goes through the root prefix; the interface files below
    // are read on their plain paths.
    DIR* dir = s_opendir(kNetClassDir, true);
    if (dir == nullptr) return 0;
    // The host owns the list and may have dropped objects since the last
    // pass, so the walk's starting point is not kept across passes.
    _lastFound = nullptr;

    struct dirent slot;
    struct dirent* d;
    while (s_readdir_r(dir, &slot, &d) == 0 && d != nullptr) {
        if (d->d_name[0] == '.' || strncmp(d->d_name, "vmnet", 5) == 0) continue;

        NetObject* object = findObject(d->d_name);
        if (object != nullptr) {
            object->present = 1;
            object->absent = 0;
        } else {
            object = new NetObject(d->d_name);
            addObject(object);
            found(object);
        }

        long long speed = readInt("/sys/class/net/%s/speed", d->d_name) * 1000LL;
        long long receive = readCounter("/sys/class/net/%s/statistics/rx_bytes", d->d_name);
        long long transmit = readCounter("/sys/class/net/%s/statistics/tx_bytes", d->d_name);
        long long now = nowMillis();

        long long previousReceive = object->lastReceiveBytes;
        long long previousTransmit = object->lastTransmitBytes;
        long long previousTime = object->lastSampleTime;
        object->lastReceiveBytes = receive;
        object->lastTransmitBytes = transmit;
        object->lastSampleTime = now;

        if (previousTransmit == 0 || entry == nullptr) continue;
        long long elapsed = now - previousTime;
        // Two passes within one millisecond have no rate to report.
        if (elapsed == 0) continue;

        long long transmitRate = kbitPerSecond(transmit, previousTransmit, elapsed);
        long long receiveRate = kbitPerSecond(receive, previousReceive, elapsed);
        StatData** series = StatData::createSeriesArray(3, StatData::makeInt64(speed), StatData::makeInt64(receiveRate),
                                                        StatData::makeInt64(transmitRate));
        entry->addRow(new StatRow(NET_STATS_CLASS_ID, 0, d->d_name, series));
    }
    closedir(dir);
    return 0;
}

NetRuleManager::NetRuleManager(DomainContext* context, ManagedObjectManager* manager) : RuleManager(context, manager) {}

NetRuleManager::~NetRuleManager() {}

Monitor* NetRuleManager::createMonitor(DomainContext*, ManagedObject* object, RuleStack* stack) {
    return new NetMonitor(this, object, stack);
}

InstanceMonitor* NetRuleManager::createInstanceMonitor(DomainContext* context, Rule* rule) {
    return new NetInstanceMonitor(context, rule);
}

NetMonitor::NetMonitor(RuleManager* manager, ManagedObject* object, RuleStack* stack)
    : Monitor(manager, object, stack) {}

NetMonitor::~NetMonitor() {}

void NetMonitor::updateStates() {}

NetInstanceMonitor::NetInstanceMonitor(DomainContext* context, Rule* rule) : InstanceMonitor(context, rule) {}

NetInstanceMonitor::~NetInstanceMonitor() {}

void NetInstanceMonitor::update(int) {}
