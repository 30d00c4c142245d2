// The process-wide class registry of the scripting language: class names
// and aliases per object id, their prototypes and member lists, and the
// fixed member-name table. Parser's registry operations are thin wrappers
// over these; the value layer reaches them through _scriptTypeHooks.
//
// Filled at start-up (writes serialised by a lock of their own) and only
// read once scripts run, so reads take no lock.
#ifndef DRV_SCRIPT_REGISTRY_H
#define DRV_SCRIPT_REGISTRY_H

#include <stdint.h>

#include <atomic>

#include "dirbase/translatable.h"

class Any;

namespace ScriptRegistry {

// 0, or 33 when the name is already registered under another id. The
// registry counts prototype for the life of the process; a prototype it
// does not keep (a repeated or refused name) is released.
int add(int objectId, const char* name, Translatable* prototype, bool alias);
int addAlias(const char* existing, const char* alias, Translatable* prototype);
int setMembers(const char* name, const int* memberIds);
// Forgets every class (tests).
void clear();

// The prototype of the non-alias class of that id, or null.
Translatable* prototypeOf(unsigned int objectId);
// The prototype registered under name (alias or not), or null.
Translatable* classNamed(const char* name);
// The registered name of the non-alias class of that id, or null.
const char* nameOf(unsigned int objectId);
// Itself when object is a prototype, else the prototype of its id.
Translatable* prototypeFor(const Translatable* object);
// Whether the class answering for object lists a member of that name.
bool hasMember(const Translatable* object, const char* name);
// Whether any class is registered (a fast "no" for lookups).
bool empty();
// False when no class is registered under a name of that hash
// (VarSet::nameHash), so an identifier with it denotes a variable and not a
// prototype; true means "perhaps" and sends the caller down the general path.
// (Asked for every variable read, so inline: one bit per bucket of names.)
const uint32_t kNameBuckets = 1024;
extern std::atomic<uint64_t> classNameBits[kNameBuckets / 64];
inline bool mayNameClass(uint32_t nameHash) {
    uint32_t bucket = nameHash % kNameBuckets;
    return (classNameBits[bucket / 64].load(std::memory_order_relaxed) >> (bucket % 64)) & 1;
}

// The member-name table (id 0 "toString" ... 84 "toTimestamp"); null beyond.
const char* memberName(int id);

}  // namespace ScriptRegistry

// Installs the value layer's hooks (prototypes, class names, assignable
// values). Idempotent.
void script_installHooks();

#endif
