// The expression half of the parser: the precedence levels, postfix
// operations, primaries and the object and array literals.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "script/function.h"
#include "script/location.h"
#include "script/parser.h"

namespace {
// The longest class name a `new` may give.
const size_t kMaxClassName = 255;
}  // namespace

// Every binary level is an operand optionally followed by an
// operator and the same level again, so chains nest to the right. A chain
// is read in a loop and its tree built from the right, so that a long one
// (a + b + ... with thousands of terms) takes no more stack than a short
// one.

namespace {
// The binary levels, loosest first.
enum BinaryLevel { LOGICAL_OR, LOGICAL_AND, BIT_OR, BIT_XOR, BIT_AND, EQUALS, COMPARE, SHIFT, ADD, MUL };

ExprAstNode* makeBinary(int level, Location* location, ExprAstNode* left, ExprAstNode* right, int opcode) {
    switch (level) {
    case MUL: return new MulAstNode(location, left, right, opcode);
    case ADD: return new AddAstNode(location, left, right, opcode);
    case SHIFT: return new ShiftAstNode(location, left, right, opcode);
    case COMPARE: return new CompareAstNode(location, left, right, opcode);
    case EQUALS: return new EqualsAstNode(location, left, right, opcode);
    case BIT_AND: return new BitwiseAndAstNode(location, left, right, OP_BITWISE_AND);
    case BIT_XOR: return new BitwiseXorAstNode(location, left, right, OP_BITWISE_XOR);
    case BIT_OR: return new BitwiseOrAstNode(location, left, right, OP_BITWISE_OR);
    case LOGICAL_AND: return new LogicalAndAstNode(location, left, right, OP_LOGICAL_AND);
    default: return new LogicalOrAstNode(location, left, right, OP_LOGICAL_OR);
    }
}

// One operator of a chain waiting for its right operand.
struct Link {
    ExprAstNode* left;
    Location* location;
    int opcode;
};
}  // namespace

// level := operand [ operator level ], the operand being the next tighter
// level (a unary expression after the tightest, or `typeof` at the
// comparisons). One frame per level, as expressions in parentheses nest
// through all of them.
ExprAstNode* Parser::binary(int level) {
    ExprAstNode* first = level == MUL ? unary()
                         : level == COMPARE && _t1.type == TOKEN_KEYWORD_TYPEOF ? typeofOperand()
                                                                                : binary(level + 1);
    if (first == nullptr) return nullptr;
    int tokens = 0;
    int opcode = matchOperator(level, &tokens);
    return opcode == 0 ? first : binaryRest(level, first, opcode, tokens);
}

// first, the operator opcode of `tokens` punctuation tokens at t1, and
// the rest of the chain: read in a loop and built from the right, left op
// (rest).
ExprAstNode* Parser::binaryRest(int level, ExprAstNode* first, int opcode, int tokens) {
    std::vector<Link> links;
    ExprAstNode* last = first;
    while (opcode != 0) {
        if (links.size() + 1 >= kMaxChainOperands) {
            pError("Script nested too deeply");
            delete last;
            last = nullptr;
            break;
        }
        links.push_back(Link{last, _t1.getLocation(this), opcode});
        for (int i = 0; i < tokens; ++i) advance();
        last = level == MUL ? unary()
               : level == COMPARE && _t1.type == TOKEN_KEYWORD_TYPEOF ? typeofOperand()
                                                                      : binary(level + 1);
        if (last == nullptr) {
            pError("Expression expected");
            break;
        }
        opcode = matchOperator(level, &tokens);
    }
    if (last == nullptr) {
        for (Link& l : links) {
            delete l.left;
            delete l.location;
        }
        return nullptr;
    }
    for (size_t i = links.size(); i-- > 0;) last = makeBinary(level, links[i].location, links[i].left, last, links[i].opcode);
    return last;
}

// The opcode of the operator of level at t1 and in *tokens the number of
// punctuation tokens it takes; 0 when t1 starts none.
int Parser::matchOperator(int level, int* tokens) {
    *tokens = 1;
    switch (level) {
    case LOGICAL_OR: *tokens = 2; return is2('|', '|') ? OP_LOGICAL_OR : 0;
    case LOGICAL_AND: *tokens = 2; return is2('&', '&') ? OP_LOGICAL_AND : 0;
    case BIT_OR: return cont('|') && !_t2.isPunct('|') ? OP_BITWISE_OR : 0;
    case BIT_XOR: return cont('^') ? OP_BITWISE_XOR : 0;
    case BIT_AND: return cont('&') && !_t2.isPunct('&') ? OP_BITWISE_AND : 0;
    case EQUALS:
        *tokens = 3;
        if (is3('=', '=', '=')) return OP_SEQ;
        if (is3('!', '=', '=')) return OP_SNE;
        *tokens = 2;
        if (is2('=', '=')) return OP_EQ;
        if (is2('!', '=')) return OP_NE;
        return 0;
    case COMPARE:
        *tokens = 2;
        if (is2('<', '=')) return OP_LE;
        if (is2('>', '=')) return OP_GE;
        *tokens = 1;
        if (cont('<') && !_t2.isPunct('<')) return OP_LT;
        if (cont('>') && !_t2.isPunct('>')) return OP_GT;
        return 0;
    case SHIFT:
        *tokens = 3;
        if (is3('>', '>', '>')) return OP_USHR;
        *tokens = 2;
        if (is2('<', '<')) return OP_SHL;
        if (is2('>', '>')) return OP_SHR;
        return 0;
    case ADD:
        // `+=` and the like are assignments.
        if (_t2.isPunct('=')) return 0;
        if (cont('+')) return OP_ADD;
        if (cont('-')) return OP_SUB;
        return 0;
    default:
        if (_t2.isPunct('=')) return 0;
        if (cont('*')) return OP_MUL;
        if (cont('/')) return OP_DIV;
        if (cont('%')) return OP_MOD;
        return 0;
    }
}

// typeof takes the whole comparison after it, so no operator of its level
// follows it.
ExprAstNode* Parser::typeofOperand() {
    Location* location = _t1.getLocation(this);
    advance();
    NestingGuard guard(this);
    ExprAstNode* operand = guard.ok ? binary(COMPARE) : nullptr;
    if (operand == nullptr) {
        delete location;
        return nullptr;
    }
    return new TypeofAstNode(location, operand);
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
    ExprAstNode* condition = binary(LOGICAL_OR);
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
