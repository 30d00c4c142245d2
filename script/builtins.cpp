#include "script/builtins.h"

#include "dirbase/any.h"
#include "script/any_prototype.h"
#include "script/array_prototype.h"
#include "script/date.h"
#include "script/json.h"
#include "script/lex_pattern.h"
#include "script/parser.h"
#include "script/pattern_prototype.h"
#include "script/registry.h"
#include "script/string_prototype.h"

namespace {

void add(unsigned int objectId, const char* name, Translatable* prototype, const int* members) {
    Parser::registerObject(static_cast<int>(objectId), name, prototype, false);
    if (members != nullptr) Parser::registerMembers(name, const_cast<int*>(members));
}

}  // namespace

void script_registerBuiltins() {
    script_installHooks();
    // The registry keeps the first class of an id for calls on its values:
    // "Any" before "String", which answers only for itself.
    add(OBJ_ANY_ID, "Any", new AnyPrototype(), AnyPrototype::kMemberIds);
    add(OBJ_ANY_ID, "String", new AnyStringPrototype(), AnyStringPrototype::kMemberIds);
    add(OBJ_ANYARRAY_ID, "AnyArray", new AnyArrayPrototype(), AnyArrayPrototype::kMemberIds);
    Parser::registerAlias("AnyArray", "Array", nullptr);
    add(OBJ_JSON_ID, "JSON", new JSONPrototype(), JSONPrototype::kMemberIds);
    add(OBJ_ZEPHAN_PATTERN_ID, "ZephanPattern", new ZephanPatternPrototype(), nullptr);
    script_registerDate();
}
