// Registry: the process-wide list of named objects (separate from the
// translator registry). Local directory providers are registered here under
// a name N and reached through objects of class "D" + N.
//
// Ownership: the registry copies names and never owns the objects.
//
// Thread-safety: filled during start-up, before other threads use it; a lock
// keeps late registrations (tests, modules loaded later) safe as well.
#ifndef DRV_DIRBASE_REGISTRY_H
#define DRV_DIRBASE_REGISTRY_H

class Registry {
public:
    // Adds (name, object) at the head; the name is duplicated.
    static void registerObject(const char* name, void* object);
    // The object of the first pair with that name, or null.
    static void* getObject(const char* name);
    // Removes every pair that holds object.
    static void unregisterObject(void* object);
};

#endif
