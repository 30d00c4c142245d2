#include "script/native_function.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "common/error_codes.h"
#include "script/ast.h"
#include "script/parser.h"
#include "script/varset.h"

// --- Function::call ------------------------------------------------------------

int Function::call(Parser* parser, const Location* callSite, Any** result, Any** args) {
    return script_callFunction(parser, this, callSite, result, args, false);
}

int script_callFunction(Parser* parser, Function* fn, const Location* callSite, Any** result, Any** args,
                        bool takeArgs) {
    *result = nullptr;
    if (fn->body == nullptr) return DirError::E_ERROR_NOT_DEFINED;
    parser->push(AbstractVarSet::FUNCTION);
    AbstractVarSet* frame = parser->getCurrentScope();
    VarSet* plainFrame = frame->asVarSet();
    // Arguments pair with the declared names in order; extra ones are
    // ignored, and a missing one leaves its name undeclared. Objects are
    // shared, not copied.
    size_t n = 0;
    while (args != nullptr && args[n] != nullptr && n < fn->argNames.size()) {
        Any* v;
        if (takeArgs) {
            v = args[n];
            args[n] = nullptr;
        } else {
            v = args[n]->createReferenceOrCopy();
        }
        if (plainFrame != nullptr)
            plainFrame->define(fn->argNames[n], fn->argHashes[n], v);
        else
            frame->define(fn->argNames[n], v);
        n++;
    }
    // The frame borrows the call site and the name for the length of the
    // call (the caller holds both).
    frame->lendLocation(fn->displayName(), callSite);
    bool ok = fn->body->execute(parser);
    frame->lendLocation(nullptr, nullptr);
    parser->pop();
    if (!ok) {
        delete parser->getReturnValue();
        return DirError::E_FUNCTION_CALL_FAILED;
    }
    *result = parser->getReturnValue();
    if (*result == nullptr) *result = new Any();
    return 0;
}

// --- NativeFunction ------------------------------------------------------------

NativeFunction::NativeFunction(const char* name) : Function(name, std::vector<char*>(), nullptr, nullptr) {}

int NativeFunction::call(Parser*, const Location*, Any** result, Any**) {
    *result = nullptr;
    return DirError::E_ERROR_NOT_DEFINED;
}

int NativeFunction::getField(Parser* parser, Any** result, const char* field) const {
    if (strcmp(field, "prototype") == 0) {
        *result = Any::makeUndefined();
        return 0;
    }
    return Function::getField(parser, result, field);
}

char* NativeFunction::toString(Parser*) {
    char* out = nullptr;
    if (asprintf(&out, "function %s() { [native code] }", displayName()) < 0) return nullptr;
    return out;
}

// --- ShadowFunction ------------------------------------------------------------

ShadowFunction::ShadowFunction(Translatable* prototype, Translatable* object, const char* memberName)
    : Function(memberName, std::vector<char*>(), nullptr, nullptr), _prototype(prototype), _object(object) {
    ObjRef::addRef(_prototype);
    ObjRef::addRef(_object);
}

ShadowFunction::~ShadowFunction() {
    ObjRef::release(_prototype);
    ObjRef::release(_object);
}

int ShadowFunction::call(Parser* parser, const Location*, Any** result, Any** args) {
    *result = nullptr;
    if (_prototype == nullptr) return DirError::E_CALL_ON_NULL;
    return _prototype->callMemberFn(parser, result, _object, displayName(), args);
}

int ShadowFunction::getField(Parser* parser, Any** result, const char* field) const {
    if (strcmp(field, "name") == 0) {
        *result = new Any(displayName());
        return 0;
    }
    return Translatable::getField(parser, result, field);
}

char* ShadowFunction::toString(Parser*) {
    char* out = nullptr;
    if (asprintf(&out, "function %s() { [bound method] }", displayName()) < 0) return nullptr;
    return out;
}
