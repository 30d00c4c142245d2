// The process-wide class registry: class names and aliases per object id,
// their prototypes and member lists.
//
// Written at start-up by the host (registerObject and friends, under
// _registryLock) and only read once scripts run, so the reads take no lock;
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/error_codes.h"
#include "common/sem.h"
#include "script/native_function.h"
#include "script/parser.h"
#include "script/registry.h"
#include "script/varset.h"

namespace {

const char* const kMemberNames[] = {
    "toString", "isArray", "of", "concat", "charAt", "charCodeAt", "endsWith", "includes", "indexOf", "search",
    "replace", "toLowerCase", "toLocaleLowerCase", "toUpperCase", "toLocaleUpperCase", "fromCodePoint",
    "fromCharCode", "lastIndexOf", "length", "name", "columnNumber", "lineNumber", "fileName", "message", "stack",
    "parse", "stringify", "prototype", "getDate", "getDay", "getFullYear", "getHours", "getMilliseconds",
    "getMinutes", "getMonth", "getSeconds", "getTime", "getTimezoneOffset", "getYear", "now", "today", "tomorrow",
    "yesterday", "toJSON", "toDateString", "toGMTString", "toISOString", "toLocaleDateString", "toLocaleFormat",
    "toLocaleString", "toLocaleTimeString", "toTimeString", "toUTCString", "format", "setDate", "setTime", "abs",
    "acos", "asin", "atan", "atan2", "ceil", "cos", "exp", "floor", "log", "max", "min", "pow", "random", "round",
    "sin", "sqrt", "tan", "isset", "substring", "slice", "join", "split", "startsWith", "levelArray",
    "asCommaString", "toISOStringFileFormat", "toISOStringFileFormatLong", "toTimestamp",
};
const int kMemberCount = static_cast<int>(sizeof(kMemberNames) / sizeof(kMemberNames[0]));

struct ClassEntry {
    int objectId;
    std::string name;
    Translatable* prototype;  // counted for the life of the process
    bool alias;
    std::vector<int> members;
};

// Entries are never freed: prototypes live as long as the process.
std::vector<ClassEntry*>& classes() {
    static auto* list = new std::vector<ClassEntry*>();  // never destroyed: used until exit
    return *list;
}
std::unordered_map<std::string, ClassEntry*>& byName() {
    static auto* map = new std::unordered_map<std::string, ClassEntry*>();
    return *map;
}
std::unordered_map<int, ClassEntry*>& byId() {  // non-alias classes only
    static auto* map = new std::unordered_map<int, ClassEntry*>();
    return *map;
}

CriticalBlock _registryLock;

// One bit per class-name hash bucket, set when a class of a name in that
// bucket is registered. Evaluation tests it on every identifier, so it is
// read without the registry lock; relaxed order is enough because classes
// are registered before scripts that use them start.
const uint32_t kNameBuckets = ScriptRegistry::kNameBuckets;

void noteClassName(const std::string& name) {
    uint32_t bucket = VarSet::nameHash(name.c_str()) % kNameBuckets;
    ScriptRegistry::classNameBits[bucket / 64].fetch_or(uint64_t(1) << (bucket % 64), std::memory_order_relaxed);
}

const char* stripPrefix(const char* name) {
    static const char kPrefix[] = "zephan.wf.var.api.";
    return strncmp(name, kPrefix, sizeof(kPrefix) - 1) == 0 ? name + sizeof(kPrefix) - 1 : name;
}

ClassEntry* lookupName(const char* name) {
    auto& map = byName();
    if (map.empty()) return nullptr;
    auto it = map.find(name);
    return it != map.end() ? it->second : nullptr;
}

}  // namespace

int ScriptRegistry::add(int objectId, const char* name, Translatable* prototype, bool alias) {
    if (name == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    name = stripPrefix(name);
    CriticalSection lock(_registryLock);
    if (ClassEntry* old = lookupName(name)) {
        // Not kept: a prototype nobody else counts is deleted.
        ObjRef::addRef(prototype);
        ObjRef::release(prototype);
        return old->objectId == objectId ? 0 : DirError::E_ALREADY_EXISTS;
    }
    ClassEntry* e = new ClassEntry{objectId, name, prototype, alias, {}};
    ObjRef::addRef(prototype);
    classes().push_back(e);
    byName()[e->name] = e;
    noteClassName(e->name);
    if (!alias && byId().find(objectId) == byId().end()) byId()[objectId] = e;
    return 0;
}

int ScriptRegistry::addAlias(const char* existing, const char* alias, Translatable* prototype) {
    if (existing == nullptr || alias == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    int id;
    {
        CriticalSection lock(_registryLock);
        ClassEntry* e = lookupName(stripPrefix(existing));
        if (e == nullptr) return DirError::E_CLASS_NOT_FOUND;
        id = e->objectId;
        if (prototype == nullptr) prototype = e->prototype;
    }
    return add(id, alias, prototype, true);
}

int ScriptRegistry::setMembers(const char* name, const int* memberIds) {
    if (name == nullptr || memberIds == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    CriticalSection lock(_registryLock);
    ClassEntry* e = lookupName(stripPrefix(name));
    if (e == nullptr) return DirError::E_CLASS_NOT_FOUND;
    e->members.clear();
    for (size_t i = 0; memberIds[i] != 0; i++)
        if (memberIds[i] > 0 && memberIds[i] < kMemberCount) e->members.push_back(memberIds[i]);
    return 0;
}

void ScriptRegistry::clear() {
    CriticalSection lock(_registryLock);
    for (ClassEntry* e : classes()) {
        ObjRef::release(e->prototype);
        delete e;
    }
    classes().clear();
    byName().clear();
    byId().clear();
    for (std::atomic<uint64_t>& word : ScriptRegistry::classNameBits) word.store(0, std::memory_order_relaxed);
}

bool ScriptRegistry::empty() {
    return classes().empty();
}

std::atomic<uint64_t> ScriptRegistry::classNameBits[ScriptRegistry::kNameBuckets / 64];

Translatable* ScriptRegistry::prototypeOf(unsigned int objectId) {
    auto& map = byId();
    if (map.empty()) return nullptr;
    auto it = map.find(static_cast<int>(objectId));
    return it != map.end() ? it->second->prototype : nullptr;
}

Translatable* ScriptRegistry::classNamed(const char* name) {
    ClassEntry* e = lookupName(name);
    return e != nullptr ? e->prototype : nullptr;
}

const char* ScriptRegistry::nameOf(unsigned int objectId) {
    auto& map = byId();
    if (map.empty()) return nullptr;
    auto it = map.find(static_cast<int>(objectId));
    return it != map.end() ? it->second->name.c_str() : nullptr;
}

const char* ScriptRegistry::memberName(int id) {
    return id >= 0 && id < kMemberCount ? kMemberNames[id] : nullptr;
}

Translatable* ScriptRegistry::prototypeFor(const Translatable* object) {
    if (object == nullptr) return nullptr;
    if (object->isPrototype()) return const_cast<Translatable*>(object);
    return prototypeOf(object->getObjectID());
}

bool ScriptRegistry::hasMember(const Translatable* object, const char* name) {
    if (object == nullptr || name == nullptr || classes().empty()) return false;
    ClassEntry* e = nullptr;
    if (object->isPrototype()) {
        for (ClassEntry* c : classes())
            if (c->prototype == object && !c->alias) {
                e = c;
                break;
            }
    } else {
        auto it = byId().find(static_cast<int>(object->getObjectID()));
        if (it != byId().end()) e = it->second;
    }
    if (e == nullptr) return false;
    for (int id : e->members)
        if (strcmp(kMemberNames[id], name) == 0) return true;
    return false;
}

// --- Parser's registry operations ------------------------------------------

int Parser::registerObject(int objectId, const char* name, Translatable* prototype, bool alias) {
    script_installHooks();
    return ScriptRegistry::add(objectId, name, prototype, alias);
}

int Parser::registerAlias(const char* existing, const char* alias, Translatable* prototype) {
    return ScriptRegistry::addAlias(existing, alias, prototype);
}

int Parser::registerMembers(const char* name, int* memberIds) {
    return ScriptRegistry::setMembers(name, memberIds);
}

Translatable* Parser::findPrototype(unsigned int objectId) {
    return ScriptRegistry::prototypeOf(objectId);
}

Any* Parser::findPrototypeByName(const char* name) {
    Translatable* p = ScriptRegistry::classNamed(name);
    if (p == nullptr) return nullptr;
    Any* v = new Any();
    v->setReference(p);
    return v;
}

bool Parser::isFunctionOf(Translatable* object, const char* name) {
    return ScriptRegistry::hasMember(object, name);
}

int Parser::constructObject(Translatable** out, const char* className, Any** args) {
    *out = nullptr;
    Translatable* proto = className != nullptr ? ScriptRegistry::classNamed(stripPrefix(className)) : nullptr;
    if (proto == nullptr) return DirError::E_CLASS_NOT_FOUND;
    // construct(parser, args, out): the second parameter carries the
    // arguments.
    return proto->construct(this, args, out);
}

int Parser::getProperty(Translatable* object, Any** result, const char* name) {
    *result = nullptr;
    int rc = object->getField(this, result, name);
    if (rc == 0 || rc == DirError::E_UNDEFINED_PROPERTY) return rc;
    if (ScriptRegistry::hasMember(object, name)) {
        delete *result;
        *result = new Any();
        (*result)->setReference(new ShadowFunction(ScriptRegistry::prototypeFor(object), object, name));
        return 0;
    }
    return rc;
}

// --- hooks of the value layer -------------------------------------------------

static Any* prototypeReferenceHook(Parser*, unsigned int objectId) {
    Translatable* p = ScriptRegistry::prototypeOf(objectId);
    if (p == nullptr) return nullptr;
    Any* v = new Any();
    v->setReference(p);
    return v;
}

static const char* classNameHook(Parser*, unsigned int objectId) {
    return ScriptRegistry::nameOf(objectId);
}

const Any* script_assignedValue(Parser* parser, const Translatable* object);

void script_installHooks() {
    _scriptTypeHooks.prototypeReference = prototypeReferenceHook;
    _scriptTypeHooks.className = classNameHook;
    _scriptTypeHooks.assignedValue = script_assignedValue;
}
