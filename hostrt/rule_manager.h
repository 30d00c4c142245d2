// libdravika-rt (hostrt/), the host runtime library that modules build
// against: the host's rule-engine base classes. The stand-in keeps them
// minimal: the rule engine itself is the real host's business, the module
// only derives.
#ifndef DRV_HOSTRT_RULE_MANAGER_H
#define DRV_HOSTRT_RULE_MANAGER_H

class ManagedObject;
class ManagedObjectManager;

class DomainContext {
public:
    explicit DomainContext(const char* domain);
    ~DomainContext();
    DomainContext(const DomainContext&) = delete;
    DomainContext& operator=(const DomainContext&) = delete;

    const char* getDomain() const { return _domain; }

private:
    char* _domain;
};

class Rule {
public:
    explicit Rule(const char* name);
    ~Rule();
    Rule(const Rule&) = delete;
    Rule& operator=(const Rule&) = delete;

    const char* getName() const { return _name; }

private:
    char* _name;
};

// The rules that apply to one managed object, in order of precedence.
class RuleStack {
public:
    RuleStack();
    ~RuleStack();
    RuleStack(const RuleStack&) = delete;
    RuleStack& operator=(const RuleStack&) = delete;

    // Does not take ownership.
    void push(Rule* rule);
    int size() const { return _count; }
    Rule* get(int i) const { return i >= 0 && i < _count ? _rules[i] : nullptr; }

private:
    Rule** _rules;
    int _count;
};

class RuleManager;

class Monitor {
public:
    Monitor(RuleManager* manager, ManagedObject* object, RuleStack* stack);
    virtual ~Monitor();
    virtual void updateStates() = 0;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    RuleManager* getRuleManager() const { return _manager; }
    ManagedObject* getObject() const { return _object; }
    RuleStack* getRuleStack() const { return _stack; }

private:
    RuleManager* _manager;
    ManagedObject* _object;
    RuleStack* _stack;
};

class InstanceMonitor {
public:
    InstanceMonitor(DomainContext* context, Rule* rule);
    virtual ~InstanceMonitor();
    virtual void update(int reason) = 0;
    InstanceMonitor(const InstanceMonitor&) = delete;
    InstanceMonitor& operator=(const InstanceMonitor&) = delete;

    DomainContext* getDomainContext() const { return _context; }
    Rule* getRule() const { return _rule; }

private:
    DomainContext* _context;
    Rule* _rule;
};

class RuleManager {
public:
    RuleManager(DomainContext* context, ManagedObjectManager* manager);
    virtual ~RuleManager();
    virtual Monitor* createMonitor(DomainContext* context, ManagedObject* object, RuleStack* stack) = 0;
    virtual InstanceMonitor* createInstanceMonitor(DomainContext* context, Rule* rule) = 0;
    // Whether a rule applies to an object; the base says no.
    virtual bool isInstanceMatch(Rule* rule, ManagedObject* object);
    virtual void notifyDataChanged(ManagedObject* object);
    virtual void notifyRulesChanged();
    // Does nothing.
    virtual void updateGlobalStates();
    // False.
    virtual bool hasGlobalRules();
    RuleManager(const RuleManager&) = delete;
    RuleManager& operator=(const RuleManager&) = delete;

    DomainContext* getDomainContext() const { return _context; }
    ManagedObjectManager* getManager() const { return _manager; }
    // How often the host told this manager that data or rules changed.
    int getDataChanges() const { return _dataChanges; }
    int getRuleChanges() const { return _ruleChanges; }

private:
    DomainContext* _context;
    ManagedObjectManager* _manager;
    int _dataChanges;
    int _ruleChanges;
};

#endif
