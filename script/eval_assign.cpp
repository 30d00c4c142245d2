// Evaluation of assignments, `target = value` and the compound forms: a
// declared variable is written in place, a property or element of a
// variable's object without an assignable, anything else through the
// target's Assignable. In every shape the target is made assignable first,
// the value is evaluated next, and the store comes last.
#include <stdlib.h>
#include <string.h>

#include <typeinfo>

#include "common/error_codes.h"
#include "script/assignable.h"
#include "script/eval_internal.h"
#include "script/operators.h"
#include "script/varset.h"

using namespace script_eval;

namespace {

// Assigns v to a variable slot in place (no frame walk, no allocation for
// numbers and booleans).
void assignSlot(Any* slot, Any& v) {
    uint16_t t = v.getType();
    if (!v.isEncoded() && (t == ANY_BOOLEAN || t == ANY_INT32 || t == ANY_INT64 || t == ANY_FLOAT || t == ANY_DOUBLE)) {
        slot->clear();
        slot->type = t;
        slot->value = v.value;
        return;
    }
    Any* stored = storableValue(v);
    slot->takeFrom(*stored);
    delete stored;
}

// The string slot `s` of `s = s + piece` grows in place: building a long
// string piece by piece costs the length of the pieces, not the square.
// Only for pieces that cannot change s (see simplePiece), so reading s
// first or last is the same.
bool appendInPlace(Parser* parser, AssignmentExprAstNode* node, Any* slot, Any& out, bool wantResult) {
    AddAstNode* add = static_cast<AddAstNode*>(node->right);
    Any piece;
    if (!valueInto(parser, add->right, piece)) return false;
    char* text = nullptr;
    int rc = plainTextOf(parser, piece, &text);
    if (rc != 0) return fail(parser, add, rc == DirError::E_NO_RESOURCE ? Error::RangeError : Error::TypeError, rc);
    size_t have = slot->value.s != nullptr ? strlen(slot->value.s) : 0, more = strlen(text);
    if (have + more > kMaxStringBytes) {
        free(text);
        return fail(parser, add, Error::RangeError, DirError::E_NO_RESOURCE);
    }
    if (!parser->charge(add, more)) {
        free(text);
        return false;
    }
    char* grown = static_cast<char*>(realloc(slot->value.s, have + more + 1));
    if (grown == nullptr) {
        free(text);
        return fail(parser, add, Error::RangeError, DirError::E_NO_RESOURCE);
    }
    memcpy(grown + have, text, more + 1);
    free(text);
    slot->value.s = grown;
    slot->hint = HINT_STRING;
    if (wantResult) out = *slot;
    return true;
}

// Whether the right side of `x = x + e` can be run after x is read without
// changing what x held: e is a literal or another variable.
bool simplePiece(ExprAstNode* e) {
    const std::type_info* t = &typeid(*e);
    if (t == &typeid(LiteralAstNode)) return true;
    if (t == &typeid(IdentAstNode)) return true;
    return false;
}

}  // namespace

namespace script_eval {

bool assignInto(Parser* parser, AssignmentExprAstNode* node, Any& out, bool wantResult) {
    if (!parser->roomToNest(node)) return false;
    if (node->left->isIdentifier()) {
        // A declared variable is written in place.
        IdentAstNode* ident = static_cast<IdentAstNode*>(node->left);
        const char* name = ident->name;
        if (Any* slot = variableSlot(parser, ident)) {
            ExprAstNode* value = node->right;
            // Only `+` joins: the same node class also carries `-`.
            if (isA<AddAstNode>(value) && static_cast<AddAstNode*>(value)->opcode == OP_ADD) {
                AddAstNode* add = static_cast<AddAstNode*>(value);
                if (add->left->isIdentifier() && strcmp(static_cast<IdentAstNode*>(add->left)->name, name) == 0 &&
                    !slot->isEncoded() && slot->getType() == ANY_STRING && simplePiece(add->right))
                    return appendInPlace(parser, node, slot, out, wantResult);
            }
            Any v;
            if (!valueInto(parser, value, v)) return false;
            // The value may have declared or removed variables: look again.
            slot = variableSlot(parser, ident);
            if (slot != nullptr) {
                assignSlot(slot, v);
                if (wantResult) out = *slot;
                return true;
            }
            Any* stored = storableValue(v);
            if (wantResult) out = *stored;
            if (!parser->getCurrentScope()->set(name, stored))
                return fail(parser, node, Error::ReferenceError, DirError::E_UNDEFINED_VARIABLE);
            return true;
        }
    }
    // `o.name = v` and `a[i] = v` on a variable holding an object.
    if (isA<MemberDerefAstNode>(node->left)) {
        MemberDerefAstNode* m = static_cast<MemberDerefAstNode*>(node->left);
        Translatable* obj = m->member->isIdentifier() ? variableObject(parser, m->object) : nullptr;
        if (obj != nullptr) {
            ObjRef keep(obj);
            Any v;
            if (!valueInto(parser, node->right, v)) return false;
            Any* stored = storableValue(v);
            if (wantResult) out = *stored;
            int rc = obj->setField(parser, static_cast<IdentAstNode*>(m->member)->name, stored);
            return rc == 0 || fail(parser, node, Error::ReferenceError, rc);
        }
    }
    if (isA<ArrayDerefAstNode>(node->left)) {
        ArrayDerefAstNode* d = static_cast<ArrayDerefAstNode*>(node->left);
        Translatable* obj = d->indexes.size() == 1 ? variableObject(parser, d->base) : nullptr;
        ExprAstNode* at = obj != nullptr ? d->indexes[0] : nullptr;
        uint8_t atKind = at != nullptr ? evalKindOf(at) : static_cast<uint8_t>(K_UNSET);
        // An index that is itself a reference (a variable, a property, an
        // element) stays one in the element reference and is read when the
        // element is stored, after the value: `b[k] = (k = 2)` stores at 2.
        // A variable is read here at that moment; the other references take
        // the general path.
        if (at != nullptr && atKind != K_MEMBER && atKind != K_ELEMENT && !isA<ConditionalExpressionAstNode>(at)) {
            ObjRef keep(obj);
            Any index, v;
            bool late = atKind == K_IDENT;
            if (!late && !valueInto(parser, at, index)) return false;
            if (!valueInto(parser, node->right, v)) return false;
            if (late && !valueInto(parser, at, index)) return false;
            Any* stored = storableValue(v);
            if (wantResult) out = *stored;
            int rc = storeElement(parser, obj, &index, stored);
            return rc == 0 || fail(parser, node, Error::ReferenceError, rc);
        }
    }
    // A function declaration (`function f() {...};`, an assignment of the
    // function to its name) declares the name when no scope has it yet, in
    // the function frame as `var` would: the function exists from then on.
    // A function literal assigned to an undeclared name is no declaration.
    if (node->declaresFunction && node->left->isIdentifier()) {
        const char* name = static_cast<IdentAstNode*>(node->left)->name;
        AbstractVarSet* scope = parser->getCurrentScope();
        if (scope != nullptr && scope->get(name) == nullptr && scope->getSubSet(name) == nullptr) {
            Any v;
            if (!valueInto(parser, node->right, v)) return false;
            Any* stored = storableValue(v);
            if (wantResult) out = *stored;
            int rc = parser->define(name, stored, LetOrVarAstNode::VAR);
            return rc == 0 || fail(parser, node, Error::ReferenceError, rc);
        }
    }
    Any* target = nullptr;
    if (!node->left->evaluate(parser, &target)) return false;
    Assignable* a = Assignable::of(target);
    if (a == nullptr) {
        delete target;
        return fail(parser, node, Error::SyntaxError, DirError::E_EXPECTED_ASSIGNABLE);
    }
    Any v;
    if (!valueInto(parser, node->right, v)) {
        delete target;
        return false;
    }
    Any* stored = storableValue(v);
    if (wantResult) out = *stored;
    int rc = a->set(parser, stored);
    delete target;
    if (rc != 0) return fail(parser, node, Error::ReferenceError, rc);
    return true;
}

}  // namespace script_eval

bool AssignmentExprAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    Any out;
    if (!assignInto(parser, this, out, true)) return false;
    *result = detach(out);
    return true;
}

// The statement form discards the value, so it is never copied.
bool script_assignStatement(Parser* parser, AssignmentExprAstNode* node) {
    Any unused;
    return assignInto(parser, node, unused, false);
}
