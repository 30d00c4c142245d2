#include "dirbase/translatable.h"

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dirbase/any.h"

ScriptTypeHooks _scriptTypeHooks = {nullptr, nullptr, nullptr, nullptr};

Translatable::~Translatable() {}

int Translatable::callMemberFn(Parser*, Any** result, Translatable*, const char*, Any**) {
    *result = nullptr;
    return DirError::E_NO_SUCH_FUNCTION;
}

int Translatable::call(Parser*, const Location*, Any** result, Any**) {
    *result = nullptr;
    return DirError::E_FUNCTION_CALL_FAILED;
}

int Translatable::getField(Parser* parser, Any** result, const char* name) const {
    *result = nullptr;
    if (name != nullptr && __builtin_strcmp(name, "prototype") == 0) {
        *result = _scriptTypeHooks.prototypeReference != nullptr
                      ? _scriptTypeHooks.prototypeReference(parser, getObjectID())
                      : nullptr;
        if (*result == nullptr) *result = Any::makeUndefined();
        return 0;
    }
    return DirError::E_NO_SUCH_PROPERTY;
}

int Translatable::setField(Parser*, const char*, Any* value) {
    delete value;
    return DirError::E_NOT_IMPLEMENTED;
}

int Translatable::getArrayElement(Parser*, Any** result, const Any*) const {
    *result = nullptr;
    return DirError::E_NOT_IMPLEMENTED;
}

int Translatable::setArrayElement(Parser*, const Any*, Any* value) {
    delete value;
    return DirError::E_NOT_IMPLEMENTED;
}

int Translatable::findNext(Parser*, Any** result, const Any*) {
    *result = nullptr;
    return DirError::E_NOT_IMPLEMENTED;
}

char* Translatable::toString(Parser*) {
    log(0, "VIRTUAL tostring called");
    _dravika_assert("VIRTUAL tostring called", __FILE__, __LINE__);
    return nullptr;
}

char* Translatable::toJSON(Parser* parser) {
    return toString(parser);
}

bool Translatable::copyToJavaAsRef() const {
    return false;
}

unsigned int Translatable::getObjectID() const {
    return OBJ_NO_ID;
}

bool Translatable::isAssignable() const {
    return false;
}

bool Translatable::isPrototype() const {
    return false;
}

int Translatable::clone(const Principal*, Translatable**) const {
    return DirError::E_NOT_IMPLEMENTED;
}

int Translatable::isEqual(const Principal*, bool*, const Translatable*) const {
    return DirError::E_NOT_IMPLEMENTED;
}

int Translatable::compareTo(const Principal*, int*, const Translatable*) const {
    return DirError::E_NOT_IMPLEMENTED;
}

int Translatable::construct(Parser*, Any**, Translatable**) const {
    return DirError::E_NOT_IMPLEMENTED;
}

const char* Translatable::getTypeOf(Parser*) const {
    return isPrototype() ? "undefined" : "object";
}

const char* Translatable::getClassOf(Parser* parser) const {
    if (isPrototype()) return "prototype";
    const char* name =
        _scriptTypeHooks.className != nullptr ? _scriptTypeHooks.className(parser, getObjectID()) : nullptr;
    return name != nullptr ? name : "object";
}
