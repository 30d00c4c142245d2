#include "script/function.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "script/ast.h"
#include "script/location.h"
#include "script/varset.h"

Function::Function(const char* name, const std::vector<char*>& args, StmtListAstNode* body, Location* location)
    : name(name != nullptr ? strdup(name) : nullptr), body(body), location(location) {
    argNames.reserve(args.size());
    argHashes.reserve(args.size());
    for (const char* a : args) {
        argNames.push_back(strdup(a));
        argHashes.push_back(VarSet::nameHash(a));
    }
}

Function::~Function() {
    free(name);
    for (char* a : argNames) free(a);
    delete body;
    delete location;
}

const char* Function::displayName() const {
    return name != nullptr ? name : "<anonymous>";
}

int Function::getField(Parser* parser, Any** result, const char* field) const {
    if (strcmp(field, "name") == 0) {
        *result = new Any(displayName());
        return 0;
    }
    if (strcmp(field, "length") == 0) {
        *result = new Any(static_cast<int>(argNames.size()));
        return 0;
    }
    return Translatable::getField(parser, result, field);
}

char* Function::toString(Parser* parser) {
    char* where = location != nullptr ? location->toString(parser) : nullptr;
    char* text = nullptr;
    if (asprintf(&text, "%s %s", displayName(), where != nullptr ? where : "") < 0) text = nullptr;
    free(where);
    return text;
}

unsigned int Function::getObjectID() const {
    return OBJ_FUNCTION_ID;
}

const char* Function::getTypeOf(Parser*) const {
    return "function";
}
