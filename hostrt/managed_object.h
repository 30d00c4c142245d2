// libdravika-rt (hostrt/), the host runtime library that modules build
// against: the host's managed-object base classes. A ManagedObjectManager
// owns a list of ManagedObjects and is asked by the host to collect their data.
#ifndef DRV_HOSTRT_MANAGED_OBJECT_H
#define DRV_HOSTRT_MANAGED_OBJECT_H

class DomainContext;
class RuleManager;
class StatEntry;

class ManagedObject {
public:
    ManagedObject();
    virtual ~ManagedObject();
    ManagedObject(const ManagedObject&) = delete;
    ManagedObject& operator=(const ManagedObject&) = delete;

    ManagedObject* getNext() const { return next; }

    // The next object in the manager's list.
    ManagedObject* next;
    // The host's present-in-this-scan marking. Before each collection the
    // host clears present and sets absent on every object of the manager;
    // the manager sets present to 1 and absent to 0 on every object its scan
    // finds, and addObject marks a new one the same way. What a scan did not
    // find is left present 0, absent 1.
    unsigned char present;
    unsigned char absent;
};

class ManagedObjectManager {
public:
    explicit ManagedObjectManager(const char* name);

    // Host events addressed to the manager; the base ignores them and returns 0.
    virtual int handleEvent(int event, ManagedObject* object);
    virtual ~ManagedObjectManager();
    virtual RuleManager* createRuleManager(DomainContext* context, ManagedObjectManager* manager) = 0;
    virtual void notifyNewDomainContext(DomainContext* context);
    // Collection without a statistics entry: the base does nothing.
    virtual int collectData();
    virtual int collectData(StatEntry* entry) = 0;
    // The rule class that applies to all objects, or null (the base).
    virtual const char* getGlobalRuleClass();

    ManagedObjectManager(const ManagedObjectManager&) = delete;
    ManagedObjectManager& operator=(const ManagedObjectManager&) = delete;

    const char* getName() const { return _name; }
    ManagedObject* getFirstObject() const { return _first; }
    int getObjectCount() const { return _count; }
    // Takes ownership and links the object at the end of the list, marked
    // present: a manager adds what its scan found. A null object is ignored.
    void addObject(ManagedObject* object);
    // Marks every object not present, ahead of a scan that marks the ones it
    // finds; the host calls it before each collection.
    void clearPresence();
    // The domain contexts the host announced, newest last (for inspection).
    DomainContext* getLastDomainContext() const { return _lastContext; }

private:
    char* _name;
    ManagedObject* _first;
    ManagedObject* _last;
    int _count;
    DomainContext* _lastContext;
};

#endif
