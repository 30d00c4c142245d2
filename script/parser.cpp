// The recursive-descent parser: statements, expressions, template output,
// syntax errors and the debug output.
#include "script/parser.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "common/log.h"
#include "script/function.h"
#include "script/location.h"

ParserOutput::~ParserOutput() {}

// Counts one level of rule nesting for as long as it lives; ok is false
// (and a syntax error recorded) when the limit is passed.
class NestingGuard {
public:
    explicit NestingGuard(Parser* parser, int cost = 1) : _parser(parser), _cost(cost), ok(parser->enter(cost)) {}
    ~NestingGuard() {
        if (ok) _parser->leave(_cost);
    }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

private:
    Parser* _parser;
    int _cost;

public:
    const bool ok;
};

namespace {
// A '/' in the token after t may begin a regular-expression literal.
bool regexAfter(const Token& t) {
    return (t.type == TOKEN_PUNCT && !t.isPunct(')')) || t.type == TOKEN_KEYWORD_TYPEOF;
}

bool isNumberToken(int type) {
    return type == TOKEN_INTEGER || type == TOKEN_LONG_INTEGER || type == TOKEN_DOUBLE || type == TOKEN_FLOAT;
}

const size_t kMaxClassName = 255;
}  // namespace

Parser::Parser(const char* name, const char* source, const ObjRef* root, int line, int column, bool templateMode) {
    init(name, root);
    _lex = new Lex(source, line, column, templateMode);
    start();
}

Parser::Parser(const char* name, LexStream* in, const ObjRef* root, int line, int column, bool templateMode) {
    init(name, root);
    _lex = new Lex(in, line, column, templateMode);
    start();
}

void Parser::init(const char* name, const ObjRef* root) {
    dumpDepth = 0;
    _principal = nullptr;
    _rootScope = root != nullptr && root->get() != nullptr ? new ObjRef(*root) : nullptr;
    _currentScope = nullptr;
    _flowFlags = 0;
    _switchValue = nullptr;
    _returnValue = nullptr;
    _error = nullptr;
    _errorFlag = false;
    _lex = nullptr;
    _name = strdup(name != nullptr ? name : "");
    _debugLevel = _debug_sel;
    _debugStream = nullptr;
    _output = nullptr;
    _lineBuffer[0] = 0;
    _lineUsed = 0;
    _expression = nullptr;
    _script = nullptr;
    _newSeen = false;
    _nesting = 0;
    _maxNesting = kDefaultMaxNesting;
}

void Parser::start() {
    _t1.regexAllowed = false;
    _lex->nextToken(&_t1);
    _t2.regexAllowed = regexAfter(_t1);
    _lex->nextToken(&_t2);
    _t3.regexAllowed = regexAfter(_t2);
    _lex->nextToken(&_t3);
}

Parser::~Parser() {
    releaseRunState();
    delete _expression;
    delete _script;
    delete _error;
    delete _lex;
    free(_name);
}

void Parser::advance() {
    _t1.moveTo(&_t2);
    _t2.moveTo(&_t3);
    _t3.regexAllowed = regexAfter(_t2);
    _lex->nextToken(&_t3);
}

bool Parser::enter(int cost) {
    if (_nesting + cost > _maxNesting) {
        pError("Script nested too deeply");
        return false;
    }
    _nesting += cost;
    return true;
}

// ---------------------------------------------------------------------------
// Errors and debug output

void Parser::pError(const char* message) {
    pError(message, _t1.getLocation(this));
}

void Parser::pError(const char* message, Location* location) {
    _errorFlag = true;
    // Rules that fail after an inner one has recorded its error add
    // nothing: the first message is the one that says what went wrong.
    if (_error != nullptr) {
        delete location;
        return;
    }
    if (_debugLevel <= 2) {
        printf(2, "Syntax error: %s at t1: ", message);
        _t1.print(this);
        printf(2, "\n");
    }
    Location** traceback = new Location*[2];
    traceback[0] = location;
    traceback[1] = nullptr;
    _error = new Error(Error::SyntaxError, DirError::E_SYNTAX, message, traceback);
}

void Parser::printf(int level, const char* format, ...) {
    if (_debugLevel > level) return;
    char text[4096];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    if (_debugStream != nullptr) _debugStream->write(text, length);
    if (_debug_sel >= 3) return;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            _lineBuffer[_lineUsed] = 0;
            log(0, "Sel: %s", _lineBuffer);
            _lineUsed = 0;
        } else if (_lineUsed < sizeof _lineBuffer - 1) {
            _lineBuffer[_lineUsed++] = text[i];
        }
    }
}

void Parser::traceState(const char* what) {
    if (_debugLevel > 2) return;
    printf(2, "%s: t1: ", what);
    _t1.print(this);
    printf(2, ", t2: ");
    _t2.print(this);
    printf(2, ", t3: ");
    _t3.print(this);
    printf(2, "\n");
}

void Parser::dump() {
    dumpDepth = 0;
    if (_script != nullptr) {
        _script->dump(this);
    } else if (_expression != nullptr) {
        _expression->dump(this);
    }
}

// ---------------------------------------------------------------------------
// Entry points

bool Parser::parse() {
    traceState("Inital State");
    delete _expression;
    _expression = nullptr;
    ExprAstNode* e = assignment();
    if (e == nullptr) return false;
    if (_t1.type != TOKEN_END) {
        delete e;
        pError("Unexpected input at end");
        return false;
    }
    _expression = e;
    return true;
}

bool Parser::parseScript() {
    traceState("Inital State");
    delete _script;
    _script = nullptr;
    StmtListAstNode* list = statements(false, _t1.getLocation(this));
    if (list == nullptr) return false;
    if (_t1.type != TOKEN_END) {
        delete list;
        pError("Unexpected input at end");
        return false;
    }
    _script = list;
    return true;
}

// ---------------------------------------------------------------------------
// Statements

OutputStmt* Parser::takeText() {
    char* text = _t1.text;
    size_t length = _t1.textLength;
    _t1.text = nullptr;
    _t1.textLength = 0;
    return new OutputStmt(_t1.getLocation(this), text, length, nullptr);
}

StmtListAstNode* Parser::statements(bool isBlock, Location* location) {
    NestingGuard guard(this);
    if (!guard.ok) {
        delete location;
        return nullptr;
    }
    StmtListAstNode* list = new StmtListAstNode(location, isBlock);
    for (;;) {
        if (_t1.type == TOKEN_END || _t1.isPunct('}')) {
            if (_t1.text != nullptr) list->add(takeText(), nullptr, false);
            return list;
        }
        // Text in front of a label is output before the labelled entry, so
        // a switch that jumps to the label skips it.
        if (_t1.text != nullptr && (_t1.type == TOKEN_KEYWORD_CASE || _t1.type == TOKEN_KEYWORD_DEFAULT)) {
            if (_t1.outputExpression) {
                pError("Primary expression expected");
                delete list;
                return nullptr;
            }
            list->add(takeText(), nullptr, false);
        }
        LabelList* caseLabels = nullptr;
        bool isDefault = false;
        if (!labels(&caseLabels, &isDefault)) {
            delete list;
            return nullptr;
        }
        StmtAstNode* stmt = statement();
        if (stmt == nullptr) {
            delete caseLabels;
            delete list;
            return nullptr;
        }
        list->add(stmt, caseLabels, isDefault);
    }
}

bool Parser::labels(LabelList** out, bool* isDefault) {
    for (;;) {
        if (_t1.type == TOKEN_KEYWORD_DEFAULT) {
            advance();
            if (!_t1.isPunct(':')) {
                pError("Expected ':' after 'default'");
                break;
            }
            advance();
            *isDefault = true;
            continue;
        }
        if (_t1.type != TOKEN_KEYWORD_CASE) return true;
        advance();
        bool negative = _t1.isPunct('-');
        if (negative) advance();
        Any* value = nullptr;
        if (isNumberToken(_t1.type)) {
            value = new Any(_t1.value);
            if (negative) {
                // Negation wraps like the rest of the integer arithmetic.
                switch (value->getType()) {
                case ANY_INT32: value->setInt32(static_cast<int32_t>(0u - static_cast<uint32_t>(value->getInt32()))); break;
                case ANY_INT64: value->setInt64(static_cast<int64_t>(0ull - static_cast<uint64_t>(value->getInt64()))); break;
                case ANY_FLOAT: value->setFloat(-value->getFloat()); break;
                default: value->setDouble(-value->getDouble()); break;
                }
            }
        } else if (!negative && (_t1.type == TOKEN_BOOL || _t1.type == TOKEN_STRING)) {
            value = new Any(_t1.value);
        } else if (!negative && _t1.type == TOKEN_LITERAL_NULL) {
            value = new Any();
        } else {
            pError("Expected literal value after 'case'");
            break;
        }
        advance();
        if (!_t1.isPunct(':')) {
            delete value;
            pError("Expected ':' after 'case' <literal>");
            break;
        }
        advance();
        if (*out == nullptr) *out = new LabelList();
        (*out)->add(value);
    }
    delete *out;
    *out = nullptr;
    return false;
}

StmtAstNode* Parser::statement() {
    NestingGuard guard(this);
    if (!guard.ok) return nullptr;
    OutputStmt* output = nullptr;
    if (_t1.text != nullptr) {
        bool isExpression = _t1.outputExpression;
        output = takeText();
        if (isExpression) {
            // "<? expression ?>": the statement is the output itself, with
            // no ';' after the expression.
            ExprAstNode* e = assignment();
            if (e == nullptr) {
                delete output;
                return nullptr;
            }
            output->expr = e;
            return output;
        }
    }
    StmtAstNode* stmt = statementProper();
    if (stmt == nullptr) {
        delete output;
        return nullptr;
    }
    stmt->preceding = output;
    return stmt;
}

bool Parser::expectSemicolon(const char* message) {
    if (!_t1.isPunct(';')) {
        pError(message);
        return false;
    }
    advance();
    return true;
}

StmtAstNode* Parser::statementProper() {
    switch (_t1.type) {
    case TOKEN_KEYWORD_VAR:
    case TOKEN_KEYWORD_LET: return varStatement();
    case TOKEN_KEYWORD_IF: return ifStatement();
    case TOKEN_KEYWORD_WHILE: return whileStatement();
    case TOKEN_KEYWORD_DO: return doStatement();
    case TOKEN_KEYWORD_FOR: return forStatement();
    case TOKEN_KEYWORD_SWITCH: return switchStatement();
    case TOKEN_KEYWORD_FUNCTION: return functionStatement();
    case TOKEN_KEYWORD_BREAK:
    case TOKEN_KEYWORD_CONTINUE: {
        int kind = _t1.type;
        Location* location = _t1.getLocation(this);
        advance();
        if (!expectSemicolon("Expected ';' to follow statement.")) {
            delete location;
            return nullptr;
        }
        return new FlowStmtAstNode(location, kind);
    }
    case TOKEN_KEYWORD_RETURN: {
        Location* location = _t1.getLocation(this);
        advance();
        ExprAstNode* e = assignment();
        if (e == nullptr || !expectSemicolon("Expected ';' to follow statement.")) {
            delete location;
            delete e;
            return nullptr;
        }
        return new ReturnStmtAstNode(location, e);
    }
    default: break;
    }
    if (_t1.isPunct('{')) {
        Location* location = _t1.getLocation(this);
        advance();
        StmtListAstNode* list = statements(true, new Location(*location));
        if (list == nullptr) {
            delete location;
            return nullptr;
        }
        if (!_t1.isPunct('}')) {
            delete list;
            pError("Unmatched '{'", location);
            return nullptr;
        }
        delete location;
        advance();
        return list;
    }
    Location* location = _t1.getLocation(this);
    ExprAstNode* e = assignment();
    if (e == nullptr || !expectSemicolon("Expected ';' to follow statement.")) {
        delete location;
        delete e;
        return nullptr;
    }
    return new AssignmentStmtAstNode(location, e);
}

StmtAstNode* Parser::varStatement() {
    int kind = _t1.type == TOKEN_KEYWORD_VAR ? LetOrVarAstNode::VAR : LetOrVarAstNode::LET;
    Location* location = _t1.getLocation(this);
    advance();
    StmtAstNode* first = nullptr;
    StmtListAstNode* several = nullptr;
    for (;;) {
        if (_t1.type != TOKEN_IDENT) {
            pError("Identifier expected after 'var' or 'let'");
            break;
        }
        Location* nameLocation = _t1.getLocation(this);
        std::string name = _t1.value.getString();
        advance();
        ExprAstNode* init = nullptr;
        if (_t1.isPunct('=') && !_t2.isPunct('=')) {
            advance();
            init = assignment();
            if (init == nullptr) {
                delete nameLocation;
                break;
            }
        } else if (_t1.type == TOKEN_PUNCT && !_t1.isPunct(',') && !_t1.isPunct(';')) {
            delete nameLocation;
            pError("'=' operator expected after 'var' or 'let' <identifier>");
            break;
        }
        StmtAstNode* decl = new LetOrVarAstNode(nameLocation, name.c_str(), init, kind);
        if (first == nullptr) {
            first = decl;
        } else {
            if (several == nullptr) {
                several = new StmtListAstNode(new Location(*location), false);
                several->add(first, nullptr, false);
            }
            several->add(decl, nullptr, false);
        }
        if (_t1.isPunct(',')) {
            advance();
            continue;
        }
        if (_t1.isPunct(';')) {
            advance();
            delete location;
            return several != nullptr ? several : first;
        }
        pError("Expected ';' or ',' to follow statement.");
        break;
    }
    delete location;
    if (several != nullptr) {
        delete several;
    } else {
        delete first;
    }
    return nullptr;
}

StmtAstNode* Parser::ifStatement() {
    IfStmtAstNode* node = new IfStmtAstNode(_t1.getLocation(this));
    advance();
    bool elseIf = false;
    for (;;) {
        if (!_t1.isPunct('(')) {
            pError("Expected '(' after 'if' keyword");
            break;
        }
        advance();
        ExprAstNode* condition = assignment();
        if (condition == nullptr) {
            pError(elseIf ? "Expected expression after 'else if ('" : "Expected expression after 'if ('");
            break;
        }
        if (!_t1.isPunct(')')) {
            delete condition;
            pError(elseIf ? "Expected ')' after 'else if ( <expression> '" : "Expected ')' after 'if ( <expression> '");
            break;
        }
        advance();
        StmtAstNode* stmt = statement();
        if (stmt == nullptr) {
            delete condition;
            break;
        }
        node->entries.push_back(StmtHelperEntry{condition, stmt});
        if (_t1.type != TOKEN_KEYWORD_ELSE) return node;
        if (_t2.type == TOKEN_KEYWORD_IF) {
            advance();
            advance();
            elseIf = true;
            continue;
        }
        advance();
        StmtAstNode* otherwise = statement();
        if (otherwise == nullptr) break;
        node->entries.push_back(StmtHelperEntry{nullptr, otherwise});
        return node;
    }
    delete node;
    return nullptr;
}

StmtAstNode* Parser::whileStatement() {
    Location* location = _t1.getLocation(this);
    advance();
    ExprAstNode* condition = nullptr;
    if (!_t1.isPunct('(')) {
        pError("Expected '(' after 'while' keyword");
    } else {
        advance();
        condition = assignment();
        if (condition == nullptr) {
            pError("Expected expression after 'while ('");
        } else if (!_t1.isPunct(')')) {
            pError("Expected ')' after 'while ( <expression> '");
        } else {
            advance();
            StmtAstNode* body = statement();
            if (body != nullptr) return new WhileStmtAstNode(location, condition, body);
        }
    }
    delete condition;
    delete location;
    return nullptr;
}

StmtAstNode* Parser::doStatement() {
    Location* location = _t1.getLocation(this);
    advance();
    StmtAstNode* body = statement();
    ExprAstNode* condition = nullptr;
    if (body == nullptr) {
        // recorded inside
    } else if (_t1.type != TOKEN_KEYWORD_WHILE) {
        pError("Expected 'while' after 'do' <statement>");
    } else if (advance(), !_t1.isPunct('(')) {
        pError("Expected '(' after 'while' keyword");
    } else if (advance(), (condition = assignment()) == nullptr) {
        pError("Expected expression after 'do ... while ('");
    } else if (!_t1.isPunct(')')) {
        pError("Expected ')' after 'while ( <expression> '");
    } else if (advance(), !_t1.isPunct(';')) {
        pError("Expected ';' after 'do .. while ( <expression> )'");
    } else {
        advance();
        return new DoWhileStmtAstNode(location, condition, body);
    }
    delete body;
    delete condition;
    delete location;
    return nullptr;
}

StmtAstNode* Parser::forStatement() {
    Location* location = _t1.getLocation(this);
    advance();
    StmtAstNode* init = nullptr;
    ExprAstNode* condition = nullptr;
    ExprAstNode* finalExpr = nullptr;
    if (!_t1.isPunct('(')) {
        pError("Expected '(' after 'for' keyword");
    } else if (advance(), (init = statement()) == nullptr) {
        pError("Expected initial statement after 'for ('");
    } else if ((condition = conditional()) == nullptr) {
        // recorded inside
    } else if (!_t1.isPunct(';')) {
        pError("Expected ';' after 'for ( <expression> ; <condition> '");
    } else if (advance(), (finalExpr = assignment()) == nullptr) {
        // recorded inside
    } else if (!_t1.isPunct(')')) {
        pError("Expected ')' after 'for ( <expression> ; <condition> ; <final> '");
    } else {
        advance();
        StmtAstNode* body = statement();
        if (body != nullptr) return new ForStmtAstNode(location, init, condition, finalExpr, body);
    }
    delete init;
    delete condition;
    delete finalExpr;
    delete location;
    return nullptr;
}

StmtAstNode* Parser::switchStatement() {
    Location* location = _t1.getLocation(this);
    advance();
    ExprAstNode* expr = nullptr;
    StmtListAstNode* body = nullptr;
    if (!_t1.isPunct('(')) {
        pError("Expected '(' after 'switch' keyword");
    } else if (advance(), (expr = assignment()) == nullptr) {
        pError("Expected expression after 'switch ('");
    } else if (!_t1.isPunct(')')) {
        pError("Expected ')' after 'switch ( <expression> '");
    } else if (advance(), !_t1.isPunct('{')) {
        pError("Expected '{' to start body of switch statement");
    } else {
        Location* bodyLocation = _t1.getLocation(this);
        advance();
        body = statements(false, bodyLocation);
        if (body == nullptr) {
            // recorded inside
        } else if (!_t1.isPunct('}')) {
            pError("Expected '}' to end body of switch statement");
        } else {
            advance();
            return new SwitchStmtAstNode(location, expr, body);
        }
    }
    delete expr;
    delete body;
    delete location;
    return nullptr;
}

StmtAstNode* Parser::functionStatement() {
    Location* location = _t1.getLocation(this);
    advance();
    if (_t1.type != TOKEN_IDENT) {
        delete location;
        pError("function name expected after the 'function' keyword");
        return nullptr;
    }
    std::string name = _t1.value.getString();
    Location* nameLocation = _t1.getLocation(this);
    advance();
    Function* fn = functionRest(name.c_str(), new Location(*location));
    if (fn == nullptr || !expectSemicolon("Expected ';' to follow statement.")) {
        delete fn;
        delete nameLocation;
        delete location;
        return nullptr;
    }
    // The declaration is an assignment of the new function to its name, so
    // the function exists once the statement has run.
    ExprAstNode* target = new IdentAstNode(nameLocation, name.c_str());
    ExprAstNode* value = new ObjectAstNode(new Location(*location), fn);
    ExprAstNode* assign = new AssignmentExprAstNode(new Location(*location), target, value, false);
    return new AssignmentStmtAstNode(location, assign);
}

Function* Parser::functionRest(const char* name, Location* location) {
    std::vector<char*> args;
    StmtListAstNode* body = nullptr;
    Function* fn = nullptr;
    if (!_t1.isPunct('(')) {
        pError("Argument list starting with '(' expected after 'function <functionName>'");
        delete location;
        return nullptr;
    }
    advance();
    bool ok = true;
    if (_t1.type == TOKEN_IDENT) {
        args.push_back(strdup(_t1.value.getString()));
        advance();
        while (ok && _t1.isPunct(',')) {
            advance();
            if (_t1.type != TOKEN_IDENT) {
                pError("variable name expected in argument list");
                ok = false;
            } else {
                args.push_back(strdup(_t1.value.getString()));
                advance();
            }
        }
    } else if (!_t1.isPunct(')')) {
        pError("variable name expected after 'function <functionName> ('");
        ok = false;
    }
    if (!ok) {
        // recorded above
    } else if (!_t1.isPunct(')')) {
        pError("Expected ')' after arguments");
    } else if (advance(), !_t1.isPunct('{')) {
        pError("Expected '{' to start body of function after arguments");
    } else {
        Location* bodyLocation = _t1.getLocation(this);
        advance();
        body = statements(false, bodyLocation);
        if (body == nullptr) {
            // recorded inside
        } else if (!_t1.isPunct('}')) {
            pError("Expected '}' to terminate body of function");
        } else {
            advance();
            fn = new Function(name, args, body, location);
            body = nullptr;
            location = nullptr;
        }
    }
    for (char* a : args) free(a);
    delete body;
    delete location;
    return fn;
}

// ---------------------------------------------------------------------------
// Expressions. Every binary level is an operand optionally followed by an
// operator and the same level again, so chains nest to the right.

namespace {
enum BinaryKind { MUL, ADD, SHIFT, COMPARE, EQUALS, BIT_AND, BIT_XOR, BIT_OR, LOGICAL_AND, LOGICAL_OR };

ExprAstNode* makeBinary(BinaryKind kind, Location* location, ExprAstNode* left, ExprAstNode* right, int opcode) {
    switch (kind) {
    case MUL: return new MulAstNode(location, left, right, opcode);
    case ADD: return new AddAstNode(location, left, right, opcode);
    case SHIFT: return new ShiftAstNode(location, left, right, opcode);
    case COMPARE: return new CompareAstNode(location, left, right, opcode);
    case EQUALS: return new EqualsAstNode(location, left, right, opcode);
    case BIT_AND: return new BitwiseAndAstNode(location, left, right, OP_BITWISE_AND);
    case BIT_XOR: return new BitwiseXorAstNode(location, left, right, OP_BITWISE_XOR);
    case BIT_OR: return new BitwiseOrAstNode(location, left, right, OP_BITWISE_OR);
    case LOGICAL_AND: return new LogicalAndAstNode(location, left, right, OP_LOGICAL_AND);
    case LOGICAL_OR: return new LogicalOrAstNode(location, left, right, OP_LOGICAL_OR);
    }
    return nullptr;
}
}  // namespace

// left, then the operator of `tokens` punctuation tokens at t1, then the
// right operand parsed by `rest`.
ExprAstNode* Parser::binaryRest(ExprAstNode* left, int kind, int opcode, int tokens, ExprAstNode* (Parser::*rest)()) {
    Location* location = _t1.getLocation(this);
    for (int i = 0; i < tokens; ++i) advance();
    NestingGuard guard(this);
    ExprAstNode* right = guard.ok ? (this->*rest)() : nullptr;
    if (right == nullptr) {
        pError("Expression expected");
        delete left;
        delete location;
        return nullptr;
    }
    return makeBinary(static_cast<BinaryKind>(kind), location, left, right, opcode);
}

ExprAstNode* Parser::assignment() {
    // A parenthesis costs two: it recurses through every precedence level.
    NestingGuard guard(this, 2);
    if (!guard.ok) return nullptr;
    ExprAstNode* target = conditional();
    if (target == nullptr) return nullptr;
    int op = 0;
    if (_t1.isPunct('=') && !_t2.isPunct('=')) {
        op = '=';
    } else if (_t2.isPunct('=') &&
               (_t1.isPunct('+') || _t1.isPunct('-') || _t1.isPunct('*') || _t1.isPunct('/') || _t1.isPunct('%'))) {
        op = _t1.value.getInt32();
    }
    if (op == 0) return target;
    Location* location = _t1.getLocation(this);
    advance();
    if (op != '=') advance();
    ExprAstNode* value = assignment();
    if (value == nullptr) {
        pError("Expression expected on the right side of '='");
        delete target;
        delete location;
        return nullptr;
    }
    if (op == '=') return new AssignmentExprAstNode(location, target, value, false);
    // t op= v is t = t op v with the same node t on both sides.
    ExprAstNode* combined;
    Location* opLocation = new Location(*location);
    switch (op) {
    case '+': combined = new AddAstNode(opLocation, target, value, OP_ADD); break;
    case '-': combined = new AddAstNode(opLocation, target, value, OP_SUB); break;
    case '*': combined = new MulAstNode(opLocation, target, value, OP_MUL); break;
    case '/': combined = new MulAstNode(opLocation, target, value, OP_DIV); break;
    default: combined = new MulAstNode(opLocation, target, value, OP_MOD); break;
    }
    return new AssignmentExprAstNode(location, target, combined, true);
}

ExprAstNode* Parser::conditional() {
    ExprAstNode* condition = logicalOr();
    if (condition == nullptr || !_t1.isPunct('?')) return condition;
    Location* location = _t1.getLocation(this);
    advance();
    NestingGuard guard(this);
    ExprAstNode* thenExpr = guard.ok ? conditional() : nullptr;
    ExprAstNode* elseExpr = nullptr;
    if (thenExpr == nullptr) {
        pError("Expression expected");
    } else if (!_t1.isPunct(':')) {
        pError("Expected ':' after 'expression ? expression ");
    } else if (advance(), (elseExpr = assignment()) == nullptr) {
        pError("Expected assignment expression after ':' in '?' operator");
    } else {
        return new ConditionalExpressionAstNode(location, condition, thenExpr, elseExpr);
    }
    delete condition;
    delete thenExpr;
    delete location;
    return nullptr;
}

ExprAstNode* Parser::logicalOr() {
    ExprAstNode* left = logicalAnd();
    if (left != nullptr && is2('|', '|')) return binaryRest(left, LOGICAL_OR, OP_LOGICAL_OR, 2, &Parser::logicalOr);
    return left;
}

ExprAstNode* Parser::logicalAnd() {
    ExprAstNode* left = bitwiseOr();
    if (left != nullptr && is2('&', '&')) return binaryRest(left, LOGICAL_AND, OP_LOGICAL_AND, 2, &Parser::logicalAnd);
    return left;
}

ExprAstNode* Parser::bitwiseOr() {
    ExprAstNode* left = bitwiseXor();
    if (left != nullptr && _t1.isPunct('|') && !_t2.isPunct('|')) {
        return binaryRest(left, BIT_OR, OP_BITWISE_OR, 1, &Parser::bitwiseOr);
    }
    return left;
}

ExprAstNode* Parser::bitwiseXor() {
    ExprAstNode* left = bitwiseAnd();
    if (left != nullptr && _t1.isPunct('^')) return binaryRest(left, BIT_XOR, OP_BITWISE_XOR, 1, &Parser::bitwiseXor);
    return left;
}

ExprAstNode* Parser::bitwiseAnd() {
    ExprAstNode* left = equals();
    if (left != nullptr && _t1.isPunct('&') && !_t2.isPunct('&')) {
        return binaryRest(left, BIT_AND, OP_BITWISE_AND, 1, &Parser::bitwiseAnd);
    }
    return left;
}

ExprAstNode* Parser::equals() {
    ExprAstNode* left = compare();
    if (left == nullptr) return nullptr;
    if (is3('=', '=', '=')) return binaryRest(left, EQUALS, OP_SEQ, 3, &Parser::equals);
    if (is2('=', '=')) return binaryRest(left, EQUALS, OP_EQ, 2, &Parser::equals);
    if (is3('!', '=', '=')) return binaryRest(left, EQUALS, OP_SNE, 3, &Parser::equals);
    if (is2('!', '=')) return binaryRest(left, EQUALS, OP_NE, 2, &Parser::equals);
    return left;
}

ExprAstNode* Parser::compare() {
    if (_t1.type == TOKEN_KEYWORD_TYPEOF) {
        // typeof takes the whole comparison after it.
        Location* location = _t1.getLocation(this);
        advance();
        NestingGuard guard(this);
        ExprAstNode* operand = guard.ok ? compare() : nullptr;
        if (operand == nullptr) {
            delete location;
            return nullptr;
        }
        return new TypeofAstNode(location, operand);
    }
    ExprAstNode* left = shift();
    if (left == nullptr) return nullptr;
    if (is2('<', '=')) return binaryRest(left, COMPARE, OP_LE, 2, &Parser::compare);
    if (is2('>', '=')) return binaryRest(left, COMPARE, OP_GE, 2, &Parser::compare);
    if (_t1.isPunct('<') && !_t2.isPunct('<')) return binaryRest(left, COMPARE, OP_LT, 1, &Parser::compare);
    if (_t1.isPunct('>') && !_t2.isPunct('>')) return binaryRest(left, COMPARE, OP_GT, 1, &Parser::compare);
    return left;
}

ExprAstNode* Parser::shift() {
    ExprAstNode* left = add();
    if (left == nullptr) return nullptr;
    if (is2('<', '<')) return binaryRest(left, SHIFT, OP_SHL, 2, &Parser::shift);
    if (is3('>', '>', '>')) return binaryRest(left, SHIFT, OP_USHR, 3, &Parser::shift);
    if (is2('>', '>')) return binaryRest(left, SHIFT, OP_SHR, 2, &Parser::shift);
    return left;
}

ExprAstNode* Parser::add() {
    ExprAstNode* left = mul();
    if (left == nullptr || _t2.isPunct('=')) return left;
    if (_t1.isPunct('+')) return binaryRest(left, ADD, OP_ADD, 1, &Parser::add);
    if (_t1.isPunct('-')) return binaryRest(left, ADD, OP_SUB, 1, &Parser::add);
    return left;
}

ExprAstNode* Parser::mul() {
    ExprAstNode* left = unary();
    if (left == nullptr || _t2.isPunct('=')) return left;
    if (_t1.isPunct('*')) return binaryRest(left, MUL, OP_MUL, 1, &Parser::mul);
    if (_t1.isPunct('/')) return binaryRest(left, MUL, OP_DIV, 1, &Parser::mul);
    if (_t1.isPunct('%')) return binaryRest(left, MUL, OP_MOD, 1, &Parser::mul);
    return left;
}

ExprAstNode* Parser::unary() {
    // At most one prefix operator; ++ and -- only when their two
    // characters touch.
    enum { NONE, INC, DEC, PLUS, MINUS, NOT, BITNOT } prefix = NONE;
    Location* location = _t1.getLocation(this);
    if (is2('+', '+') && !_t2.spaceBefore) {
        prefix = INC;
    } else if (is2('-', '-') && !_t2.spaceBefore) {
        prefix = DEC;
    } else if (_t1.isPunct('+')) {
        prefix = PLUS;
    } else if (_t1.isPunct('-')) {
        prefix = MINUS;
    } else if (_t1.isPunct('!')) {
        prefix = NOT;
    } else if (_t1.isPunct('~')) {
        prefix = BITNOT;
    }
    if (prefix == INC || prefix == DEC) advance();
    if (prefix != NONE) advance();
    ExprAstNode* e = postfix();
    if (e == nullptr) {
        delete location;
        return nullptr;
    }
    switch (prefix) {
    case INC: e = new IncrementAstNode(location, e, true); break;
    case DEC: e = new DecrementAstNode(location, e, true); break;
    case MINUS: e = new NegativeAstNode(location, e); break;
    case NOT: e = new BooleanNotAstNode(location, e); break;
    case BITNOT: e = new BitwiseNotAstNode(location, e); break;
    default: delete location; break;  // unary + builds no node
    }
    // A postfix ++ or -- applies to the whole unary expression before it.
    if (is2('+', '+')) {
        Location* at = _t1.getLocation(this);
        advance();
        advance();
        e = new IncrementAstNode(at, e, false);
    } else if (is2('-', '-')) {
        Location* at = _t1.getLocation(this);
        advance();
        advance();
        e = new DecrementAstNode(at, e, false);
    }
    return e;
}

ExprAstNode* Parser::postfix() {
    ExprAstNode* e = newOrPrimary();
    if (e == nullptr) return nullptr;
    // Each postfix operation wraps the tree once more; they count against
    // the nesting limit like recursion does.
    int wrapped = 0;
    bool ok = true;
    for (bool first = true; ok; first = false) {
        bool member = _t1.isPunct('.');
        if (!member && !_t1.isPunct('[') && !_t1.isPunct('(')) break;
        if (!enter(1)) {
            ok = false;
            break;
        }
        ++wrapped;
        Location* location = _t1.getLocation(this);
        if (member && ((first && !_newSeen) || !(_t2.type == TOKEN_IDENT && _t3.isPunct('(')))) {
            advance();
            ExprAstNode* m = newOrPrimary();
            if (m == nullptr) {
                delete location;
                ok = false;
            } else {
                e = new MemberDerefAstNode(location, e, m);
            }
        } else if (member) {
            advance();
            std::string method = _t1.value.getString();
            advance();
            FnCallAstNode* call = new FnCallAstNode(location, false, nullptr, method.c_str(), e);
            e = call;
            ok = arguments(call);
        } else if (_t1.isPunct('[')) {
            ArrayDerefAstNode* deref = new ArrayDerefAstNode(location, e);
            e = deref;
            while (ok && _t1.isPunct('[')) {
                advance();
                ExprAstNode* index = assignment();
                if (index == nullptr) {
                    ok = false;
                } else {
                    deref->indexes.push_back(index);
                    if (!_t1.isPunct(']')) {
                        pError("']' expected");
                        ok = false;
                    } else {
                        advance();
                    }
                }
            }
        } else {
            FnCallAstNode* call = new FnCallAstNode(location, false, nullptr, nullptr, e);
            e = call;
            ok = arguments(call);
        }
    }
    _nesting -= wrapped;
    if (!ok) {
        delete e;
        return nullptr;
    }
    return e;
}

bool Parser::arguments(FnCallAstNode* call) {
    if (!_t1.isPunct('(')) {
        pError("Expected '('");
        return false;
    }
    advance();
    if (_t1.isPunct(')')) {
        advance();
        return true;
    }
    for (;;) {
        ExprAstNode* arg = assignment();
        if (arg == nullptr) return false;
        call->args.push_back(arg);
        if (_t1.isPunct(',')) {
            advance();
            continue;
        }
        if (_t1.isPunct(')')) {
            advance();
            return true;
        }
        pError("Expected ')'");
        return false;
    }
}

ExprAstNode* Parser::newOrPrimary() {
    if (_t1.type != TOKEN_KEYWORD_NEW) return primary();
    Location* location = _t1.getLocation(this);
    advance();
    if (_t1.type != TOKEN_IDENT) {
        delete location;
        pError("Expected class name after 'new'");
        return nullptr;
    }
    std::string className = _t1.value.getString();
    advance();
    while (_t1.isPunct('.') && _t2.type == TOKEN_IDENT) {
        className += '.';
        className += _t2.value.getString();
        advance();
        advance();
    }
    if (className.size() > kMaxClassName) {
        delete location;
        pError("Class name too long after 'new'");
        return nullptr;
    }
    if (!_t1.isPunct('(')) {
        delete location;
        pError("Argument list expected after 'new' <className>");
        return nullptr;
    }
    FnCallAstNode* call = new FnCallAstNode(location, true, className.c_str(), nullptr, nullptr);
    if (!arguments(call)) {
        delete call;
        return nullptr;
    }
    _newSeen = true;
    return call;
}

ExprAstNode* Parser::primary() {
    switch (_t1.type) {
    case TOKEN_LITERAL_NULL:
    case TOKEN_LITERAL_UNDEFINED:
    case TOKEN_INTEGER:
    case TOKEN_LONG_INTEGER:
    case TOKEN_DOUBLE:
    case TOKEN_FLOAT:
    case TOKEN_STRING:
    case TOKEN_BOOL:
    case TOKEN_REGEX: {
        ExprAstNode* literal = new LiteralAstNode(_t1.getLocation(this), &_t1);
        advance();
        return literal;
    }
    case TOKEN_IDENT: {
        ExprAstNode* ident = new IdentAstNode(_t1.getLocation(this), _t1.value.getString());
        advance();
        return ident;
    }
    case TOKEN_KEYWORD_FUNCTION: {
        Location* location = _t1.getLocation(this);
        advance();
        Function* fn = functionRest(nullptr, new Location(*location));
        if (fn == nullptr) {
            delete location;
            return nullptr;
        }
        return new ObjectAstNode(location, fn);
    }
    default: break;
    }
    if (_t1.isPunct('(')) {
        advance();
        ExprAstNode* e = assignment();
        if (e == nullptr) return nullptr;
        if (!_t1.isPunct(')')) {
            delete e;
            pError("Expected ')'");
            return nullptr;
        }
        advance();
        return e;
    }
    if (_t1.isPunct('{')) return objectLiteral();
    if (_t1.isPunct('[')) return arrayLiteral();
    pError("Primary expression expected");
    return nullptr;
}

ExprAstNode* Parser::objectLiteral() {
    if (!_t1.isPunct('{')) {
        pError("Expected '{' to start object");
        return nullptr;
    }
    ObjectFactoryAstNode* node = new ObjectFactoryAstNode(_t1.getLocation(this), ObjectFactoryAstNode::OBJECT_LITERAL);
    advance();
    if (_t1.isPunct('}')) {
        advance();
        return node;
    }
    for (;;) {
        if (_t1.type != TOKEN_STRING) {
            pError("Property name as quoted string expected in object");
            break;
        }
        std::string name = _t1.value.getString();
        advance();
        if (!_t1.isPunct(':')) {
            pError("Expected ':' between member name and value");
            break;
        }
        advance();
        ExprAstNode* value = assignment();
        if (value == nullptr) {
            pError("Expected primary expression in object creation");
            break;
        }
        node->add(name.c_str(), value);
        if (_t1.isPunct(',')) {
            advance();
            if (!_t1.isPunct('}')) continue;
        }
        if (_t1.isPunct('}')) {
            advance();
            return node;
        }
        pError("Expected '}' to end object. Were there too many commas?");
        break;
    }
    delete node;
    return nullptr;
}

ExprAstNode* Parser::arrayLiteral() {
    if (!_t1.isPunct('[')) {
        pError("Expected '[' to start array");
        return nullptr;
    }
    ObjectFactoryAstNode* node = new ObjectFactoryAstNode(_t1.getLocation(this), ObjectFactoryAstNode::ARRAY_LITERAL);
    advance();
    if (_t1.isPunct(']')) {
        advance();
        return node;
    }
    for (;;) {
        ExprAstNode* value = assignment();
        if (value == nullptr) {
            pError("Expected primary expression in array creation");
            break;
        }
        node->add(nullptr, value);
        if (_t1.isPunct(',')) {
            advance();
            if (!_t1.isPunct(']')) continue;
        }
        if (_t1.isPunct(']')) {
            advance();
            return node;
        }
        pError("Expected ']' to end array. Were there too many or too few commas?");
        break;
    }
    delete node;
    return nullptr;
}
