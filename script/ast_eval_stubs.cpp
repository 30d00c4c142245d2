// Placeholders for the interpreter's half of the syntax tree, so that the
// lexer and parser (and their tests) link on their own. Every evaluation
// answers "Not Implemented". The interpreter replaces this file.
#include "common/error_codes.h"
#include "script/ast.h"
#include "script/function.h"
#include "script/location.h"
#include "script/parser.h"

namespace {
bool notImplemented(Parser* parser, AstNode* node, Any** result) {
    if (result != nullptr) *result = nullptr;
    if (parser != nullptr && !parser->_errorFlag) {
        parser->_errorFlag = true;
        if (parser->_error == nullptr) {
            Location** traceback = new Location*[2];
            traceback[0] = node != nullptr && node->getLocation() != nullptr ? new Location(*node->getLocation())
                                                                            : new Location(parser->getName(), nullptr, 1, 1);
            traceback[1] = nullptr;
            parser->_error = new Error(Error::EvalError, DirError::E_NOT_IMPLEMENTED, nullptr, traceback);
        }
    }
    return false;
}
}  // namespace

#define DRV_STUB_EVAL(Name) \
    bool Name::evaluate(Parser* parser, Any** result) { return notImplemented(parser, this, result); }
#define DRV_STUB_EXEC(Name) \
    bool Name::execute(Parser* parser) { return notImplemented(parser, this, nullptr); }

DRV_STUB_EVAL(LiteralAstNode)
DRV_STUB_EVAL(IdentAstNode)
DRV_STUB_EVAL(ObjectAstNode)
DRV_STUB_EVAL(ObjectFactoryAstNode)
DRV_STUB_EVAL(FnCallAstNode)
DRV_STUB_EVAL(ArrayDerefAstNode)
DRV_STUB_EVAL(MemberDerefAstNode)
DRV_STUB_EVAL(IncrementAstNode)
DRV_STUB_EVAL(DecrementAstNode)
DRV_STUB_EVAL(NegativeAstNode)
DRV_STUB_EVAL(BooleanNotAstNode)
DRV_STUB_EVAL(BitwiseNotAstNode)
DRV_STUB_EVAL(TypeofAstNode)
DRV_STUB_EVAL(MulAstNode)
DRV_STUB_EVAL(AddAstNode)
DRV_STUB_EVAL(ShiftAstNode)
DRV_STUB_EVAL(CompareAstNode)
DRV_STUB_EVAL(EqualsAstNode)
DRV_STUB_EVAL(BitwiseAndAstNode)
DRV_STUB_EVAL(BitwiseXorAstNode)
DRV_STUB_EVAL(BitwiseOrAstNode)
DRV_STUB_EVAL(LogicalAndAstNode)
DRV_STUB_EVAL(LogicalOrAstNode)
DRV_STUB_EVAL(AssignmentExprAstNode)
DRV_STUB_EVAL(ConditionalExpressionAstNode)

DRV_STUB_EXEC(StmtListAstNode)
DRV_STUB_EXEC(LetOrVarAstNode)
DRV_STUB_EXEC(AssignmentStmtAstNode)
DRV_STUB_EXEC(ReturnStmtAstNode)
DRV_STUB_EXEC(OutputStmt)
DRV_STUB_EXEC(IfStmtAstNode)
DRV_STUB_EXEC(WhileStmtAstNode)
DRV_STUB_EXEC(DoWhileStmtAstNode)
DRV_STUB_EXEC(ForStmtAstNode)
DRV_STUB_EXEC(SwitchStmtAstNode)
DRV_STUB_EXEC(FlowStmtAstNode)

bool UnaryExprAstNode::doIncDec(Parser* parser, Any** result, bool, int) {
    return notImplemented(parser, this, result);
}

int Function::call(Parser*, const Location*, Any** result, Any**) {
    *result = nullptr;
    return DirError::E_NOT_IMPLEMENTED;
}

void Parser::releaseRunState() {
    delete _rootScope;
    _rootScope = nullptr;
    delete _currentScope;
    _currentScope = nullptr;
    delete _switchValue;
    _switchValue = nullptr;
    delete _returnValue;
    _returnValue = nullptr;
}
