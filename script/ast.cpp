// Construction and destruction of the syntax tree.
#include "script/ast.h"

#include <stdlib.h>
#include <string.h>

#include "script/location.h"
#include "script/varset.h"

namespace {
char* copyOrNull(const char* text) {
    return text != nullptr ? strdup(text) : nullptr;
}
}  // namespace

const char* opcodeName(int opcode) {
#define DRV_OPCODE_NAME(code, name, text) \
    case code: return text;
    switch (opcode) { DRV_SCRIPT_OPCODES(DRV_OPCODE_NAME) }
#undef DRV_OPCODE_NAME
    return "";
}

AstNode::AstNode(Location* location) : location(location) {}

AstNode::~AstNode() {
    delete location;
}

StmtAstNode::~StmtAstNode() {
    delete preceding;
}

LiteralAstNode::LiteralAstNode(Location* location, Token* from) : ExprAstNode(location) {
    token.moveTo(from);
    // Template text belongs to the statement, never to a literal.
    free(token.text);
    token.text = nullptr;
    token.textLength = 0;
}

IdentAstNode::IdentAstNode(Location* location, const char* name)
    : ExprAstNode(location), name(strdup(name)), hash(VarSet::nameHash(name)) {}

IdentAstNode::~IdentAstNode() {
    free(name);
}

ObjectAstNode::ObjectAstNode(Location* location, Translatable* object) : ExprAstNode(location), object(object) {}

ObjectFactoryAstNode::~ObjectFactoryAstNode() {
    for (Entry& e : entries) {
        free(e.name);
        delete e.value;
    }
}

void ObjectFactoryAstNode::add(const char* name, ExprAstNode* value) {
    entries.push_back(Entry{copyOrNull(name), value});
}

FnCallAstNode::FnCallAstNode(Location* location, bool isNew, const char* className, const char* methodName,
                             ExprAstNode* target)
    : ExprAstNode(location),
      isNew(isNew),
      className(copyOrNull(className)),
      methodName(copyOrNull(methodName)),
      target(target) {}

FnCallAstNode::~FnCallAstNode() {
    free(className);
    free(methodName);
    delete target;
    for (ExprAstNode* a : args) delete a;
}

ArrayDerefAstNode::~ArrayDerefAstNode() {
    delete base;
    for (ExprAstNode* i : indexes) delete i;
}

MemberDerefAstNode::~MemberDerefAstNode() {
    delete object;
    delete member;
}

UnaryExprAstNode::~UnaryExprAstNode() {
    delete operand;
}

BinaryExprAstNode::~BinaryExprAstNode() {
    delete left;
    delete right;
}

AssignmentExprAstNode::~AssignmentExprAstNode() {
    // The operator node on the right owns a shared target.
    if (sharesTarget) left = nullptr;
}

ConditionalExpressionAstNode::~ConditionalExpressionAstNode() {
    delete condition;
    delete thenExpr;
    delete elseExpr;
}

LabelList::~LabelList() {
    for (Any* v : values) delete v;
}

bool LabelList::contains(const Any* value) const {
    if (value == nullptr) return false;
    for (const Any* v : values) {
        if (*v == *value) return true;
    }
    return false;
}

StmtListAstNode::~StmtListAstNode() {
    for (Entry& e : entries) {
        delete e.stmt;
        delete e.labels;
    }
}

void StmtListAstNode::add(StmtAstNode* stmt, LabelList* labels, bool isDefault) {
    entries.push_back(Entry{stmt, labels, isDefault});
}

LetOrVarAstNode::LetOrVarAstNode(Location* location, const char* name, ExprAstNode* init, int kind)
    : StmtAstNode(location), name(strdup(name)), hash(VarSet::nameHash(name)), init(init), kind(kind) {}

LetOrVarAstNode::~LetOrVarAstNode() {
    free(name);
    delete init;
}

AssignmentStmtAstNode::~AssignmentStmtAstNode() {
    delete expr;
}

ReturnStmtAstNode::~ReturnStmtAstNode() {
    delete expr;
}

OutputStmt::~OutputStmt() {
    free(text);
    delete expr;
}

IfStmtAstNode::~IfStmtAstNode() {
    for (StmtHelperEntry& e : entries) {
        delete e.condition;
        delete e.stmt;
    }
}

WhileStmtAstNode::~WhileStmtAstNode() {
    delete condition;
    delete body;
}

DoWhileStmtAstNode::~DoWhileStmtAstNode() {
    delete condition;
    delete body;
}

ForStmtAstNode::~ForStmtAstNode() {
    delete init;
    delete condition;
    delete finalExpr;
    delete body;
}

SwitchStmtAstNode::~SwitchStmtAstNode() {
    delete expr;
    delete body;
}
