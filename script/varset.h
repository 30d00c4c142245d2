// Scope frames of the interpreter. AbstractVarSet is the interface the
// interpreter walks (a host may supply its own root); VarSet is the concrete
// frame: an optional this-object whose attributes read as variables, the
// local variables newest first, and a read-only flag.
//
// Frames are reference-counted Translatables shared through ObjRef; a frame
// and its values belong to the thread that runs the parser (not locked).
#ifndef DRV_SCRIPT_VARSET_H
#define DRV_SCRIPT_VARSET_H

#include <stdint.h>
#include <string.h>

#include <vector>

#include "dirbase/any.h"
#include "script/location.h"

class Attributes;
class VarSet;

// What a name resolves to changes only when a frame gains or loses a
// variable or a this-object, or leaves the chain. Those changes are counted
// per name bucket (the top six bits of VarSet::nameHash) on the thread that
// makes them, so an evaluator can keep where it last found a name and trust
// it while the name's bucket has not moved (see IdentAstNode).
namespace script_scope {
extern __thread uint64_t epochs[64];
inline unsigned bucketOf(uint32_t hash) { return hash >> 26; }
// One change to every bucket of mask (bit b for bucket b).
inline void touch(uint64_t mask) {
    while (mask != 0) {
        epochs[__builtin_ctzll(mask)]++;
        mask &= mask - 1;
    }
}
inline void touchAll() { touch(~uint64_t(0)); }
}  // namespace script_scope

const unsigned int OBJ_VARSET_ID = 9225;

class AbstractVarSet : public Translatable {
public:
    enum Kind { BLOCK = 1, FUNCTION = 2 };

    explicit AbstractVarSet(AbstractVarSet* parent, int kind);
    AbstractVarSet(const AbstractVarSet&) = delete;
    AbstractVarSet& operator=(const AbstractVarSet&) = delete;
    ~AbstractVarSet() override;

    // The value visible under name from this frame outwards (the frame's
    // own storage, not a copy), or null.
    virtual Any* get(const char* name) = 0;
    // Replaces the value of the nearest variable of that name; false when no
    // frame holds it. Takes ownership of value either way.
    virtual bool set(const char* name, Any* value) = 0;
    // Defines (or redefines) a local variable; takes ownership of value.
    // False when the frame refuses (read-only).
    virtual bool define(const char* name, Any* value) = 0;
    virtual bool define(const char* name, AbstractVarSet* subSet) = 0;
    virtual AbstractVarSet* getSubSet(const char* name) = 0;
    virtual void clear() = 0;
    virtual void clear(const char* name) = 0;

    // This frame as a VarSet, or null for other kinds (no dynamic_cast or
    // virtual call on the lookup path).
    inline VarSet* asVarSet();

    virtual void setThis(Attributes* object);
    virtual Attributes* getThis() const;
    virtual void clearThis();

    // Reads name (a variable, else a sub-set as an object reference); 46
    // when nothing holds it.
    int getField(Parser* parser, Any** result, const char* name) const override;
    // set(); 46 when no frame holds the name.
    int setField(Parser* parser, const char* name, Any* value) override;
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_VARSET_ID; }

    AbstractVarSet* getParent() const { return _parent; }
    int getKind() const { return _kind; }
    const char* getFunctionName() const { return _functionName; }
    const Location* getLocation() const { return _location; }
    // Copies location (null clears it).
    void setLocation(const Location* location);
    // Also sets the function name; null gives "<anonymous>".
    void setLocation(const char* functionName, const Location* location);
    // Like setLocation without copying: both must stay valid until the
    // frame's location is replaced or cleared (a call lends its call site
    // and its function's name for as long as the call runs).
    void lendLocation(const char* functionName, const Location* location) {
        if (_ownedName != nullptr || _ownedLocation != nullptr) dropOwnedLocation();
        _functionName = functionName;
        _location = location;
    }

protected:
    void dropOwnedLocation();
    bool _isVarSet = false;
    AbstractVarSet* _parent;  // counted
    int _kind;
    const char* _functionName;  // _ownedName or lent
    const Location* _location;  // _ownedLocation or lent
    char* _ownedName;
    Location* _ownedLocation;
};

class VarSet : public AbstractVarSet {
public:
    explicit VarSet(AbstractVarSet* parent = nullptr, int kind = FUNCTION);
    ~VarSet() override;

    Any* get(const char* name) override { return get(name, nameHash(name)); }
    // get() with the name's hash already known.
    Any* get(const char* name, uint32_t hash);
    bool set(const char* name, Any* value) override;
    bool define(const char* name, Any* value) override { return define(name, nameHash(name), value); }
    // define() with the name's hash already known.
    bool define(const char* name, uint32_t hash, Any* value);
    bool define(const char* name, AbstractVarSet* subSet) override;
    AbstractVarSet* getSubSet(const char* name) override;

    // Where name is found from this frame outwards: the frame and the index
    // of its variable (see valueAt). False when nothing holds it, or when
    // the walk meets what a remembered position cannot stand for: a
    // this-object, a read-only frame or a frame that is no VarSet.
    bool locate(const char* name, uint32_t hash, VarSet** frame, uint32_t* index);
    // The value of the variable at index (an index locate gave, while the
    // name's bucket has not moved); null for a sub-set.
    Any* valueAt(uint32_t index) const { return _vars[index].value; }
    // The value of the variable at index of this frame when it is the
    // variable name (hash its nameHash) and this frame is plain (no
    // this-object, not read-only); else null. A frame holds a name at most
    // once, so a hit is the name's nearest holder when this frame is the
    // current one.
    Any* plainLocalAt(uint32_t index, const char* name, uint32_t hash) const {
        if (index >= _vars.size() || _this != nullptr || _readOnly) return nullptr;
        const Var& v = _vars[index];
        return v.hash == hash && sameName(v.name(), name) ? v.value : nullptr;
    }
    // Counts this frame's names as changed: the frame leaves the chain.
    void touchNames() const { script_scope::touch(_nameMask); }
    // Removes every local variable, first emptying the arrays, attribute
    // sets and values that they refer to (breaks cycles through scopes).
    void clear() override;
    void clear(const char* name) override;

    void setThis(Attributes* object) override;
    Attributes* getThis() const override { return _this; }
    void clearThis() override;

    // A new null-terminated array of copies of the local names, newest
    // first; free each and the array.
    char** getLocalVariables() const;
    void setReadOnly(bool readOnly) {
        _readOnly = readOnly;
        script_scope::touchAll();
    }
    bool isReadOnly() const { return _readOnly; }

    // Frame reuse by the Parser (no allocation or count lock per call).
    // True when the only count is the caller's and nothing else is attached.
    bool recyclable() const { return ObjRef::count(this) == 1 && _this == nullptr && !_readOnly; }
    // Empties the frame and hands its count on the parent to the caller.
    AbstractVarSet* recycle();
    // Makes an emptied frame the child of parent, taking over the caller's
    // count on parent.
    void reuse(AbstractVarSet* parent, int kind);

    // The local variable of that name in this frame only, or null; hash is
    // nameHash(name).
    Any* getLocal(const char* name, uint32_t hash) const {
        // A name looked up through many callers' frames is absent from most
        // of them; the mask rules those out without a scan.
        if ((_nameMask & maskBit(hash)) == 0) return nullptr;
        for (size_t i = _vars.size(); i-- > 0;) {
            const Var& v = _vars[i];
            if (v.hash == hash && v.value != nullptr && sameName(v.name(), name)) return v.value;
        }
        return nullptr;
    }
    Any* getLocal(const char* name) const { return getLocal(name, nameHash(name)); }
    static uint32_t nameHash(const char* name) {
        uint32_t h = 2166136261u;
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; p++)
            h = (h ^ *p) * 16777619u;
        return h;
    }

private:
    // Most names are short: those live inside the Var, so defining a
    // variable on every call allocates nothing for its name.
    static const size_t kInlineName = 16;
    struct Var {
        uint32_t hash;
        char* heapName;          // owned when the name is too long to inline
        Any* value;              // owned, or null for a sub-set
        AbstractVarSet* subSet;  // counted, or null
        char inlineName[kInlineName];
        const char* name() const { return heapName != nullptr ? heapName : inlineName; }
    };
    static Var makeVar(const char* name, uint32_t hash, Any* value, AbstractVarSet* subSet);
    static void freeVar(Var& v);
    static uint64_t maskBit(uint32_t hash) { return uint64_t(1) << (hash >> 26); }
    static bool sameName(const char* a, const char* b) {
        for (; *a == *b; a++, b++)
            if (*a == 0) return true;
        return false;
    }
    // Oldest first; lookups walk from the back so the newest wins.
    std::vector<Var> _vars;
    // One bit per name hash defined here since the frame was last emptied
    // (a removed name may leave its bit set).
    uint64_t _nameMask = 0;
    Attributes* _this;  // counted, or null
    bool _readOnly;
};

inline VarSet* AbstractVarSet::asVarSet() {
    return _isVarSet ? static_cast<VarSet*>(this) : nullptr;
}

#endif
