// The expression half of the parser: the precedence levels, postfix
// operations, primaries and the object and array literals.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "script/function.h"
#include "script/location.h"
#include "script/parser.h"

namespace {
// The longest class name a `new` may give.
const size_t kMaxClassName = 255;
}  // namespace

// Every binary level is an operand optionally followed by an
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
    if (cont('=') && !_t2.isPunct('=')) {
        op = '=';
    } else if (_t2.isPunct('=') &&
               (cont('+') || cont('-') || cont('*') || cont('/') || cont('%'))) {
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
    if (condition == nullptr || !cont('?')) return condition;
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
    if (left != nullptr && cont('|') && !_t2.isPunct('|')) {
        return binaryRest(left, BIT_OR, OP_BITWISE_OR, 1, &Parser::bitwiseOr);
    }
    return left;
}

ExprAstNode* Parser::bitwiseXor() {
    ExprAstNode* left = bitwiseAnd();
    if (left != nullptr && cont('^')) return binaryRest(left, BIT_XOR, OP_BITWISE_XOR, 1, &Parser::bitwiseXor);
    return left;
}

ExprAstNode* Parser::bitwiseAnd() {
    ExprAstNode* left = equals();
    if (left != nullptr && cont('&') && !_t2.isPunct('&')) {
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
    if (cont('<') && !_t2.isPunct('<')) return binaryRest(left, COMPARE, OP_LT, 1, &Parser::compare);
    if (cont('>') && !_t2.isPunct('>')) return binaryRest(left, COMPARE, OP_GT, 1, &Parser::compare);
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
    if (cont('+')) return binaryRest(left, ADD, OP_ADD, 1, &Parser::add);
    if (cont('-')) return binaryRest(left, ADD, OP_SUB, 1, &Parser::add);
    return left;
}

ExprAstNode* Parser::mul() {
    ExprAstNode* left = unary();
    if (left == nullptr || _t2.isPunct('=')) return left;
    if (cont('*')) return binaryRest(left, MUL, OP_MUL, 1, &Parser::mul);
    if (cont('/')) return binaryRest(left, MUL, OP_DIV, 1, &Parser::mul);
    if (cont('%')) return binaryRest(left, MUL, OP_MOD, 1, &Parser::mul);
    return left;
}

ExprAstNode* Parser::unary() {
    // At most one prefix operator; ++ and -- only when their two
    // characters touch.
    enum { NONE, INC, DEC, PLUS, MINUS, NOT, BITNOT } prefix = NONE;
    Location* location = _t1.getLocation(this);
    if (_t1.isPunct('+') && _t2.isPunct('+') && !_t2.spaceBefore) {
        prefix = INC;
    } else if (_t1.isPunct('-') && _t2.isPunct('-') && !_t2.spaceBefore) {
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
        bool member = cont('.');
        if (!member && !cont('[') && !cont('(')) break;
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
            while (ok && cont('[')) {
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

// t1 is the '(' that opens the list; the callers have seen it.
bool Parser::arguments(FnCallAstNode* call) {
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
    // A name past the longest a class may have, or one without its
    // argument list (`new C` alone), is no class construction.
    if (className.size() > kMaxClassName || !_t1.isPunct('(')) {
        delete location;
        pError("Expected class name after 'new'");
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
