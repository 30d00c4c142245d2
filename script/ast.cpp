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

namespace {
// The children waiting to be deleted by the deletion running on this
// thread, or null when none runs.
thread_local std::vector<AstNode*>* _pendingDeletes = nullptr;
}  // namespace

void AstNode::deleteChild(AstNode* child) {
    if (child == nullptr) return;
    if (_pendingDeletes != nullptr) {
        _pendingDeletes->push_back(child);
        return;
    }
    std::vector<AstNode*> pending{child};
    _pendingDeletes = &pending;
    while (!pending.empty()) {
        AstNode* node = pending.back();
        pending.pop_back();
        delete node;
    }
    _pendingDeletes = nullptr;
}

AstNode::~AstNode() {
    delete location;
}

StmtAstNode::~StmtAstNode() {
    deleteChild(preceding);
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
        deleteChild(e.value);
    }
}

void ObjectFactoryAstNode::add(const char* name, ExprAstNode* value) {
    size_t index = entries.size();
    entries.push_back(Entry{copyOrNull(name), value, index});
    if (kind != OBJECT_LITERAL) return;
    entries[index].first = firstNamed(index);
    if (entries[index].first != index) repeatsNames = true;
}

size_t ObjectFactoryAstNode::firstNamed(size_t index) {
    // A scan while the literal is short; past that an index of the names,
    // so that a long literal takes linear time to parse.
    const size_t kScanned = 16;
    const char* name = entries[index].name;
    if (_firstByName.empty()) {
        if (index < kScanned) {
            for (size_t i = 0; i < index; i++)
                if (strcmp(entries[i].name, name) == 0) return entries[i].first;
            return index;
        }
        for (size_t i = 0; i < index; i++) _firstByName.emplace(entries[i].name, entries[i].first);
    }
    return _firstByName.emplace(name, index).first->second;
}

FnCallAstNode::FnCallAstNode(Location* location, bool isNew, const char* className, const char* methodName,
                             ExprAstNode* target)
    : ExprAstNode(location),
      isNew(isNew),
      className(copyOrNull(className)),
      methodName(copyOrNull(methodName)),
      target(target) {
    if (target == nullptr || target->getType() != 1) return;
    auto* m = static_cast<MemberDerefAstNode*>(target);
    m->callFallback = m->object->getType() == 2 && m->member->isIdentifier();
}

FnCallAstNode::~FnCallAstNode() {
    free(className);
    free(methodName);
    deleteChild(target);
    for (ExprAstNode* a : args) deleteChild(a);
}

ArrayDerefAstNode::~ArrayDerefAstNode() {
    deleteChild(base);
    for (ExprAstNode* i : indexes) deleteChild(i);
}

MemberDerefAstNode::~MemberDerefAstNode() {
    deleteChild(object);
    deleteChild(member);
}

UnaryExprAstNode::~UnaryExprAstNode() {
    deleteChild(operand);
}

BinaryExprAstNode::~BinaryExprAstNode() {
    deleteChild(left);
    deleteChild(right);
}

AssignmentExprAstNode::~AssignmentExprAstNode() {
    // The operator node on the right owns a shared target.
    if (sharesTarget) left = nullptr;
}

ConditionalExpressionAstNode::~ConditionalExpressionAstNode() {
    deleteChild(condition);
    deleteChild(thenExpr);
    deleteChild(elseExpr);
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
        deleteChild(e.stmt);
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
    deleteChild(init);
}

AssignmentStmtAstNode::~AssignmentStmtAstNode() {
    deleteChild(expr);
}

ReturnStmtAstNode::~ReturnStmtAstNode() {
    deleteChild(expr);
}

OutputStmt::~OutputStmt() {
    free(text);
    deleteChild(expr);
}

IfStmtAstNode::~IfStmtAstNode() {
    for (StmtHelperEntry& e : entries) {
        deleteChild(e.condition);
        deleteChild(e.stmt);
    }
}

WhileStmtAstNode::~WhileStmtAstNode() {
    deleteChild(condition);
    deleteChild(body);
}

DoWhileStmtAstNode::~DoWhileStmtAstNode() {
    deleteChild(condition);
    deleteChild(body);
}

ForStmtAstNode::~ForStmtAstNode() {
    deleteChild(init);
    deleteChild(condition);
    deleteChild(finalExpr);
    deleteChild(body);
}

SwitchStmtAstNode::~SwitchStmtAstNode() {
    deleteChild(expr);
    deleteChild(body);
}
