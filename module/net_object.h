// The "Network" managed-object manager: one managed object per network
// interface, sampled from /sys/class/net into speed, receive-rate and
// transmit-rate statistics rows.
#ifndef DRV_MODULE_NET_OBJECT_H
#define DRV_MODULE_NET_OBJECT_H

#include "hostrt/managed_object.h"
#include "hostrt/rule_manager.h"

// Class id of the network statistics rows.
const long long NET_STATS_CLASS_ID = 30;

class NetObject : public ManagedObject {
public:
    // Copies the name; the sample fields start at zero.
    explicit NetObject(const char* name);
    ~NetObject() override;
    virtual const char* getName() const;

    char* name;
    long long lastReceiveBytes;
    long long lastTransmitBytes;
    long long lastSampleTime;  // ms since the epoch
};

class NetObjectManager : public ManagedObjectManager {
public:
    NetObjectManager();
    ~NetObjectManager() override;
    RuleManager* createRuleManager(DomainContext* context, ManagedObjectManager* manager) override;
    using ManagedObjectManager::collectData;
    // Scans the interfaces, creates objects for new ones, updates the samples
    // and, when entry is not null, adds a row per interface with a previous
    // sample. Always 0.
    int collectData(StatEntry* entry) override;

private:
    // The object of that interface, or null.
    NetObject* findObject(const char* name);
    // Remembers where the last lookup ended.
    NetObject* found(ManagedObject* object);

    ManagedObject* _lastFound;
};

class NetRuleManager : public RuleManager {
public:
    NetRuleManager(DomainContext* context, ManagedObjectManager* manager);
    ~NetRuleManager() override;
    Monitor* createMonitor(DomainContext* context, ManagedObject* object, RuleStack* stack) override;
    InstanceMonitor* createInstanceMonitor(DomainContext* context, Rule* rule) override;
};

class NetMonitor : public Monitor {
public:
    NetMonitor(RuleManager* manager, ManagedObject* object, RuleStack* stack);
    ~NetMonitor() override;
    void updateStates() override;
};

class NetInstanceMonitor : public InstanceMonitor {
public:
    NetInstanceMonitor(DomainContext* context, Rule* rule);
    ~NetInstanceMonitor() override;
    void update(int reason) override;
};

#endif
