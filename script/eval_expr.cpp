// Evaluation of the expression nodes: leaves, member and element access,
// operators and the conditional. Assignment is in eval_assign.cpp, calls in
// eval_call.cpp.
//
// Values are Anys. A node that names something assignable (a variable, a
// property, an element) evaluates to a reference to an Assignable; every
// other node to a plain value. The rules that depart from ECMAScript live
// here and in operators.cpp: no truthiness, boolean && and ||, integral
// integer arithmetic, strict equality that also compares kinds, and an error
// for undeclared variables where missing properties read as undefined.
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <typeinfo>
#include <vector>

#include "common/error_codes.h"
#include "dirbase/attributes.h"
#include "script/assignable.h"
#include "script/eval_internal.h"
#include "script/operators.h"
#include "script/registry.h"
#include "script/varset.h"

using namespace script_eval;

namespace script_eval {

Translatable* objectOf(Any& v) {
    if (v.isEncoded()) {
        Translatable* obj = nullptr;
        if (!v.takeObject(&obj) || obj == nullptr) return nullptr;
        v.setReference(obj);
        return obj;
    }
    if (v.getType() == ANY_REFERENCE) return v.getReferenced();
    if (v.getType() == OBJ_ANYARRAY_ID || v.getType() > ANY_UNDEFINED) {
        Translatable* obj = nullptr;
        if (!v.takeObject(&obj) || obj == nullptr) return nullptr;
        v.setReference(obj);
        return obj;
    }
    return nullptr;
}

Any* variableSlotFurther(Parser* parser, IdentAstNode* ident, VarSet* top) {
    uint64_t epoch = script_scope::epochs[script_scope::bucketOf(ident->hash)];
    if (ident->foundRun == parser->_runId && ident->foundEpoch == epoch) {
        if (Any* v = ident->foundFrame->valueAt(ident->foundIndex)) return v;
    }
    VarSet* frame;
    uint32_t index;
    if (!top->locate(ident->name, ident->hash, &frame, &index)) return nullptr;
    if (frame == top) {
        ident->topIndex = index;
        return frame->valueAt(index);
    }
    ident->foundRun = parser->_runId;
    ident->foundEpoch = epoch;
    ident->foundFrame = frame;
    ident->foundIndex = index;
    return frame->valueAt(index);
}

Any* storableValue(Any& v) {
    // v is a temporary: numbers and booleans are copied bit for bit, a
    // string's text is moved rather than copied (both as a variable
    // assignment stores them: no hint but a string's).
    if (!v.isEncoded()) {
        uint16_t t = v.getType();
        if (t == ANY_NULL || t == ANY_UNDEFINED || (t >= ANY_BOOLEAN && t <= ANY_DOUBLE)) {
            Any* a = new Any();
            a->type = t;
            if (t != ANY_NULL) a->value = v.value;
            return a;
        }
        if (t == ANY_STRING || t == ANY_CHAR) {
            Any* a = new Any();
            a->takeFrom(v);
            a->type = ANY_STRING;
            a->hint = HINT_STRING;
            return a;
        }
    }
    if (Any* a = Any::createForVariableAssign(&v)) return a;
    Any* r = new Any();
    if (Translatable* obj = objectOf(v)) r->setReference(obj);
    return r;
}

}  // namespace script_eval

namespace {

// The value of a literal token.
void literalInto(const LiteralAstNode* node, Any& out) {
    switch (node->token.type) {
    case TOKEN_LITERAL_NULL: out.clear(); break;
    case TOKEN_LITERAL_UNDEFINED: out.setUndefined(); break;
    default: out = node->token.value; break;
    }
}

// A text read out of a variable, property, element or literal is a new
// copy that the caller may keep (stored in an array a million times over):
// its bytes count toward the run's memory as built text does.
inline bool copyCharged(Parser* parser, AstNode* node, const Any& out) {
    if (out.isEncoded() || out.getType() != ANY_STRING || out.getString() == nullptr) return true;
    return parser->chargeCopy(node, strlen(out.getString()));
}

// Reads a variable straight from the scope chain when nothing registered
// can shadow it; otherwise (and for anything unusual) the way a
// MemberAssignable reads it.
bool identInto(Parser* parser, IdentAstNode* node, Any& out) {
    AbstractVarSet* scope = parser->getCurrentScope();
    if (scope == nullptr) return fail(parser, node, Error::ReferenceError, DirError::E_UNDEFINED_VARIABLE);
    if (!ScriptRegistry::mayNameClass(node->hash)) {
        if (Any* v = variableSlot(parser, node)) {
            out = *v;
            return true;
        }
        VarSet* vs = scope->asVarSet();
        if (Any* v = vs != nullptr ? vs->get(node->name, node->hash) : scope->get(node->name)) {
            out = *v;
            return true;
        }
    }
    MemberAssignable* a = new MemberAssignable(node->name, scope, false);
    ObjRef hold(a);
    Any* v = nullptr;
    int rc = a->get(parser, &v);
    if (rc != 0) return fail(parser, node, Error::ReferenceError, rc);
    out.takeFrom(*v);
    delete v;
    return true;
}

// `o.name` with o a variable holding an object: read without assignables.
// Answers -1 when the general path must decide.
int memberInto(Parser* parser, MemberDerefAstNode* node, Any& out) {
    if (!node->member->isIdentifier()) return -1;
    // A member named like a registered class reads as that class's
    // prototype; the member read of the general path knows the rule.
    if (ScriptRegistry::mayNameClass(static_cast<IdentAstNode*>(node->member)->hash)) return -1;
    Translatable* obj = variableObject(parser, node->object);
    if (obj == nullptr) return -1;
    ObjRef keep(obj);
    Any* v = nullptr;
    int rc = parser->getProperty(obj, &v, static_cast<IdentAstNode*>(node->member)->name);
    if (rc == DirError::E_NO_SUCH_PROPERTY) {
        delete v;
        out.setUndefined();
        return 1;
    }
    if (rc != 0) {
        delete v;
        return fail(parser, node, Error::ReferenceError, rc) ? 1 : 0;
    }
    out.takeFrom(*v);
    delete v;
    return 1;
}

// `a[i]` with a a variable holding an object: read without assignables.
int elementInto(Parser* parser, ArrayDerefAstNode* node, Any& out) {
    if (node->indexes.size() != 1) return -1;
    Translatable* obj = variableObject(parser, node->base);
    if (obj == nullptr) return -1;
    ObjRef keep(obj);
    Any index;
    if (!valueInto(parser, node->indexes[0], index)) return 0;
    Any* v = nullptr;
    int rc = obj->getArrayElement(parser, &v, &index);
    if (rc != 0) {
        delete v;
        return fail(parser, node, Error::ReferenceError, rc) ? 1 : 0;
    }
    if (v == nullptr) {
        out.setUndefined();
    } else {
        out.takeFrom(*v);
        delete v;
    }
    return 1;
}

bool isBinaryMath(const std::type_info* t) {
    return t == &typeid(AddAstNode) || t == &typeid(MulAstNode) || t == &typeid(CompareAstNode) ||
           t == &typeid(EqualsAstNode);
}

bool isBinaryBits(const std::type_info* t) {
    return t == &typeid(ShiftAstNode) || t == &typeid(BitwiseAndAstNode) || t == &typeid(BitwiseOrAstNode) ||
           t == &typeid(BitwiseXorAstNode);
}

int bitOpcode(const BinaryExprAstNode* node) {
    const std::type_info* t = &typeid(*node);
    if (t == &typeid(BitwiseAndAstNode)) return OP_BITWISE_AND;
    if (t == &typeid(BitwiseOrAstNode)) return OP_BITWISE_OR;
    if (t == &typeid(BitwiseXorAstNode)) return OP_BITWISE_XOR;
    return node->opcode;
}

// The value of a variable or numeric literal without copying it, when that
// can be had without evaluating anything (and so without side effects or
// errors); null otherwise.
inline const Any* peekValue(Parser* parser, ExprAstNode* node) {
    uint8_t k = evalKindOf(node);
    if (k == K_IDENT) return variableSlot(parser, static_cast<IdentAstNode*>(node));
    if (k == K_LITERAL) {
        const Token& t = static_cast<LiteralAstNode*>(node)->token;
        return t.type == TOKEN_INTEGER ? &t.value : nullptr;
    }
    return nullptr;
}

// Two 32-bit integers under an operator that cannot fail: the result
// straight away (the same as binaryMath's, which handles everything else).
// False when the general rules must decide.
inline bool putInt32(Any& out, uint32_t v) {
    out.clear();
    out.type = ANY_INT32;
    out.value.i32 = static_cast<int32_t>(v);
    return true;
}

inline bool putBool(Any& out, bool v) {
    out.clear();
    out.type = ANY_BOOLEAN;
    out.value.b = v;
    return true;
}

inline bool int32Math(int op, const Any& l, const Any& r, Any& out) {
    if (l.isEncoded() || r.isEncoded() || l.getType() != ANY_INT32 || r.getType() != ANY_INT32) return false;
    uint32_t a = static_cast<uint32_t>(l.getInt32()), b = static_cast<uint32_t>(r.getInt32());
    int32_t sa = l.getInt32(), sb = r.getInt32();
    switch (op) {
    case OP_ADD: return putInt32(out, a + b);
    case OP_SUB: return putInt32(out, a - b);
    case OP_MUL: return putInt32(out, a * b);
    case OP_LT: return putBool(out, sa < sb);
    case OP_LE: return putBool(out, sa <= sb);
    case OP_GT: return putBool(out, sa > sb);
    case OP_GE: return putBool(out, sa >= sb);
    case OP_EQ:
    case OP_SEQ: return putBool(out, sa == sb);
    case OP_NE:
    case OP_SNE: return putBool(out, sa != sb);
    default: return false;
    }
}

// & | ^ on two 32-bit integers (as binaryBits); false for everything else.
inline bool int32Bits(int op, const Any& l, const Any& r, Any& out) {
    if (l.isEncoded() || r.isEncoded() || l.getType() != ANY_INT32 || r.getType() != ANY_INT32) return false;
    uint32_t a = static_cast<uint32_t>(l.getInt32()), b = static_cast<uint32_t>(r.getInt32());
    switch (op) {
    case OP_BITWISE_AND: return putInt32(out, a & b);
    case OP_BITWISE_OR: return putInt32(out, a | b);
    case OP_BITWISE_XOR: return putInt32(out, a ^ b);
    default: return false;
    }
}

}  // namespace

namespace script_eval {

// The object a plain declared variable refers to, or null (see variableSlot).
Translatable* variableObject(Parser* parser, ExprAstNode* node) {
    if (!node->isIdentifier()) return nullptr;
    Any* slot = variableSlot(parser, static_cast<IdentAstNode*>(node));
    return slot != nullptr && !slot->isEncoded() && slot->getType() == ANY_REFERENCE ? slot->getReferenced() : nullptr;
}

uint8_t evalKindOf(ExprAstNode* node) {
    if (node->evalKind != K_UNSET) return node->evalKind;
    const std::type_info* t = &typeid(*node);
    uint8_t k = t == &typeid(IdentAstNode)            ? K_IDENT
                : t == &typeid(LiteralAstNode)        ? K_LITERAL
                : isBinaryMath(t)                     ? K_MATH
                : isBinaryBits(t)                     ? K_BITS
                : t == &typeid(AssignmentExprAstNode) ? K_ASSIGN
                : t == &typeid(MemberDerefAstNode)    ? K_MEMBER
                : t == &typeid(ArrayDerefAstNode)     ? K_ELEMENT
                : t == &typeid(FnCallAstNode)         ? K_CALL
                                                      : K_OTHER;
    node->evalKind = k;
    return k;
}

Any* storedValueOf(Parser* parser, ExprAstNode* node) {
    uint8_t kind = evalKindOf(node);
    if (kind == K_MATH) {
        // `n - 1` on 32-bit integers: the result made where it is kept.
        BinaryExprAstNode* b = static_cast<BinaryExprAstNode*>(node);
        const Any* lp = peekValue(parser, b->left);
        const Any* rp = lp != nullptr ? peekValue(parser, b->right) : nullptr;
        if (rp != nullptr) {
            Any* a = new Any();
            if (int32Math(b->opcode, *lp, *rp, *a)) return a;
            delete a;
        }
    } else if (kind == K_IDENT) {
        const Any* slot = variableSlot(parser, static_cast<IdentAstNode*>(node));
        if (slot != nullptr && slot->isScalar()) {
            Any* a = new Any();
            a->type = slot->getType();
            if (a->type != ANY_NULL) a->value = slot->value;
            return a;
        }
    }
    Any v;
    if (!valueInto(parser, node, v)) return nullptr;
    return storableValue(v);
}

// Whether node is an arithmetic, comparison, shift or bitwise operator:
// one link more of a chain whose left operand is before it.
bool isOperatorChain(ExprAstNode* node) {
    uint8_t kind = evalKindOf(node);
    return kind == K_MATH || kind == K_BITS;
}

// out = l op r for the operator node b (its kind already noted by
// evalKindOf); false after a failure (recorded at b).
inline bool applyOperator(Parser* parser, BinaryExprAstNode* b, const Any& l, const Any& r, Any& out) {
    if (b->evalKind == K_MATH && int32Math(b->opcode, l, r, out)) return true;
    Error::Type type = Error::TypeError;
    int rc = b->evalKind == K_MATH ? binaryMath(parser, b->opcode, l, r, out, &type)
                                   : binaryBits(bitOpcode(b), l, r, out, &type);
    if (rc != 0) return fail(parser, b, type, rc);
    return out.getType() != ANY_STRING || out.getString() == nullptr || parser->charge(b, strlen(out.getString()));
}

// Whether the chain of operators from b down its right side has more than
// 32 links. Shorter chains are evaluated by plain recursion, which needs no
// room on the heap for their operands.
bool isLongChain(BinaryExprAstNode* b) {
    if (b->longChain < 0) {
        const int kShortChain = 32;
        ExprAstNode* node = b;
        int links = 0;
        while (links <= kShortChain && isOperatorChain(node)) {
            node = static_cast<BinaryExprAstNode*>(node)->right;
            links++;
        }
        b->longChain = links > kShortChain ? 1 : 0;
    }
    return b->longChain == 1;
}

// a op1 b op2 c ... nests to the right: a op1 (b op2 (c ...)). The left
// operands are evaluated first to last and the operators then applied from
// the last back to the first, as recursion would, but in a loop, so that a
// chain of thousands of operands takes no more stack than a short one.
bool chainInto(Parser* parser, BinaryExprAstNode* head, Any& out) {
    evalKindOf(head);  // noted on the head too when it came by evaluate()
    std::vector<BinaryExprAstNode*> links;
    std::deque<Any> lefts;  // stays in place as it grows
    BinaryExprAstNode* b = head;
    for (;;) {
        links.push_back(b);
        lefts.emplace_back();
        if (!valueInto(parser, b->left, lefts.back())) return false;
        if (!isOperatorChain(b->right)) break;
        b = static_cast<BinaryExprAstNode*>(b->right);
    }
    Any right;
    if (!valueInto(parser, b->right, right)) return false;
    for (size_t i = links.size(); i-- > 0;) {
        Any result;
        if (!applyOperator(parser, links[i], lefts[i], right, result)) return false;
        right.takeFrom(result);
        lefts.pop_back();
    }
    out.takeFrom(right);
    return true;
}

bool valueInto(Parser* parser, ExprAstNode* node, Any& out) {
    // Every nested evaluation passes here or through one of the recursive
    // evaluate()s below, which check the same.
    if (!parser->roomToNest(node)) return false;
    switch (evalKindOf(node)) {
    case K_IDENT: return identInto(parser, static_cast<IdentAstNode*>(node), out) && copyCharged(parser, node, out);
    case K_LITERAL: literalInto(static_cast<LiteralAstNode*>(node), out); return copyCharged(parser, node, out);
    case K_MATH:
    case K_BITS: {
        BinaryExprAstNode* b = static_cast<BinaryExprAstNode*>(node);
        {
            // Variables and literals are read where they are.
            const Any* lp = peekValue(parser, b->left);
            const Any* rp = lp != nullptr ? peekValue(parser, b->right) : nullptr;
            if (rp != nullptr && (node->evalKind == K_MATH ? int32Math(b->opcode, *lp, *rp, out)
                                                           : int32Bits(bitOpcode(b), *lp, *rp, out)))
                return true;
        }
        if (isLongChain(b)) return chainInto(parser, b, out);
        Any l, r;
        if (!valueInto(parser, b->left, l) || !valueInto(parser, b->right, r)) return false;
        return applyOperator(parser, b, l, r, out);
    }
    case K_ASSIGN: return assignInto(parser, static_cast<AssignmentExprAstNode*>(node), out, true);
    case K_MEMBER: {
        int done = memberInto(parser, static_cast<MemberDerefAstNode*>(node), out);
        if (done >= 0) return done == 1 && copyCharged(parser, node, out);
        break;
    }
    case K_ELEMENT: {
        int done = elementInto(parser, static_cast<ArrayDerefAstNode*>(node), out);
        if (done >= 0) return done == 1 && copyCharged(parser, node, out);
        break;
    }
    case K_CALL: {
        int done = plainCallInto(parser, static_cast<FnCallAstNode*>(node), out);
        if (done >= 0) return done == 1;
        break;
    }
    default: break;
    }
    Any* v = nullptr;
    if (!node->evaluate(parser, &v)) return false;
    if (Assignable* a = Assignable::of(v)) {
        Any* read = nullptr;
        int rc = a->get(parser, &read);
        delete v;
        if (rc != 0) return fail(parser, node, Error::ReferenceError, rc);
        out.takeFrom(*read);
        delete read;
        return copyCharged(parser, node, out);
    }
    out.takeFrom(*v);
    delete v;
    return true;
}

}  // namespace script_eval

// --- helpers of ExprAstNode ----------------------------------------------------

bool ExprAstNode::evaluateToValue(Parser* parser, Any** result) {
    *result = nullptr;
    Any v;
    if (!valueInto(parser, this, v)) return false;
    *result = detach(v);
    return true;
}

bool ExprAstNode::expectAssignable(Parser* parser, ExprAstNode* node, ObjRef** assignable, ObjRef** object) {
    *assignable = nullptr;
    if (object != nullptr) *object = nullptr;
    if (!parser->roomToNest(node)) return false;
    Any* v = nullptr;
    if (!node->evaluate(parser, &v)) return false;
    if (Assignable* a = Assignable::of(v)) {
        *assignable = new ObjRef(a);
        delete v;
        return true;
    }
    if (object != nullptr) {
        Translatable* obj = objectOf(*v);
        if (obj != nullptr) {
            *object = new ObjRef(obj);
        } else {
            // A plain value stands for itself (an Any is an object too).
            *object = new ObjRef(v);
            return true;
        }
        delete v;
        return true;
    }
    delete v;
    return fail(parser, node, Error::SyntaxError, DirError::E_EXPECTED_ASSIGNABLE);
}

bool ExprAstNode::expectBoolean(Parser* parser, ExprAstNode* node, bool* out, bool lenient) {
    if (!parser->roomToNest(node)) return false;
    Any v;
    if (lenient) {
        // An unreadable reference counts as false, without an error.
        Any* raw = nullptr;
        if (!node->evaluate(parser, &raw)) return false;
        if (Assignable* a = Assignable::of(raw)) {
            Any* read = nullptr;
            int rc = a->get(parser, &read);
            delete raw;
            if (rc != 0) {
                *out = false;
                return true;
            }
            v.takeFrom(*read);
            delete read;
        } else {
            v.takeFrom(*raw);
            delete raw;
        }
    } else if (!valueInto(parser, node, v)) {
        return false;
    }
    if (v.isEncoded() || v.getType() != ANY_BOOLEAN)
        return fail(parser, node, Error::SyntaxError, DirError::E_EXPECTED_BOOLEAN);
    *out = v.getBool();
    return true;
}

// --- leaves --------------------------------------------------------------------

bool LiteralAstNode::evaluate(Parser*, Any** result) {
    Any v;
    literalInto(this, v);
    *result = detach(v);
    return true;
}

bool IdentAstNode::evaluate(Parser* parser, Any** result) {
    *result = makeAssignableRef(new MemberAssignable(name, parser->getCurrentScope(), false));
    return true;
}

bool ObjectAstNode::evaluate(Parser*, Any** result) {
    *result = makeAssignableRef(new ObjectAssignable(object.get()));
    return true;
}

bool ObjectFactoryAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    Translatable* made;
    if (kind == ARRAY_LITERAL) {
        AnyArray* array = new AnyArray();
        ObjRef hold(array);
        for (Entry& e : entries) {
            Any v;
            if (!valueInto(parser, e.value, v)) return false;
            array->append(storableValue(v));
        }
        made = array;
        *result = makeAssignableRef(new ObjectAssignable(made));
        return true;
    }
    Attributes* attrs = new Attributes();
    ObjRef hold(attrs);
    // Each new name goes in front; a repeated one sets the value of the
    // entry its first use made.
    std::vector<Attributes::AttrList*> firstUses(repeatsNames ? entries.size() : 0);
    for (size_t i = 0; i < entries.size(); i++) {
        Any v;
        if (!valueInto(parser, entries[i].value, v)) return false;
        Any* stored = storableValue(v);
        if (entries[i].first != i) {
            firstUses[entries[i].first]->replaceValue(stored);
            continue;
        }
        attrs->addAttribute(entries[i].name, stored);
        if (repeatsNames) firstUses[i] = attrs->head;
    }
    made = attrs;
    *result = makeAssignableRef(new ObjectAssignable(made));
    return true;
}

// --- member and element access ---------------------------------------------------

bool MemberDerefAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    if (!parser->roomToNest(this)) return false;
    if (!member->isIdentifier()) return fail(parser, this, Error::SyntaxError, DirError::E_EXPECTED_ASSIGNABLE);
    const char* name = static_cast<IdentAstNode*>(member)->name;
    Any* v = nullptr;
    if (!object->evaluate(parser, &v)) return false;
    Any* value = v;
    if (Assignable* a = Assignable::of(v)) {
        int rc = a->get(parser, &value);
        delete v;
        if (rc != 0) return fail(parser, this, Error::ReferenceError, rc);
        if (Translatable* obj = objectOf(*value)) {
            *result = makeAssignableRef(new MemberAssignable(name, obj, true));
            delete value;
            return true;
        }
    } else {
        if (!v->isEncoded() && (v->getType() == ANY_NULL || v->getType() == ANY_UNDEFINED)) {
            delete v;
            return fail(parser, this, Error::TypeError, DirError::E_NOT_DEREFERENCEABLE);
        }
        if (!v->isEncoded() && v->getType() == ANY_REFERENCE && v->getReferenced() == nullptr) {
            delete v;
            return fail(parser, this, Error::TypeError, DirError::E_NULL_DEREFERENCE);
        }
    }
    // A plain value (or the object a plain value refers to) answers for
    // itself; it is counted while a bound method made from it may keep it.
    int rc;
    if (Translatable* target = objectOf(*value)) {
        ObjRef keep(target);
        delete value;
        rc = parser->getProperty(target, result, name);
    } else {
        ObjRef keep(value);
        rc = parser->getProperty(value, result, name);
    }
    if (rc == 0) return true;
    delete *result;
    *result = nullptr;
    // A missing member of a plain value fails quietly where a call falls
    // back to the value's prototype; anywhere else the script would stop
    // without saying why.
    if (rc == DirError::E_UNDEFINED_PROPERTY || !callFallback) return fail(parser, this, Error::ReferenceError, rc);
    return false;
}

bool ArrayDerefAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    if (!parser->roomToNest(this)) return false;
    Any* v = nullptr;
    if (!base->evaluate(parser, &v)) return false;
    Any* current = v;  // a reference to an assignable, or a plain array
    Translatable* container = nullptr;
    if (Assignable::of(v) == nullptr) {
        if (!v->isEncoded() && (v->getType() == ANY_NULL || v->getType() == ANY_UNDEFINED)) {
            delete v;
            return fail(parser, this, Error::TypeError, DirError::E_NOT_DEREFERENCEABLE);
        }
        container = objectOf(*v);
        if (container == nullptr || container->getObjectID() != OBJ_ANYARRAY_ID) {
            delete v;
            return fail(parser, this, Error::TypeError, DirError::E_NULL_DEREFERENCE);
        }
    }
    for (size_t i = 0; i < indexes.size(); i++) {
        Any* holder = nullptr;  // keeps the container alive
        if (container == nullptr) {
            Any* read = nullptr;
            int rc = Assignable::of(current)->get(parser, &read);
            if (rc != 0) {
                delete current;
                return fail(parser, this, Error::TypeError, rc);
            }
            container = objectOf(*read);
            if (container == nullptr) {
                delete read;
                delete current;
                return fail(parser, this, Error::TypeError, DirError::E_NOT_DEREFERENCEABLE);
            }
            holder = read;
        }
        Any* index = nullptr;
        if (!indexes[i]->evaluate(parser, &index)) {
            delete holder;
            delete current;
            return false;
        }
        Any* next = makeAssignableRef(new ArrayAssignable(container, index));
        delete holder;
        delete current;
        current = next;
        container = nullptr;
    }
    *result = current;
    return true;
}

// --- unary operators ---------------------------------------------------------------

bool UnaryExprAstNode::doMath(Parser* parser, Any* value, int delta) {
    Error::Type type = Error::TypeError;
    int rc = stepValue(*value, delta, &type);
    return rc == 0 || fail(parser, this, type, rc);
}

bool UnaryExprAstNode::doIncDec(Parser* parser, Any** result, bool prefix, int delta) {
    *result = nullptr;
    if (!parser->roomToNest(this)) return false;
    if (operand->isIdentifier()) {
        if (Any* slot = variableSlot(parser, static_cast<IdentAstNode*>(operand))) {
            Any old;
            if (!prefix) old = *slot;
            if (!doMath(parser, slot, delta)) return false;
            *result = prefix ? new Any(*slot) : detach(old);
            return true;
        }
    }
    Any* ref = nullptr;
    if (!operand->evaluate(parser, &ref)) return false;
    Assignable* a = Assignable::of(ref);
    if (a == nullptr) {
        delete ref;
        return fail(parser, this, Error::SyntaxError, DirError::E_EXPECTED_ASSIGNABLE);
    }
    Any* value = nullptr;
    int rc = a->get(parser, &value);
    if (rc != 0) {
        delete ref;
        return fail(parser, this, Error::TypeError, rc);
    }
    Any old(*value);
    if (!doMath(parser, value, delta)) {
        delete value;
        delete ref;
        return false;
    }
    Any* stored = new Any(*value);
    rc = a->set(parser, stored);
    delete ref;
    if (rc != 0) {
        delete value;
        return fail(parser, this, Error::TypeError, rc);
    }
    if (prefix) {
        *result = value;
    } else {
        delete value;
        *result = detach(old);
    }
    return true;
}

bool IncrementAstNode::evaluate(Parser* parser, Any** result) {
    return doIncDec(parser, result, prefix, 1);
}

bool DecrementAstNode::evaluate(Parser* parser, Any** result) {
    return doIncDec(parser, result, prefix, -1);
}

bool NegativeAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    Any v;
    if (!valueInto(parser, operand, v)) return false;
    Error::Type type = Error::TypeError;
    int rc = negateValue(v, &type);
    if (rc != 0) return fail(parser, this, type, rc);
    *result = detach(v);
    return true;
}

bool BitwiseNotAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    Any v;
    if (!valueInto(parser, operand, v)) return false;
    Error::Type type = Error::TypeError;
    int rc = complementValue(v, &type);
    if (rc != 0) return fail(parser, this, type, rc);
    *result = detach(v);
    return true;
}

bool BooleanNotAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    bool b;
    if (!expectBoolean(parser, operand, &b, false)) return false;
    *result = new Any(!b);
    return true;
}

bool TypeofAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    Any v;
    // Only an error that the operand itself records tells why it failed:
    // one recorded before (by an earlier run, kept until recover()) hides
    // the operand's own, which may be anything.
    bool recordedBefore = parser->getError() != nullptr;
    if (!valueInto(parser, operand, v)) {
        // An undeclared name has the type "undefined" rather than an error.
        const Error* e = parser->getError();
        if (!recordedBefore && e != nullptr && e->code == DirError::E_UNDEFINED_VARIABLE) {
            parser->recover();
            *result = new Any("undefined");
            return true;
        }
        return false;
    }
    *result = new Any(v.getTypeOf(parser));
    return true;
}

// --- binary operators --------------------------------------------------------------

bool BinaryExprAstNode::mathOp(Parser* parser, _OPCODE, Any** result) {
    *result = nullptr;
    Any out;
    if (isLongChain(this)) {
        if (!chainInto(parser, this, out)) return false;
    } else {
        Any l, r;
        if (!valueInto(parser, left, l) || !valueInto(parser, right, r) || !applyOperator(parser, this, l, r, out))
            return false;
    }
    *result = detach(out);
    return true;
}

bool BinaryExprAstNode::bitOp(Parser* parser, _OPCODE op, Any** result) {
    return mathOp(parser, op, result);
}

bool MulAstNode::evaluate(Parser* parser, Any** result) {
    return mathOp(parser, static_cast<_OPCODE>(opcode), result);
}
bool AddAstNode::evaluate(Parser* parser, Any** result) {
    return mathOp(parser, static_cast<_OPCODE>(opcode), result);
}
bool CompareAstNode::evaluate(Parser* parser, Any** result) {
    return mathOp(parser, static_cast<_OPCODE>(opcode), result);
}
bool EqualsAstNode::evaluate(Parser* parser, Any** result) {
    return mathOp(parser, static_cast<_OPCODE>(opcode), result);
}
bool ShiftAstNode::evaluate(Parser* parser, Any** result) {
    return bitOp(parser, static_cast<_OPCODE>(opcode), result);
}
bool BitwiseAndAstNode::evaluate(Parser* parser, Any** result) {
    return bitOp(parser, OP_BITWISE_AND, result);
}
bool BitwiseOrAstNode::evaluate(Parser* parser, Any** result) {
    return bitOp(parser, OP_BITWISE_OR, result);
}
bool BitwiseXorAstNode::evaluate(Parser* parser, Any** result) {
    return bitOp(parser, OP_BITWISE_XOR, result);
}

// a && b && c nests to the right, a && (b && c); a chain of them is
// followed in a loop rather than node by node, so that its length costs no
// stack. The same for ||.
bool LogicalAndAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    bool b;
    LogicalAndAstNode* node = this;
    for (;;) {
        if (!expectBoolean(parser, node->left, &b, false)) return false;
        if (!b) break;
        if (!isA<LogicalAndAstNode>(node->right)) {
            if (!expectBoolean(parser, node->right, &b, false)) return false;
            break;
        }
        node = static_cast<LogicalAndAstNode*>(node->right);
    }
    *result = new Any(b);
    return true;
}

bool LogicalOrAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    bool b;
    LogicalOrAstNode* node = this;
    for (;;) {
        if (!expectBoolean(parser, node->left, &b, false)) return false;
        if (b) break;
        if (!isA<LogicalOrAstNode>(node->right)) {
            if (!expectBoolean(parser, node->right, &b, false)) return false;
            break;
        }
        node = static_cast<LogicalOrAstNode*>(node->right);
    }
    *result = new Any(b);
    return true;
}

// --- the conditional ----------------------------------------------------------------

bool ConditionalExpressionAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    if (!parser->roomToNest(this)) return false;
    bool b;
    if (!expectBoolean(parser, condition, &b, true)) return false;
    return (b ? thenExpr : elseExpr)->evaluate(parser, result);
}
