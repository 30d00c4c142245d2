#include "script/json.h"

#include <string.h>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "script/builtin_args.h"
#include "script/operators.h"
#include "script/parser.h"
#include "script/varset.h"

using namespace script_builtin;

const int JSONPrototype::kMemberIds[] = {25, 26, 0};

char* JSON::toString(Parser*) {
    return strdup("null");
}

unsigned int JSON::getObjectID() const {
    return OBJ_JSON_ID;
}

namespace {

int parse(Parser* parser, Any** args, Any** result) {
    TextArg text;
    int rc = text.read(parser, arg(args, 0));
    if (rc != 0) return rc;
    // The caller's current scope is the inner parser's root.
    ObjRef root(parser != nullptr ? parser->getCurrentScope() : nullptr);
    Parser json("JSON", text.text, &root, 1, 0, false);
    if (json.parseJSON(result)) return 0;
    const Error* error = json.getError();
    return error != nullptr ? error->code : DirError::E_SYNTAX;
}

int stringify(Parser* parser, Any** args, Any** result) {
    Any* value = arg(args, 0);
    if (value == nullptr) return DirError::E_MISSING_ARGUMENTS;
    char* text = nullptr;
    int rc = script_jsonText(parser, value, &text);
    if (rc != 0) return rc;
    *result = text != nullptr ? adoptText(text) : new Any();
    return 0;
}

}  // namespace

int JSONPrototype::callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) {
    *result = nullptr;
    if (name != nullptr && strcmp(name, "parse") == 0) return parse(parser, args, result);
    if (name != nullptr && strcmp(name, "stringify") == 0) return stringify(parser, args, result);
    return Translatable::callMemberFn(parser, result, self, name, args);
}

char* JSONPrototype::toString(Parser*) {
    return strdup("[class JSON]");
}

unsigned int JSONPrototype::getObjectID() const {
    return OBJ_JSON_PROTOTYPE_ID;
}
