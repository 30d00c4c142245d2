// The callables that are not script text. NativeFunction: a host function;
// the host derives from it and overrides call (the base answers 86, "Error
// but Not Defined"). ShadowFunction: a method bound to the object it was read
// from, so that `var f = s.toUpperCase; f()` calls the method on s.
//
// Both derive from Function and share its object id 9224, so `typeof` names
// them "function" and any object of that id is a Function. Reference-counted;
// used on the thread that runs the parser.
#ifndef DRV_SCRIPT_NATIVE_FUNCTION_H
#define DRV_SCRIPT_NATIVE_FUNCTION_H

#include "script/function.h"

// Runs a script function as Function::call does. With takeArgs the
// argument values (plain values or references, never owned containers)
// are moved into the new frame and their slots in args set to null.
int script_callFunction(Parser* parser, Function* fn, const Location* callSite, Any** result, Any** args,
                        bool takeArgs);

class NativeFunction : public Function {
public:
    explicit NativeFunction(const char* name);
    int call(Parser* parser, const Location* callSite, Any** result, Any** args) override;
    // "prototype" reads as undefined; "name" and "length" as for Function.
    int getField(Parser* parser, Any** result, const char* name) const override;
    // "function NAME() { [native code] }".
    char* toString(Parser* parser) override;
};

class ShadowFunction : public Function {
public:
    // Counts prototype and object; copies memberName.
    ShadowFunction(Translatable* prototype, Translatable* object, const char* memberName);
    ~ShadowFunction() override;
    // prototype->callMemberFn(parser, result, object, member, args).
    int call(Parser* parser, const Location* callSite, Any** result, Any** args) override;
    // "name" is the member name.
    int getField(Parser* parser, Any** result, const char* name) const override;
    char* toString(Parser* parser) override;

private:
    Translatable* _prototype;
    Translatable* _object;
};

#endif
