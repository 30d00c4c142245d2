// Registry: a process-wide list of named objects (providers registered under
// a domain name, for instance), separate from the translator registry. It is
// filled during start-up and read without locks afterwards.
#ifndef DRV_DIRBASE_REGISTRY_H
#define DRV_DIRBASE_REGISTRY_H

class Registry {
public:
    // Adds (a copy of) name and obj at the head.
    static void registerObject(const char* name, void* obj);
    // The object of the first pair with that name, or null.
    static void* getObject(const char* name);
    // Removes every pair that holds obj.
    static void unregisterObject(void* obj);

private:
    struct Entry {
        char* name;
        void* object;
        Entry* next;
    };
    static Entry* _registry;
};

#endif
