#include "script/assignable.h"

#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "script/parser.h"

Assignable::Assignable() : cached(nullptr) {}

Assignable::~Assignable() {
    delete cached;
}

char* Assignable::toString(Parser* parser) {
    Any* v = nullptr;
    if (parser == nullptr || get(parser, &v) != 0 || v == nullptr) {
        delete v;
        return strdup("undefined");
    }
    char* text = v->toString(parser);
    delete v;
    return text;
}

Assignable* Assignable::of(const Any* any) {
    if (any == nullptr || any->getType() != ANY_REFERENCE || any->isEncoded()) return nullptr;
    Translatable* t = any->getReferenced();
    return t != nullptr && t->isAssignable() ? static_cast<Assignable*>(t) : nullptr;
}

bool Assignable::purify(Parser* parser, const Any* any, Any** out) {
    *out = nullptr;
    if (Assignable* a = of(any)) return a->get(parser, out) == 0 && *out != nullptr;
    *out = new Any(*any);
    return true;
}

Any* makeAssignableRef(Assignable* assignable) {
    Any* v = new Any();
    v->setReference(assignable);
    return v;
}

// --- MemberAssignable --------------------------------------------------------

MemberAssignable::MemberAssignable(const char* name, Translatable* owner, bool undefinedIfMissing)
    : _name(strdup(name)), _owner(owner), _undefinedIfMissing(undefinedIfMissing) {
    ObjRef::addRef(_owner);
}

MemberAssignable::~MemberAssignable() {
    free(_name);
    ObjRef::release(_owner);
}

int MemberAssignable::get(Parser* parser, Any** result) {
    *result = nullptr;
    // A registered class name always denotes its prototype.
    if (Any* proto = parser->findPrototypeByName(_name)) {
        *result = proto;
        return 0;
    }
    if (_owner == nullptr) return DirError::E_NULL_DEREFERENCE;
    int rc = parser->getProperty(_owner, result, _name);
    if (rc == DirError::E_NO_SUCH_PROPERTY && _undefinedIfMissing) {
        delete *result;
        *result = Any::makeUndefined();
        return 0;
    }
    if (rc != 0) {
        delete *result;
        *result = nullptr;
    }
    return rc;
}

int MemberAssignable::set(Parser* parser, Any* value) {
    if (_owner == nullptr) {
        delete value;
        return DirError::E_NULL_DEREFERENCE;
    }
    return _owner->setField(parser, _name, value);
}

// --- ArrayAssignable ---------------------------------------------------------

ArrayAssignable::ArrayAssignable(Translatable* container, Any* index) : _container(container), _index(index) {
    ObjRef::addRef(_container);
}

ArrayAssignable::~ArrayAssignable() {
    ObjRef::release(_container);
    delete _index;
}

int ArrayAssignable::indexValue(Parser* parser, Any** out) const {
    if (Assignable* a = of(_index)) {
        int rc = a->get(parser, out);
        if (rc == 0 && *out == nullptr) rc = DirError::E_ILLEGAL_ARGUMENT;
        return rc;
    }
    *out = nullptr;
    return 0;
}

int ArrayAssignable::get(Parser* parser, Any** result) {
    *result = nullptr;
    Any* resolved = nullptr;
    int rc = indexValue(parser, &resolved);
    if (rc != 0) return rc;
    rc = _container->getArrayElement(parser, result, resolved != nullptr ? resolved : _index);
    delete resolved;
    if (rc != 0) {
        delete *result;
        *result = nullptr;
    } else if (*result == nullptr) {
        *result = Any::makeUndefined();
    }
    return rc;
}

int ArrayAssignable::set(Parser* parser, Any* value) {
    Any* resolved = nullptr;
    int rc = indexValue(parser, &resolved);
    if (rc != 0) {
        delete value;
        return rc;
    }
    rc = storeElement(parser, _container, resolved != nullptr ? resolved : _index, value);
    delete resolved;
    return rc;
}

int storeElement(Parser* parser, Translatable* container, const Any* index, Any* value) {
    if (container->getObjectID() == OBJ_ANYARRAY_ID) {
        // An array grows by one when a script stores just past its end
        // (`a[a.length] = v`); any other index outside it is refused here,
        // before the array's own check would stop the process.
        AnyArray* array = static_cast<AnyArray*>(container);
        bool int32 = !index->isEncoded() && index->getType() == ANY_INT32;
        long long i = int32 ? index->getInt32() : -1;
        if (int32 && i == array->size()) {
            // Bounded like strings: 16 million elements.
            if (array->size() >= (1 << 24)) {
                delete value;
                return DirError::E_NO_RESOURCE;
            }
            array->append(value);
            return 0;
        }
        if (!int32 || i < 0 || i > array->size()) {
            delete value;
            return int32 ? DirError::E_INDEX_OUT_OF_BOUNDS : DirError::E_ILLEGAL_ARGUMENT;
        }
    }
    return container->setArrayElement(parser, index, value);
}

// --- ObjectAssignable --------------------------------------------------------

ObjectAssignable::ObjectAssignable(Translatable* object) : _object(object) {
    ObjRef::addRef(_object);
}

ObjectAssignable::~ObjectAssignable() {
    ObjRef::release(_object);
}

int ObjectAssignable::get(Parser*, Any** result) {
    *result = new Any();
    (*result)->setReference(_object);
    return 0;
}

int ObjectAssignable::set(Parser*, Any* value) {
    delete value;
    return DirError::E_NOT_DEREFERENCEABLE;
}

// The value layer's view of an assignable's current value.
const Any* script_assignedValue(Parser* parser, const Translatable* object) {
    Assignable* a = const_cast<Assignable*>(static_cast<const Assignable*>(object));
    Any* v = nullptr;
    if (parser == nullptr || a->get(parser, &v) != 0) return nullptr;
    delete a->cached;
    a->cached = v;
    return v;
}

