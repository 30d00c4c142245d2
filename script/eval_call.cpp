// Evaluation of calls: `f(x)`, `a.b(x)`, method calls `a.b.m(x)` and
// constructions `new a.B(x)`. A call finds its target object T and member
// name F, evaluates the arguments, and then either constructs through the
// class registry, calls F on T's prototype, or calls T itself.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "common/error_codes.h"
#include "script/assignable.h"
#include "script/eval_internal.h"
#include "script/native_function.h"
#include "script/operators.h"
#include "script/registry.h"
#include "script/varset.h"

using namespace script_eval;

// The object id of the host's presence-test function: it is not called; the
// call's value says whether every argument could be evaluated and defined.
static const unsigned int OBJ_PRESENCE_TEST_ID = 9831;

namespace {

// A method that built a text (repeat, join, replace...) has its bytes
// counted like a concatenation's.
bool chargeText(Parser* parser, AstNode* node, const Any* value) {
    if (value->getType() != ANY_STRING || value->getString() == nullptr) return true;
    return parser->charge(node, strlen(value->getString()));
}

}  // namespace

namespace {

bool plainTextUnbounded(const Any& v) {
    char* text = plainText(nullptr, v);
    free(text);
    return text == nullptr;
}

bool isKind(const Any& v, uint16_t kind) {
    return !v.isEncoded() && v.getType() == kind;
}

// Whether a call's target is null: no object, or a variable or property
// that holds null (read into a plain value).
bool isNullTarget(const Translatable* t) {
    if (t == nullptr) return true;
    const Any* v = t->getObjectID() == OBJ_ANY_ID ? dynamic_cast<const Any*>(t) : nullptr;
    return v != nullptr && isKind(*v, ANY_NULL);
}

// The call's target T (counted while the call runs) and member F.
struct Target {
    Translatable* object = nullptr;
    const char* member = nullptr;
    ObjRef keep;             // T when it is an object
    ObjRef keepValue;        // T when it is a plain value (an Any)
    ObjRef keepAssignable;   // the assignable F's text belongs to

    // T is v itself (a plain value) or the object v denotes; takes v.
    void take(Any* v, const char* f) {
        member = f;
        if (Translatable* obj = objectOf(*v)) {
            keep.set(obj);
            object = obj;
            delete v;
            return;
        }
        keepValue.set(v);
        object = v;
    }
};

// A null-terminated argument array; a few arguments need no allocation.
struct Args {
    Any* inlineSlots[6];
    Any** slots = inlineSlots;
    size_t count = 0;
    size_t capacity = 6;
    ~Args() {
        for (size_t i = 0; i < count; i++) delete slots[i];
        if (slots != inlineSlots) free(slots);
    }
    void push(Any* v) {
        if (count == capacity) {
            size_t grown = capacity * 2;
            Any** bigger = static_cast<Any**>(malloc(grown * sizeof(Any*)));
            memcpy(bigger, slots, count * sizeof(Any*));
            if (slots != inlineSlots) free(slots);
            slots = bigger;
            capacity = grown;
        }
        slots[count++] = v;
    }
    Any** data() { return slots; }
};

bool callTarget(Parser* parser, FnCallAstNode* node, Target& t, Any** result) {
    Args args;
    bool presenceTest = t.member == nullptr && t.object != nullptr && t.object->getObjectID() == OBJ_PRESENCE_TEST_ID;
    bool allDefined = true;
    // As for typeof: an error recorded before the arguments ran hides why
    // an argument failed.
    bool recordedBefore = parser->getError() != nullptr;
    for (ExprAstNode* e : node->args) {
        Any v;
        if (!valueInto(parser, e, v)) {
            const Error* err = parser->getError();
            if (presenceTest && !recordedBefore && err != nullptr && err->code == DirError::E_UNDEFINED_VARIABLE) {
                parser->recover();
                *result = new Any(false);
                return true;
            }
            return false;
        }
        if (isKind(v, ANY_UNDEFINED)) allDefined = false;
        args.push(storableValue(v));
    }
    args.push(nullptr);
    if (presenceTest) {
        *result = new Any(allDefined);
        return true;
    }
    Any* out = nullptr;
    int rc;
    if (node->isNew) {
        Translatable* made = nullptr;
        rc = parser->constructObject(&made, node->className, args.data());
        if (rc == 0 && made != nullptr) {
            out = new Any();
            out->setReference(made);
        } else if (rc == 0) {
            rc = DirError::E_NO_CONSTRUCTOR;
        }
    } else if (isNullTarget(t.object)) {
        return fail(parser, node, Error::EvalError, DirError::E_CALL_ON_NULL);
    } else if (t.member != nullptr) {
        if (args.count == 1 && strcmp(t.member, "toString") == 0 && !t.object->isPrototype()) {
            if (!textIsBounded(t.object) ||
                (t.object->getObjectID() == OBJ_ANY_ID && plainTextUnbounded(*static_cast<Any*>(t.object))))
                return fail(parser, node, Error::TypeError, DirError::E_NOT_CONVERTIBLE);
            char* text = t.object->toString(parser);
            *result = new Any(text != nullptr ? text : "");
            free(text);
            return true;
        }
        Translatable* proto = ScriptRegistry::prototypeFor(t.object);
        if (proto == nullptr) return fail(parser, node, Error::EvalError, DirError::E_CALL_ON_NULL);
        rc = proto->callMemberFn(parser, &out, t.object, t.member, args.data());
    } else {
        if (!parser->enterCall(node)) return false;
        // A script function takes the evaluated arguments as they are.
        if (&typeid(*t.object) == &typeid(Function))
            rc = script_callFunction(parser, static_cast<Function*>(t.object), node->location, &out,
                                     args.data(), true);
        else
            rc = t.object->call(parser, node->location, &out, args.data());
        parser->leaveCall();
    }
    if (rc != 0) {
        delete out;
        return fail(parser, node, Error::EvalError, rc);
    }
    *result = out != nullptr ? out : Any::makeUndefined();
    return chargeText(parser, node, *result);
}

}  // namespace

namespace {

// Arguments of a plain call live in a small array on the stack.
const size_t kMaxStackArgs = 8;

// Evaluates node's arguments into args (null-terminated) as the general
// path stores them; false (nothing left to free) on failure.
bool stackArgs(Parser* parser, FnCallAstNode* node, Any** args) {
    size_t n = node->args.size();
    for (size_t i = 0; i < n; i++) {
        args[i] = storedValueOf(parser, node->args[i]);
        if (args[i] == nullptr) {
            for (size_t j = 0; j < i; j++) delete args[j];
            return false;
        }
    }
    args[n] = nullptr;
    return true;
}

// The call's value from a callee's answer.
int callOutcome(Parser* parser, FnCallAstNode* node, int rc, Any* result, Any& out) {
    if (rc != 0) {
        delete result;
        return fail(parser, node, Error::EvalError, rc) ? 1 : 0;
    }
    if (result != nullptr) {
        out.takeFrom(*result);
        delete result;
    } else {
        out.setUndefined();
    }
    return chargeText(parser, node, &out) ? 1 : 0;
}

// `C.m(a, b)` with C the name of a registered class: the prototype's member
// function called straight away, as the general path ends up doing once it
// has read C, found no field m on the prototype and made a bound method of
// m (or, for a name the class does not list, called m on the prototype).
int classCallInto(Parser* parser, FnCallAstNode* node, Any& out) {
    MemberDerefAstNode* m = static_cast<MemberDerefAstNode*>(node->target);
    if (!m->object->isIdentifier() || !m->member->isIdentifier()) return -1;
    IdentAstNode* cls = static_cast<IdentAstNode*>(m->object);
    IdentAstNode* member = static_cast<IdentAstNode*>(m->member);
    if (!ScriptRegistry::mayNameClass(cls->hash) || ScriptRegistry::mayNameClass(member->hash)) return -1;
    Translatable* proto = ScriptRegistry::classNamed(cls->name);
    if (proto == nullptr) return -1;
    if (!parser->step(node)) return 0;
    Any* field = nullptr;
    int probe = proto->getField(parser, &field, member->name);
    delete field;
    // A field of that name (or a dereference failure) is the general path's.
    if (probe == 0 || probe == DirError::E_UNDEFINED_PROPERTY) return -1;
    Any* args[kMaxStackArgs + 1];
    if (!stackArgs(parser, node, args)) return 0;
    // A listed method is called as a bound method, which counts as a call.
    bool bound = ScriptRegistry::hasMember(proto, member->name);
    Translatable* answering = ScriptRegistry::prototypeFor(proto);
    Any* result = nullptr;
    int rc = -1;
    if (!bound || parser->enterCall(node)) {
        rc = answering != nullptr ? answering->callMemberFn(parser, &result, proto, member->name, args)
                                  : DirError::E_CALL_ON_NULL;
        if (bound) parser->leaveCall();
    }
    for (size_t i = 0; i < node->args.size(); i++) delete args[i];
    if (rc == -1) return 0;
    return callOutcome(parser, node, rc, result, out);
}

}  // namespace

int script_eval::plainCallInto(Parser* parser, FnCallAstNode* node, Any& out) {
    if (node->isNew || node->methodName != nullptr || node->args.size() > kMaxStackArgs) return -1;
    if (isA<MemberDerefAstNode>(node->target)) return classCallInto(parser, node, out);
    if (!node->target->isIdentifier()) return -1;
    Any* slot = variableSlot(parser, static_cast<IdentAstNode*>(node->target));
    if (slot == nullptr || slot->isEncoded() || slot->getType() != ANY_REFERENCE) return -1;
    Translatable* callee = slot->getReferenced();
    if (callee == nullptr || &typeid(*callee) != &typeid(Function)) return -1;
    if (!parser->step(node)) return 0;
    // Counted while it runs: the call may assign its variable.
    ObjRef keep(callee);
    Any* args[kMaxStackArgs + 1];
    if (!stackArgs(parser, node, args)) return 0;
    size_t n = node->args.size();
    Any* result = nullptr;
    int rc = -1;
    if (parser->enterCall(node)) {
        rc = script_callFunction(parser, static_cast<Function*>(callee), node->location, &result, args, true);
        parser->leaveCall();
    }
    // The function took the arguments it declares; the rest are still here.
    for (size_t i = 0; i < n; i++) delete args[i];
    if (rc == -1) return 0;
    return callOutcome(parser, node, rc, result, out);
}

bool FnCallAstNode::evaluate(Parser* parser, Any** result) {
    *result = nullptr;
    if (!parser->step(this) || !parser->roomToNest(this)) return false;
    Target t;
    if (isNew) {
        t.object = parser->getCurrentScope();
        t.keep.set(t.object);
        return callTarget(parser, this, t, result);
    }
    if (methodName == nullptr && target->isIdentifier() &&
        !ScriptRegistry::mayNameClass(static_cast<IdentAstNode*>(target)->hash)) {
        // `f(x)` with f a variable holding a function: no assignable.
        AbstractVarSet* scope = parser->getCurrentScope();
        IdentAstNode* ident = static_cast<IdentAstNode*>(target);
        VarSet* vs = scope != nullptr ? scope->asVarSet() : nullptr;
        Any* slot = vs != nullptr ? vs->get(ident->name, ident->hash) : scope != nullptr ? scope->get(ident->name) : nullptr;
        if (slot != nullptr && !slot->isEncoded() && slot->getType() == ANY_REFERENCE && slot->getReferenced() != nullptr) {
            t.object = slot->getReferenced();
            t.keep.set(t.object);
            return callTarget(parser, this, t, result);
        }
    }
    Any* v = nullptr;
    if (!target->evaluate(parser, &v)) {
        // `'abc'.m(1)` when reading m failed: call m on the object part.
        if (target->getType() != 1 || !static_cast<MemberDerefAstNode*>(target)->callFallback) return false;
        MemberDerefAstNode* m = static_cast<MemberDerefAstNode*>(target);
        Any ov;
        if (!valueInto(parser, m->object, ov)) return false;
        if (isKind(ov, ANY_NULL) || isKind(ov, ANY_UNDEFINED))
            return fail(parser, this, Error::SyntaxError, DirError::E_PROTOTYPE_EXPECTED);
        t.take(detach(ov), static_cast<IdentAstNode*>(m->member)->name);
        return callTarget(parser, this, t, result);
    }
    if (Assignable* a = Assignable::of(v)) {
        t.keepAssignable.set(a);
        delete v;
        Any* cur = nullptr;
        int rc = a->get(parser, &cur);
        if (rc == 0 && cur != nullptr && !isKind(*cur, ANY_UNDEFINED)) {
            t.take(cur, methodName);
        } else {
            // Nothing under that name: call it as a method of its owner
            // (`f(x)` on the scope object, `a.b(x)` on a).
            delete cur;
            t.object = a->getOwner();
            t.keep.set(t.object);
            t.member = a->getName();
        }
        return callTarget(parser, this, t, result);
    }
    if (isKind(*v, ANY_NULL)) {
        delete v;
        return fail(parser, this, Error::EvalError, DirError::E_CALL_ON_NULL);
    }
    if (isKind(*v, ANY_UNDEFINED)) {
        delete v;
        return fail(parser, this, Error::EvalError, DirError::E_NO_SUCH_FUNCTION);
    }
    t.take(v, methodName);
    return callTarget(parser, this, t, result);
}
