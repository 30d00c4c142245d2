#include "script/varset.h"

#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "dirbase/attributes.h"

__thread uint64_t script_scope::epochs[64];

// --- AbstractVarSet ----------------------------------------------------------

AbstractVarSet::AbstractVarSet(AbstractVarSet* parent, int kind)
    : _parent(parent),
      _kind(kind),
      _functionName(nullptr),
      _location(nullptr),
      _ownedName(nullptr),
      _ownedLocation(nullptr) {
    ObjRef::addRef(_parent);
}

AbstractVarSet::~AbstractVarSet() {
    free(_ownedName);
    delete _ownedLocation;
    ObjRef::release(_parent);
}

void AbstractVarSet::setThis(Attributes*) {}
Attributes* AbstractVarSet::getThis() const {
    return nullptr;
}
void AbstractVarSet::clearThis() {}

int AbstractVarSet::getField(Parser*, Any** result, const char* name) const {
    AbstractVarSet* self = const_cast<AbstractVarSet*>(this);
    if (Any* v = self->get(name)) {
        Any* copy = v->getType() == OBJ_ANYARRAY_ID || (v->getType() > ANY_UNDEFINED && !v->isEncoded())
                        ? nullptr
                        : v->createReference();
        *result = copy != nullptr ? copy : new Any(*v);
        return 0;
    }
    if (AbstractVarSet* sub = self->getSubSet(name)) {
        *result = new Any();
        (*result)->setReference(sub);
        return 0;
    }
    *result = nullptr;
    return DirError::E_UNDEFINED_VARIABLE;
}

int AbstractVarSet::setField(Parser*, const char* name, Any* value) {
    return set(name, value) ? 0 : DirError::E_UNDEFINED_VARIABLE;
}

char* AbstractVarSet::toString(Parser*) {
    return strdup(_kind == FUNCTION ? "[function scope]" : "[block scope]");
}

void AbstractVarSet::setLocation(const Location* location) {
    Location* copy = location != nullptr ? new Location(*location) : nullptr;
    delete _ownedLocation;
    _ownedLocation = copy;
    _location = copy;
}

void AbstractVarSet::setLocation(const char* functionName, const Location* location) {
    char* copy = strdup(functionName != nullptr ? functionName : "<anonymous>");
    free(_ownedName);
    _ownedName = copy;
    _functionName = copy;
    setLocation(location);
}

void AbstractVarSet::dropOwnedLocation() {
    free(_ownedName);
    _ownedName = nullptr;
    delete _ownedLocation;
    _ownedLocation = nullptr;
}

// --- VarSet ------------------------------------------------------------------

VarSet::VarSet(AbstractVarSet* parent, int kind) : AbstractVarSet(parent, kind), _this(nullptr), _readOnly(false) {
    _isVarSet = true;
}

VarSet::~VarSet() {
    touchNames();
    for (Var& v : _vars) freeVar(v);
    ObjRef::release(_this);
}

VarSet::Var VarSet::makeVar(const char* name, uint32_t hash, Any* value, AbstractVarSet* subSet) {
    Var v{hash, nullptr, value, subSet, {}};
    size_t n = strlen(name);
    if (n < kInlineName)
        memcpy(v.inlineName, name, n + 1);
    else
        v.heapName = strdup(name);
    return v;
}

void VarSet::freeVar(Var& v) {
    if (v.heapName != nullptr) free(v.heapName);
    delete v.value;
    ObjRef::release(v.subSet);
}

Any* VarSet::get(const char* name, uint32_t hash) {
    for (VarSet* s = this;;) {
        if (s->_this != nullptr) {
            if (Any* a = s->_this->getAttribute(name)) return a;
        }
        if (Any* v = s->getLocal(name, hash)) return v;
        AbstractVarSet* parent = s->_parent;
        if (parent == nullptr) return nullptr;
        s = parent->asVarSet();
        if (s == nullptr) return parent->get(name);
    }
}

bool VarSet::set(const char* name, Any* value) {
    if (!_readOnly) {
        uint32_t hash = nameHash(name);
        for (size_t i = _vars.size(); i-- > 0;) {
            Var& v = _vars[i];
            if (v.hash == hash && v.value != nullptr && sameName(v.name(), name)) {
                delete v.value;
                v.value = value;
                return true;
            }
        }
    }
    if (_parent == nullptr) {
        delete value;
        return false;
    }
    return _parent->set(name, value);
}

bool VarSet::locate(const char* name, uint32_t hash, VarSet** frame, uint32_t* index) {
    for (VarSet* s = this;;) {
        if (s->_this != nullptr || s->_readOnly) return false;
        if ((s->_nameMask & maskBit(hash)) != 0) {
            for (size_t i = s->_vars.size(); i-- > 0;) {
                const Var& v = s->_vars[i];
                if (v.hash == hash && v.value != nullptr && sameName(v.name(), name)) {
                    *frame = s;
                    *index = static_cast<uint32_t>(i);
                    return true;
                }
            }
        }
        AbstractVarSet* parent = s->_parent;
        if (parent == nullptr) return false;
        s = parent->asVarSet();
        if (s == nullptr) return false;
    }
}

bool VarSet::define(const char* name, uint32_t hash, Any* value) {
    if (_readOnly) {
        delete value;
        return false;
    }
    // A name of a bucket the frame has never held is new here.
    for (size_t i = (_nameMask & maskBit(hash)) != 0 ? _vars.size() : 0; i-- > 0;) {
        Var& v = _vars[i];
        if (v.hash == hash && sameName(v.name(), name)) {
            // Redefining in place keeps the variable where it was; only a
            // former sub-set changes what the name resolves to.
            if (v.value == nullptr) script_scope::touch(maskBit(hash));
            delete v.value;
            ObjRef::release(v.subSet);
            v.subSet = nullptr;
            v.value = value;
            return true;
        }
    }
    _vars.emplace_back();
    Var& v = _vars.back();
    v.hash = hash;
    v.value = value;
    size_t n = strlen(name);
    if (n < kInlineName)
        memcpy(v.inlineName, name, n + 1);
    else
        v.heapName = strdup(name);
    _nameMask |= maskBit(hash);
    script_scope::touch(maskBit(hash));
    return true;
}

bool VarSet::define(const char* name, AbstractVarSet* subSet) {
    if (_readOnly) return false;
    ObjRef::addRef(subSet);
    for (size_t i = _vars.size(); i-- > 0;) {
        Var& v = _vars[i];
        if (strcmp(v.name(), name) == 0) {
            script_scope::touch(maskBit(v.hash));
            delete v.value;
            v.value = nullptr;
            ObjRef::release(v.subSet);
            v.subSet = subSet;
            return true;
        }
    }
    uint32_t hash = nameHash(name);
    _vars.push_back(makeVar(name, hash, nullptr, subSet));
    _nameMask |= maskBit(hash);
    script_scope::touch(maskBit(hash));
    return true;
}

AbstractVarSet* VarSet::getSubSet(const char* name) {
    for (size_t i = _vars.size(); i-- > 0;) {
        const Var& v = _vars[i];
        if (v.subSet != nullptr && strcmp(v.name(), name) == 0) return v.subSet;
    }
    return _parent != nullptr ? _parent->getSubSet(name) : nullptr;
}

// Empties what a value holds, so that containers referring back to this
// frame (or to each other) do not keep one another alive.
static void emptyContainer(Any* value) {
    if (value == nullptr) return;
    if (value->getType() == OBJ_ANYARRAY_ID) {
        if (AnyArray* a = value->getArray()) a->clear();
        return;
    }
    Translatable* t = value->getReferenced();
    if (t == nullptr) return;
    switch (t->getObjectID()) {
    case OBJ_ANYARRAY_ID: static_cast<AnyArray*>(t)->clear(); break;
    case OBJ_ATTRIBUTES_ID: static_cast<Attributes*>(t)->clear(); break;
    case OBJ_ANY_ID: static_cast<Any*>(t)->clear(); break;
    default: break;
    }
}

void VarSet::clear() {
    touchNames();
    std::vector<Var> vars;
    vars.swap(_vars);
    _nameMask = 0;
    for (Var& v : vars) emptyContainer(v.value);
    for (Var& v : vars) freeVar(v);
}

void VarSet::clear(const char* name) {
    for (size_t i = _vars.size(); i-- > 0;) {
        if (strcmp(_vars[i].name(), name) == 0) {
            // The variables after it move down one place.
            touchNames();
            Var v = _vars[i];
            _vars.erase(_vars.begin() + static_cast<long>(i));
            freeVar(v);
            return;
        }
    }
}

void VarSet::setThis(Attributes* object) {
    script_scope::touchAll();
    ObjRef::addRef(object);
    ObjRef::release(_this);
    _this = object;
}

void VarSet::clearThis() {
    script_scope::touchAll();
    ObjRef::release(_this);
    _this = nullptr;
}

char** VarSet::getLocalVariables() const {
    char** names = static_cast<char**>(calloc(_vars.size() + 1, sizeof(char*)));
    size_t n = 0;
    for (size_t i = _vars.size(); i-- > 0;) names[n++] = strdup(_vars[i].name());
    return names;
}

AbstractVarSet* VarSet::recycle() {
    touchNames();
    for (Var& v : _vars) freeVar(v);
    _vars.clear();
    _nameMask = 0;
    lendLocation(nullptr, nullptr);
    AbstractVarSet* parent = _parent;
    _parent = nullptr;
    return parent;
}

void VarSet::reuse(AbstractVarSet* parent, int kind) {
    _parent = parent;
    _kind = kind;
}
