#include "script/json.h"

#include <string.h>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
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

// Bytes a parsed tree holds, roughly: its values, slots, entries and texts.
// The tree's depth is bounded by the reader's nesting limit.
size_t treeBytes(const Any* v) {
    if (v == nullptr) return 0;
    size_t bytes = sizeof(Any);
    if (isText(v) && v->getString() != nullptr) return bytes + strlen(v->getString()) + 1;
    Translatable* t = v->isEncoded() ? nullptr : v->getReferenced();
    if (t == nullptr) return bytes;
    if (t->getObjectID() == OBJ_ANYARRAY_ID) {
        if (const AnyArray* a = dynamic_cast<const AnyArray*>(t)) {
            bytes += sizeof(AnyArray) + static_cast<size_t>(a->count) * sizeof(Any*);
            for (int i = 0; i < a->count; i++) bytes += treeBytes(a->elements[i]);
        }
    } else if (t->getObjectID() == OBJ_ATTRIBUTES_ID) {
        if (const Attributes* a = dynamic_cast<const Attributes*>(t)) {
            bytes += sizeof(Attributes);
            for (const Attributes::AttrList* e = a->head; e != nullptr; e = e->next)
                bytes += sizeof(Attributes::AttrList) + strlen(e->name) + 1 + treeBytes(e->getValue());
        }
    }
    return bytes;
}

int parse(Parser* parser, Any** args, Any** result) {
    TextArg text;
    int rc = text.read(parser, arg(args, 0));
    if (rc != 0) return rc;
    // The caller's current scope is the inner parser's root.
    ObjRef root(parser != nullptr ? parser->getCurrentScope() : nullptr);
    Parser json("JSON", text.text, &root, 1, 0, false);
    if (json.parseJSON(result)) {
        // Trees kept in a short loop have their growth looked at in time.
        if (parser != nullptr) parser->noteBuilt(treeBytes(*result));
        return 0;
    }
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
