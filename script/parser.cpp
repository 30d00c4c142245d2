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
#include "script/stack_limit.h"

ParserOutput::~ParserOutput() {}

namespace {
// A '/' in the token after t may begin a regular-expression literal.
bool regexAfter(const Token& t) {
    return (t.type == TOKEN_PUNCT && !t.isPunct(')')) || t.type == TOKEN_KEYWORD_TYPEOF;
}

bool isNumberToken(int type) {
    return type == TOKEN_INTEGER || type == TOKEN_LONG_INTEGER || type == TOKEN_DOUBLE || type == TOKEN_FLOAT;
}

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
    if (_nesting + cost > _maxNesting || script_stack::here() < script_stack::floor()) {
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
    AssignmentExprAstNode* assign = new AssignmentExprAstNode(new Location(*location), target, value, false);
    assign->declaresFunction = true;
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

