// Helpers shared by the evaluation files (eval_expr.cpp, eval_assign.cpp,
// eval_call.cpp, eval_stmt.cpp). Internal to the interpreter.
#ifndef DRV_SCRIPT_EVAL_INTERNAL_H
#define DRV_SCRIPT_EVAL_INTERNAL_H

#include <typeinfo>

#include "dirbase/any.h"
#include "script/ast.h"
#include "script/error.h"
#include "script/parser.h"
#include "script/registry.h"
#include "script/varset.h"

namespace script_eval {

// Whether node is exactly of class T. Compares the type_info objects by
// address: one per class in a linked program, and a miss only costs a fast
// path (every caller falls back to the general evaluation).
template <typename T>
inline bool isA(const AstNode* node) {
    return &typeid(*node) == &typeid(T);
}

// Records the first error of the run at node and answers false.
inline bool fail(Parser* parser, AstNode* node, Error::Type type, int code) {
    parser->throwErrorCode(node, type, code);
    return false;
}

// A new heap value holding what v held (v keeps its kind, not its payload).
inline Any* detach(Any& v) {
    Any* a = new Any();
    a->takeFrom(v);
    return a;
}

// The node classes valueInto tells apart (ExprAstNode::evalKind).
enum EvalKind : uint8_t {
    K_UNSET = 0,
    K_IDENT,
    K_LITERAL,
    K_MATH,     // + - * / % and the comparisons and equalities
    K_BITS,     // shifts and & | ^
    K_ASSIGN,
    K_MEMBER,
    K_ELEMENT,
    K_CALL,
    K_OTHER,
};


// The node's kind, worked out once and kept on the node.
uint8_t evalKindOf(ExprAstNode* node);

// Evaluates node to a plain value in out (an assignable is read; a failing
// read records a ReferenceError). The common node shapes are evaluated
// without allocating.
bool valueInto(Parser* parser, ExprAstNode* node, Any& out);

// Runs an assignment; with wantResult the assigned value is left in out.
// False after a failure (recorded). Defined in eval_assign.cpp.
bool assignInto(Parser* parser, AssignmentExprAstNode* node, Any& out, bool wantResult);

// The object a plain declared variable refers to, or null (see
// variableSlot).
Translatable* variableObject(Parser* parser, ExprAstNode* node);

// The slot of a variable that a plain frame of the chain holds (no
// this-object or read-only frame on the way, no registered class of that
// name); null when the general path must decide. The slot may be read and
// assigned in place. Where the name was found is kept on the node.
inline Any* variableSlot(Parser* parser, IdentAstNode* ident);
// variableSlot() past the check of the current frame.
Any* variableSlotFurther(Parser* parser, IdentAstNode* ident, VarSet* top);

// storableValue() of what node evaluates to: a new value, or null after a
// failure (recorded). A variable holding a number or boolean is copied
// straight from its slot.
Any* storedValueOf(Parser* parser, ExprAstNode* node);

// `f(a, b)` with f a variable holding a script function: the call without
// the general target search. -1 when the call is of another shape (the
// caller takes the general path, nothing evaluated yet), else 1 on success
// with the value in out, 0 on failure (error recorded).
int plainCallInto(Parser* parser, FnCallAstNode* node, Any& out);

// The object a value denotes: the referenced object of a reference, or an
// owned array or object (moved out of v into a new counted object); null
// for everything else.
Translatable* objectOf(Any& v);

// The value a variable or property stores for v: numbers, booleans and
// strings are copied; arrays and objects become references (an owned one is
// moved out of v). Never null.
Any* storableValue(Any& v);

inline Any* variableSlot(Parser* parser, IdentAstNode* ident) {
    if (ScriptRegistry::mayNameClass(ident->hash)) return nullptr;
    AbstractVarSet* scope = parser->getCurrentScope();
    VarSet* top = scope != nullptr ? scope->asVarSet() : nullptr;
    if (top == nullptr) return nullptr;
    // A local of the running function: checked in place, always valid.
    if (Any* v = top->plainLocalAt(ident->topIndex, ident->name, ident->hash)) return v;
    return variableSlotFurther(parser, ident, top);
}

}  // namespace script_eval

#endif
