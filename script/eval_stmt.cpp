// Execution of statements, and the Parser's run entry points.
//
// The rules scripts depend on: every branch and loop body runs in a fresh
// block scope, `return` records its value and execution goes on, `break`
// and `continue` are flags that stop the enclosing statement lists until a
// loop or switch takes them, and a switch body starts at its matching label
// and falls through.
#include <stdlib.h>
#include <string.h>

#include <typeinfo>

#include "common/error_codes.h"
#include "script/eval_internal.h"
#include "script/operators.h"
#include "script/varset.h"

using namespace script_eval;

bool script_assignStatement(Parser* parser, AssignmentExprAstNode* node);

namespace {

// What every statement does first: count a step, make sure the stack has
// room for it (statements nest inside blocks and calls), and emit its
// template text.
bool prologue(Parser* parser, StmtAstNode* stmt) {
    if (!parser->step(stmt) || !parser->roomToNest(stmt)) return false;
    return stmt->preceding == nullptr || stmt->preceding->execute(parser);
}

// Runs stmt in a block scope of its own (a block statement makes its own).
bool runInBlock(Parser* parser, StmtAstNode* stmt) {
    if (isA<StmtListAstNode>(stmt) && static_cast<StmtListAstNode*>(stmt)->isBlock) return stmt->execute(parser);
    parser->push(AbstractVarSet::BLOCK);
    bool ok = stmt->execute(parser);
    parser->pop();
    return ok;
}

bool evaluateAndDiscard(Parser* parser, ExprAstNode* expr) {
    if (isA<AssignmentExprAstNode>(expr))
        return script_assignStatement(parser, static_cast<AssignmentExprAstNode*>(expr));
    // `i++;` on a plain variable: stepped in place, no value made.
    bool up = isA<IncrementAstNode>(expr);
    if (up || isA<DecrementAstNode>(expr)) {
        UnaryExprAstNode* u = static_cast<UnaryExprAstNode*>(expr);
        if (u->operand->isIdentifier())
            if (Any* slot = variableSlot(parser, static_cast<IdentAstNode*>(u->operand)))
                return u->doMath(parser, slot, up ? 1 : -1);
    }
    Any* v = nullptr;
    bool ok = expr->evaluate(parser, &v);
    delete v;
    return ok;
}

}  // namespace

bool StmtListAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    // A switch hands its value to its own body only; nested lists run from
    // their first entry.
    Any* selector = parser->_switchValue;
    parser->_switchValue = nullptr;
    size_t first = 0;
    if (selector != nullptr) {
        first = entries.size();
        size_t fallback = entries.size();
        for (size_t i = 0; i < entries.size(); i++) {
            if (entries[i].labels != nullptr && entries[i].labels->contains(selector)) {
                first = i;
                break;
            }
            if (entries[i].isDefault) fallback = i;
        }
        if (first == entries.size()) {
            for (size_t i = entries.size(); i-- > 0;)
                if (entries[i].isDefault) {
                    fallback = i;
                    break;
                }
            first = fallback;
        }
        delete selector;
    }
    if (isBlock) parser->push(AbstractVarSet::BLOCK);
    bool ok = true;
    for (size_t i = first; i < entries.size(); i++) {
        if (!entries[i].stmt->execute(parser)) {
            ok = false;
            break;
        }
        if (parser->_flowFlags != 0) break;
    }
    if (isBlock) parser->pop();
    return ok;
}

bool LetOrVarAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    Any* value;
    if (init != nullptr) {
        value = storedValueOf(parser, init);
        if (value == nullptr) return false;
    } else {
        value = Any::makeUndefined();
    }
    // A refused definition fails the statement without an error of its own.
    return parser->define(name, hash, value, kind) == 0;
}

bool AssignmentStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    return evaluateAndDiscard(parser, expr);
}

bool ReturnStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    Any* v = storedValueOf(parser, expr);
    if (v == nullptr) return false;
    parser->setReturnValue(v);
    return true;
}

bool OutputStmt::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    ParserOutput* out = parser->getOutput();
    // Without an output stream there is nowhere for the text to go:
    // EvalError 22 ("Write Failure").
    if (out == nullptr) return fail(parser, this, Error::EvalError, DirError::E_WRITE_FAILURE);
    if (text != nullptr && textLength > 0 && out->write(text, textLength) != 0)
        return fail(parser, this, Error::EvalError, DirError::E_WRITE_FAILURE);
    if (expr == nullptr) return true;
    Any v;
    if (!valueInto(parser, expr, v)) return false;
    char* s = plainText(parser, v);
    if (s == nullptr) return fail(parser, this, Error::TypeError, DirError::E_NOT_CONVERTIBLE);
    int rc = out->write(s, strlen(s));
    free(s);
    if (rc != 0) return fail(parser, this, Error::EvalError, DirError::E_WRITE_FAILURE);
    return true;
}

bool IfStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    for (StmtHelperEntry& e : entries) {
        bool chosen = true;
        if (e.condition != nullptr && !e.condition->expectBoolean(parser, e.condition, &chosen, false)) return false;
        if (chosen) return runInBlock(parser, e.stmt);
    }
    return true;
}

bool WhileStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    for (;;) {
        if (!parser->step(this)) return false;
        bool go;
        if (!condition->expectBoolean(parser, condition, &go, false)) return false;
        if (!go) return true;
        if (!runInBlock(parser, body)) return false;
        bool stop = (parser->_flowFlags & 2) != 0;
        parser->_flowFlags &= ~3;
        if (stop) return true;
    }
}

bool DoWhileStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    for (;;) {
        if (!parser->step(this)) return false;
        if (!runInBlock(parser, body)) return false;
        bool stop = (parser->_flowFlags & 2) != 0;
        parser->_flowFlags &= ~3;
        // The condition is evaluated (and must be boolean) even after break.
        bool go;
        if (!condition->expectBoolean(parser, condition, &go, false)) return false;
        if (!go || stop) return true;
    }
}

bool ForStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    parser->push(AbstractVarSet::BLOCK);
    bool ok = init->execute(parser);
    while (ok) {
        if (!parser->step(this)) {
            ok = false;
            break;
        }
        bool go;
        if (!condition->expectBoolean(parser, condition, &go, false)) {
            ok = false;
            break;
        }
        if (!go) break;
        if (!body->execute(parser)) {
            ok = false;
            break;
        }
        bool stop = (parser->_flowFlags & 2) != 0;
        parser->_flowFlags &= ~3;
        if (stop) break;
        ok = evaluateAndDiscard(parser, finalExpr);
    }
    parser->pop();
    return ok;
}

bool SwitchStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    Any v;
    if (!valueInto(parser, expr, v)) return false;
    parser->push(AbstractVarSet::BLOCK);
    delete parser->_switchValue;
    parser->_switchValue = detach(v);
    bool ok = body->execute(parser);
    // A continue stays set for the enclosing loop.
    if (ok) parser->_flowFlags &= ~2;
    delete parser->_switchValue;
    parser->_switchValue = nullptr;
    parser->pop();
    return ok;
}

bool FlowStmtAstNode::execute(Parser* parser) {
    if (!prologue(parser, this)) return false;
    parser->_flowFlags |= kind == TOKEN_KEYWORD_BREAK ? 2 : 1;
    return true;
}

// --- run entry points ----------------------------------------------------------

bool Parser::executeScript(const Principal* principal, const ObjRef* root) {
    startRun(principal, root);
    bool ok = _script != nullptr && _script->execute(this);
    endRun();
    return ok;
}

bool Parser::executeExpression(const Principal* principal, const ObjRef* root, Any** result) {
    *result = nullptr;
    startRun(principal, root);
    Any v;
    bool ok = _expression != nullptr && valueInto(this, _expression, v);
    if (ok) *result = detach(v);
    endRun();
    return ok;
}
