// Function: a script function made by a `function` declaration or literal:
// its name (null when anonymous), its argument names, its body and where it
// was defined. The parser builds it; calling it runs the body in a new
// function scope.
//
// Ownership: a function owns its names, its body and its location. It is
// reference-counted (ObjRef) like every scriptable object, so it may outlive
// the parser that built it.
// Thread-safety: none; used by the thread running its parser.
#ifndef DRV_SCRIPT_FUNCTION_H
#define DRV_SCRIPT_FUNCTION_H

#include <stdint.h>

#include <vector>

#include "dirbase/any.h"

class Location;
class StmtListAstNode;

class Function : public Translatable {
public:
    // Takes over body and location; copies name (null: anonymous) and the
    // argument names.
    Function(const char* name, const std::vector<char*>& argNames, StmtListAstNode* body, Location* location);
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;
    ~Function() override;

    // The name, or "<anonymous>".
    const char* displayName() const;

    // Runs the body with args (null-terminated) in a new function scope.
    int call(Parser* parser, const Location* callSite, Any** result, Any** args) override;
    // "name" (the name or "<anonymous>"), "length" (declared arguments).
    int getField(Parser* parser, Any** result, const char* name) const override;
    // The name (or "<anonymous>"), a space, the location text.
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    const char* getTypeOf(Parser* parser) const override;

    char* name;
    std::vector<char*> argNames;
    std::vector<uint32_t> argHashes;  // VarSet::nameHash of each argument name
    StmtListAstNode* body;
    Location* location;
};

#endif
