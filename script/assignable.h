// Assignable: what a script expression that can be both read and assigned
// evaluates to (a variable, a property, an array element), carried in an Any
// as an object reference. MemberAssignable names a field of an owner (a scope
// or any object), ArrayAssignable an element of a container, ObjectAssignable
// wraps a plain object (readable, never assignable).
//
// Short-lived and reference-counted; used on one parser's thread.
#ifndef DRV_SCRIPT_ASSIGNABLE_H
#define DRV_SCRIPT_ASSIGNABLE_H

#include "dirbase/any.h"

class Assignable : public Translatable {
public:
    Assignable();
    ~Assignable() override;
    bool isAssignable() const override { return true; }
    // 0 and a new value in *result, or an error code.
    virtual int get(Parser* parser, Any** result) = 0;
    // Takes ownership of value; 0 or an error code.
    virtual int set(Parser* parser, Any* value) = 0;
    // The owner (scope or object) and the name, for calls through a
    // reference that reads as nothing (see FnCallAstNode); null when the
    // kind has none.
    virtual Translatable* getOwner() const { return nullptr; }
    virtual const char* getName() const { return nullptr; }
    char* toString(Parser* parser) override;

    // When any refers to an assignable, reads it into *out (new) and answers
    // whether that worked; otherwise *out is a copy of any.
    static bool purify(Parser* parser, const Any* any, Any** out);
    // The assignable any refers to, or null.
    static Assignable* of(const Any* any);

    // The value last read through the value layer's hook (owned).
    Any* cached;
};

class MemberAssignable : public Assignable {
public:
    // Counts owner.
    MemberAssignable(const char* name, Translatable* owner, bool undefinedIfMissing);
    ~MemberAssignable() override;
    int get(Parser* parser, Any** result) override;
    int set(Parser* parser, Any* value) override;
    Translatable* getOwner() const override { return _owner; }
    const char* getName() const override { return _name; }

private:
    char* _name;
    Translatable* _owner;
    bool _undefinedIfMissing;
};

class ArrayAssignable : public Assignable {
public:
    // Counts container; takes ownership of index.
    ArrayAssignable(Translatable* container, Any* index);
    ~ArrayAssignable() override;
    int get(Parser* parser, Any** result) override;
    int set(Parser* parser, Any* value) override;

private:
    // The index as a value (an index that is itself a reference is read).
    int indexValue(Parser* parser, Any** out) const;
    Translatable* _container;
    Any* _index;
};

class ObjectAssignable : public Assignable {
public:
    // Counts object.
    explicit ObjectAssignable(Translatable* object);
    ~ObjectAssignable() override;
    int get(Parser* parser, Any** result) override;
    int set(Parser* parser, Any* value) override;
    Translatable* getObject() const { return _object; }

private:
    Translatable* _object;
};

// Stores value (taken) at index of container, as element assignment does:
// an array grows by one for the index just past its end; other indexes
// outside it answer 56 (24 for an index that is no 32-bit integer).
int storeElement(Parser* parser, Translatable* container, const Any* index, Any* value);

// Makes a new Any referring to a new assignable.
Any* makeAssignableRef(Assignable* assignable);

#endif
