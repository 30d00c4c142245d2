// Translatable: the base of every encodable and scriptable object. Each
// concrete class has a numeric object id under which its translator is
// registered (see message.h) and overrides the member hooks it supports.
#ifndef DRV_DIRBASE_TRANSLATABLE_H
#define DRV_DIRBASE_TRANSLATABLE_H

class Any;
class Location;
class Parser;
class Principal;

const unsigned int OBJ_NO_ID = 0xFFFFFFFFu;

class Translatable {
public:
    Translatable() : _refCount(0), _reserved(0) {}
    // A copy is a new object: it starts without references.
    Translatable(const Translatable&) : _refCount(0), _reserved(0) {}
    Translatable& operator=(const Translatable&) { return *this; }
    virtual ~Translatable();

    virtual int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args);
    virtual int call(Parser* parser, const Location* location, Any** result, Any** args);
    virtual int getField(Parser* parser, Any** result, const char* name) const;
    // Takes ownership of value.
    virtual int setField(Parser* parser, const char* name, Any* value);
    virtual int getArrayElement(Parser* parser, Any** result, const Any* index) const;
    // Takes ownership of value.
    virtual int setArrayElement(Parser* parser, const Any* index, Any* value);
    virtual int findNext(Parser* parser, Any** result, const Any* current);
    // A newly allocated text that the caller frees.
    virtual char* toString(Parser* parser);
    virtual char* toJSON(Parser* parser);
    virtual bool copyToJavaAsRef() const;
    virtual unsigned int getObjectID() const;
    virtual bool isAssignable() const;
    virtual bool isPrototype() const;
    virtual int clone(const Principal* principal, Translatable** result) const;
    virtual int isEqual(const Principal* principal, bool* result, const Translatable* other) const;
    virtual int compareTo(const Principal* principal, int* result, const Translatable* other) const;
    virtual int construct(Parser* parser, Any** result, Translatable** object) const;
    virtual const char* getTypeOf(Parser* parser) const;
    virtual const char* getClassOf(Parser* parser) const;

    // Changed only by ObjRef and the scripting code, always atomically.
    int _refCount;
    // Free for the owning subsystem; zero at construction.
    long _reserved;
};

// The scripting language owns the prototype objects, the class names per
// object id, assignable references and the output settings; it installs these
// hooks so that the value layer can use them without depending on it. Each
// hook may be null, and each is called with whatever Parser the caller has
// (possibly null).
struct ScriptTypeHooks {
    // A new value referring to the prototype for the id, or null when none.
    Any* (*prototypeReference)(Parser* parser, unsigned int objectId);
    // The registered class name for the id, or null.
    const char* (*className)(Parser* parser, unsigned int objectId);
    // The current value behind an assignable reference (an object whose
    // isAssignable is true), or null; the value stays the object's.
    const Any* (*assignedValue)(Parser* parser, const Translatable* object);
    // The Parser's nesting level when it asks for pretty output, else null.
    int* (*prettyLevel)(Parser* parser);
};
extern ScriptTypeHooks _scriptTypeHooks;

#endif
