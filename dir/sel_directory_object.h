// What scripts see of the directory.
//
// SelDirectoryObject: one directory object, by name. Its members
// "getAttributes" and "getAcl" give the object's attribute set and access
// list (a value handed in at construction the first time, the directory's
// synchronous operation afterwards); any other member name runs as an
// operation on the object through Directory::execute, the script waiting
// for the result (the execution thread ends a request that passes its
// time-out with 13). Its field "name" is the name's text.
//
// SelDirectory: the directory itself, given to scripts as a global object:
// lookup(name) resolves a name and answers its SelDirectoryObject (or the
// resolution's error), list(name) the classes below an object as an array
// of strings, search(name [, attributes]) the matching objects as an array
// of {"name": entry text, "attributes": {...}}.
//
// Both classes register themselves in the script class registry
// (dir_registerScriptClasses); the scripting library knows nothing of the
// directory.
//
// Ownership: a SelDirectoryObject owns its name and whatever pre-fetched
// values it still holds; neither class owns the Directory, which must
// outlive every script that uses it.
// Thread-safety: used by the thread that runs the script; the Directory's
// operations are themselves thread-safe.
#ifndef DRV_DIR_SEL_DIRECTORY_OBJECT_H
#define DRV_DIR_SEL_DIRECTORY_OBJECT_H

#include "dirbase/translatable.h"

class Acl;
class Attributes;
class Directory;
class DirName;

const unsigned int OBJ_SELDIRECTORYOBJECT_ID = 9310;
const unsigned int OBJ_SELDIRECTORY_ID = 9311;

class SelDirectoryObject : public Translatable {
public:
    // Takes ownership of name, attributes and acl (both may be null).
    SelDirectoryObject(Directory* directory, DirName* name, Attributes* attributes = nullptr, Acl* acl = nullptr);
    ~SelDirectoryObject() override;
    SelDirectoryObject(const SelDirectoryObject&) = delete;
    SelDirectoryObject& operator=(const SelDirectoryObject&) = delete;

    // The scripting type name, "SelDirectoryObject".
    const char* getObjectType() const;

    int getField(Parser* parser, Any** result, const char* name) const override;
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_SELDIRECTORYOBJECT_ID; }

    // The member calls (the prototype forwards here).
    int callMember(Parser* parser, Any** result, const char* name, Any** args);

    Directory* directory;
    DirName* name;

private:
    Attributes* _attributes;
    Acl* _acl;
};

class SelDirectory : public Translatable {
public:
    explicit SelDirectory(Directory* directory);

    int callMember(Parser* parser, Any** result, const char* name, Any** args);
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_SELDIRECTORY_ID; }

    Directory* directory;
};

// Registers both classes with the script registry; idempotent.
void dir_registerScriptClasses();

#endif
