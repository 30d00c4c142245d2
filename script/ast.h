// The syntax tree of the scripting language. The parser (parser.h) builds
// it; the same nodes evaluate (expressions) and execute (statements) inside
// the Parser that built them, which is also the interpreter context.
//
// This header declares the nodes with their fields, the tree dump
// (ast_debug.cpp) and the construction and destruction (ast.cpp). The
// evaluate/execute/doIncDec methods and the evaluation helpers declared here
// are the interpreter's and are defined with it.
//
// Ownership: every node owns its children and its location and deletes them
// with itself; lists keep insertion order. One exception: a compound
// assignment (`a += b`) shares its target between the assignment and the
// operator node on its right, which owns it (see AssignmentExprAstNode).
// Thread-safety: none; a tree is used by one thread at a time.
#ifndef DRV_SCRIPT_AST_H
#define DRV_SCRIPT_AST_H

#include <stdint.h>

#include <string_view>
#include <unordered_map>
#include <vector>

#include "dirbase/any.h"
#include "script/token.h"

class AbstractVarSet;
class VarSet;
class Location;
class OutputStmt;
class Parser;

// XX(code, NAME, printable name). The parser puts only 16..31 into binary
// nodes; the bitwise and logical nodes are told apart by their class.
#define DRV_SCRIPT_OPCODES(XX)                                  \
    XX(0, OP_NONE, "")                                          \
    XX(1, OP_ASSIGN, "OP_ASSIGN")                               \
    XX(2, OP_IN, "OP_IN")                                       \
    XX(3, OP_DELETE, "OP_DELETE")                               \
    XX(4, OP_VOID, "OP_VOID")                                   \
    XX(5, OP_TYPEOF, "OP_TYPEOF")                               \
    XX(6, OP_MEMBER, "OP_MEMBER")                               \
    XX(7, OP_IDENT, "OP_IDENT")                                 \
    XX(8, OP_ARGS, "OP_ARGS")                                   \
    XX(9, OP_PLUS_ASSIGN, "OP_PLUS_ASSIGN")                     \
    XX(10, OP_MINUS_ASSIGN, "OP_MINUS_ASSIGN")                  \
    XX(11, OP_TIMES_ASSIGN, "OP_TIMES_ASSIGN")                  \
    XX(12, OP_DIVIDE_ASSIGN, "OP_DIVIDE_ASSIGN")                \
    XX(13, OP_TERNARY, "OP_TERNARY")                            \
    XX(14, OP_LVALUE, "OP_LVALUE")                              \
    XX(15, OP_MATCHES, "OP_MATCHES")                            \
    XX(16, OP_ADD, "+")                                         \
    XX(17, OP_SUB, "-")                                         \
    XX(18, OP_MUL, "*")                                         \
    XX(19, OP_DIV, "/")                                         \
    XX(20, OP_MOD, "%")                                         \
    XX(21, OP_LT, "<")                                          \
    XX(22, OP_LE, "<=")                                         \
    XX(23, OP_GT, ">")                                          \
    XX(24, OP_GE, ">=")                                         \
    XX(25, OP_SHL, "<<")                                        \
    XX(26, OP_SHR, ">>")                                        \
    XX(27, OP_USHR, ">>>")                                      \
    XX(28, OP_EQ, "==")                                         \
    XX(29, OP_NE, "!=")                                         \
    XX(30, OP_SEQ, "===")                                       \
    XX(31, OP_SNE, "!==")                                       \
    XX(32, OP_STRICT_EQUAL, "OP_STRICT_EQUAL")                  \
    XX(33, OP_STRICT_NOT_EQUAL, "OP_STRICT_NOT_EQUAL")          \
    XX(34, OP_INSTANCEOF, "instanceof")                         \
    XX(35, OP_BITWISE_AND, "OP_BITWISE_AND")                    \
    XX(36, OP_BITWISE_OR, "OP_BITWISE_OR")                      \
    XX(37, OP_BITWISE_XOR, "OP_BITWISE_XOR")                    \
    XX(38, OP_LOGICAL_AND, "&&")                                \
    XX(39, OP_LOGICAL_OR, "||")                                 \
    XX(40, OP_PRE_INCREMENT, "OP_PRE_INCREMENT")                \
    XX(41, OP_PRE_DECREMENT, "OP_PRE_DECREMENT")                \
    XX(42, OP_POST_INCREMENT, "OP_POST_INCREMENT")              \
    XX(43, OP_POST_DECREMENT, "OP_POST_DECREMENT")              \
    XX(44, OP_UNARY_MINUS, "OP_UNARY_MINUS")                    \
    XX(45, OP_BITWISE_NOT, "OP_BITWISE_NOT")                    \
    XX(46, OP_NOT, "OP_NOT")                                    \
    XX(47, OP_FNCALL, "OP_FNCALL")                              \
    XX(48, OP_NEW, "OP_NEW")                                    \
    XX(49, OP_ARRAY, "OP_ARRAY")                                \
    XX(50, OP_DEFINED, "OP_DEFINED")                            \
    XX(51, OP_PUSH, "OP_PUSH")                                  \
    XX(52, OP_POP, "OP_POP")                                    \
    XX(53, OP_LABEL, "OP_LABEL")                                \
    XX(54, OP_JMP, "OP_JMP")                                    \
    XX(55, OP_JNE, "OP_JNE")                                    \
    XX(56, OP_ITERATOR, "OP_ITERATOR")                          \
    XX(57, OP_DECLARE, "OP_DECLARE")

#define DRV_OPCODE_ENUMERATOR(code, name, text) name = (code),
enum _OPCODE { DRV_SCRIPT_OPCODES(DRV_OPCODE_ENUMERATOR) };
#undef DRV_OPCODE_ENUMERATOR

// The printable name of an opcode ("+", "OP_ASSIGN"), "" outside the table.
const char* opcodeName(int opcode);

// ---------------------------------------------------------------------------
// Base classes

class AstNode {
public:
    // Takes over location (may be null).
    explicit AstNode(Location* location);
    AstNode(const AstNode&) = delete;
    AstNode& operator=(const AstNode&) = delete;
    virtual ~AstNode();

    // 0 by default, 1 for a member access, 2 for identifiers and literals:
    // call evaluation tells the shape of a call's target by it.
    virtual int getType() const { return 0; }
    virtual bool isIdentifier() const { return false; }
    // One line per node through parser->printf(2, ...), children indented.
    virtual void dump(Parser* parser) = 0;

    const Location* getLocation() const { return location; }

    Location* location;

protected:
    // What destructors delete their children with. A chain of operators
    // nests one node per operand, thousands deep, and deleting it node by
    // node from each destructor would recurse as deep: children are queued
    // instead while a deletion runs on the thread and deleted one after
    // another by the outermost call.
    static void deleteChild(AstNode* child);
    // Starts a dump line: the indentation of the parser's current depth.
    static void dumpIndent(Parser* parser);
    // Ends a dump line with " (file:line:column)".
    void dumpLocation(Parser* parser) const;
    // Prints `label` on its own line at the current depth, then child one
    // level deeper (child may be null).
    static void dumpChild(Parser* parser, const char* label, AstNode* child);
};

class ExprAstNode : public AstNode {
public:
    explicit ExprAstNode(Location* location) : AstNode(location) {}

    // True on success; the result may be a reference to an assignable.
    virtual bool evaluate(Parser* parser, Any** result) = 0;

    // Evaluation helpers shared by the node kinds (defined with evaluation).
    bool evaluateToValue(Parser* parser, Any** result);
    bool expectAssignable(Parser* parser, ExprAstNode* node, ObjRef** assignable, ObjRef** object);
    bool expectBoolean(Parser* parser, ExprAstNode* node, bool* out, bool lenient);

    // The evaluator's note of which node class this is, taken once (0 until
    // then), so that it dispatches on a byte instead of asking for types.
    uint8_t evalKind = 0;
};

class StmtAstNode : public AstNode {
public:
    explicit StmtAstNode(Location* location) : AstNode(location), preceding(nullptr) {}
    ~StmtAstNode() override;

    // True on success.
    virtual bool execute(Parser* parser) = 0;

    // Template text to emit before the statement runs, or null.
    OutputStmt* preceding;

protected:
    // Dumps `preceding` (when set) at the current depth.
    void dumpPreceding(Parser* parser);
};

// ---------------------------------------------------------------------------
// Expressions

class LiteralAstNode : public ExprAstNode {
public:
    // Takes the type and value of token (moved out of it).
    LiteralAstNode(Location* location, Token* token);
    int getType() const override { return 2; }
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    Token token;
};

class IdentAstNode : public ExprAstNode {
public:
    IdentAstNode(Location* location, const char* name);
    ~IdentAstNode() override;
    int getType() const override { return 2; }
    bool isIdentifier() const override { return true; }
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    char* name;
    uint32_t hash;  // VarSet::nameHash(name), so lookups need not hash again

    // Where the name was last found: the frame and its variable's index, and
    // the run and the name bucket's change count they hold for (see
    // script_scope). A run id never repeats, so a note from another run,
    // parser or thread never matches.
    // Where the name was last found when the current frame held it: the
    // index of its variable there (functions define their variables in the
    // same order on every call, so the index of a fresh frame's is the same).
    uint32_t topIndex = UINT32_MAX;
    uint64_t foundRun = 0;
    uint64_t foundEpoch = 0;
    VarSet* foundFrame = nullptr;
    uint32_t foundIndex = 0;
};

// A constant object: the Function of a declaration or a function literal.
class ObjectAstNode : public ExprAstNode {
public:
    // Takes one count on object.
    ObjectAstNode(Location* location, Translatable* object);
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    ObjRef object;
};

class ObjectFactoryAstNode : public ExprAstNode {
public:
    enum Kind { OBJECT_LITERAL = 1, ARRAY_LITERAL = 2 };
    struct Entry {
        char* name;  // the quoted key of an object literal; null in an array
        ExprAstNode* value;
        // The position of the first entry with this name: a repeated name
        // sets the value of that entry, where it stands. Its own in an array.
        size_t first;
    };

    ObjectFactoryAstNode(Location* location, int kind) : ExprAstNode(location), kind(kind) {}
    ~ObjectFactoryAstNode() override;
    // Takes over value; copies name (may be null).
    void add(const char* name, ExprAstNode* value);
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    int kind;
    std::vector<Entry> entries;
    bool repeatsNames = false;

private:
    // The first entry named as entry `index`.
    size_t firstNamed(size_t index);
    // The names by first position, once the literal is too long to scan.
    std::unordered_map<std::string_view, size_t> _firstByName;
};

// A call: `f(x)`, `a.b(x)` (target a.b), a method call `a.b.m(x)` (target
// a.b, methodName m) or a construction `new a.B(x)` (isNew, className,
// no target).
class FnCallAstNode : public ExprAstNode {
public:
    FnCallAstNode(Location* location, bool isNew, const char* className, const char* methodName,
                  ExprAstNode* target);
    ~FnCallAstNode() override;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    bool isNew;
    char* className;
    char* methodName;
    ExprAstNode* target;
    std::vector<ExprAstNode*> args;
};

// base[i][j]...: one node for consecutive indexes.
class ArrayDerefAstNode : public ExprAstNode {
public:
    ArrayDerefAstNode(Location* location, ExprAstNode* base) : ExprAstNode(location), base(base) {}
    ~ArrayDerefAstNode() override;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    ExprAstNode* base;
    std::vector<ExprAstNode*> indexes;
};

class MemberDerefAstNode : public ExprAstNode {
public:
    MemberDerefAstNode(Location* location, ExprAstNode* object, ExprAstNode* member)
        : ExprAstNode(location), object(object), member(member) {}
    ~MemberDerefAstNode() override;
    int getType() const override { return 1; }
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    ExprAstNode* object;
    ExprAstNode* member;
    // The callee of a call that, when this read fails, calls the member on
    // the object part's value instead (see FnCallAstNode): a member missing
    // from a plain value then fails without recording an error, which would
    // otherwise stay recorded after the call succeeded. Set by the call.
    bool callFallback = false;
};

class UnaryExprAstNode : public ExprAstNode {
public:
    UnaryExprAstNode(Location* location, ExprAstNode* operand) : ExprAstNode(location), operand(operand) {}
    ~UnaryExprAstNode() override;

    // The increment and decrement operators: read the operand reference, add
    // delta, store it, yield the new (prefix) or old value.
    virtual bool doIncDec(Parser* parser, Any** result, bool prefix, int delta);
    // Adds delta to a number in place, keeping its type.
    bool doMath(Parser* parser, Any* value, int delta);

    ExprAstNode* operand;

protected:
    // "<text> (location)" then the operand one level deeper.
    void dumpUnary(Parser* parser, const char* text);
};

class IncrementAstNode : public UnaryExprAstNode {
public:
    IncrementAstNode(Location* location, ExprAstNode* operand, bool prefix)
        : UnaryExprAstNode(location, operand), prefix(prefix) {}
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    bool prefix;
};

class DecrementAstNode : public UnaryExprAstNode {
public:
    DecrementAstNode(Location* location, ExprAstNode* operand, bool prefix)
        : UnaryExprAstNode(location, operand), prefix(prefix) {}
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    bool prefix;
};

class NegativeAstNode : public UnaryExprAstNode {
public:
    using UnaryExprAstNode::UnaryExprAstNode;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;
};

class BooleanNotAstNode : public UnaryExprAstNode {
public:
    using UnaryExprAstNode::UnaryExprAstNode;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;
};

class BitwiseNotAstNode : public UnaryExprAstNode {
public:
    using UnaryExprAstNode::UnaryExprAstNode;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;
};

class TypeofAstNode : public UnaryExprAstNode {
public:
    using UnaryExprAstNode::UnaryExprAstNode;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;
};

class BinaryExprAstNode : public ExprAstNode {
public:
    BinaryExprAstNode(Location* location, ExprAstNode* left, ExprAstNode* right, int opcode)
        : ExprAstNode(location), left(left), right(right), opcode(opcode) {}
    ~BinaryExprAstNode() override;

    // Arithmetic, comparison and equality (opcodes 16-31) on two values.
    bool mathOp(Parser* parser, _OPCODE op, Any** result);
    // Shifts and the bitwise operators.
    bool bitOp(Parser* parser, _OPCODE op, Any** result);

    ExprAstNode* left;
    ExprAstNode* right;
    int opcode;
    // Noted by the evaluator the first time it meets the node, like
    // evalKind: -1 unknown, else whether the chain of operators from here
    // down the right side is long enough to be walked in a loop.
    int8_t longChain = -1;

protected:
    // "<text> (location)" then left and right one level deeper.
    void dumpBinary(Parser* parser, const char* text);
};

#define DRV_BINARY_NODE(Name)                                              \
    class Name : public BinaryExprAstNode {                                \
    public:                                                                \
        using BinaryExprAstNode::BinaryExprAstNode;                        \
        void dump(Parser* parser) override;                                \
        bool evaluate(Parser* parser, Any** result) override;              \
    };
DRV_BINARY_NODE(MulAstNode)
DRV_BINARY_NODE(AddAstNode)
DRV_BINARY_NODE(ShiftAstNode)
DRV_BINARY_NODE(CompareAstNode)
DRV_BINARY_NODE(EqualsAstNode)
DRV_BINARY_NODE(BitwiseAndAstNode)
DRV_BINARY_NODE(BitwiseXorAstNode)
DRV_BINARY_NODE(BitwiseOrAstNode)
DRV_BINARY_NODE(LogicalAndAstNode)
DRV_BINARY_NODE(LogicalOrAstNode)
#undef DRV_BINARY_NODE

// target = value. A compound assignment `t op= v` is built as
// AssignmentExprAstNode(t, Op(t, v)) with the same node t on both sides, so
// t is evaluated twice; the operator node owns it then (sharesTarget).
class AssignmentExprAstNode : public BinaryExprAstNode {
public:
    AssignmentExprAstNode(Location* location, ExprAstNode* target, ExprAstNode* value, bool sharesTarget)
        : BinaryExprAstNode(location, target, value, OP_ASSIGN), sharesTarget(sharesTarget) {}
    ~AssignmentExprAstNode() override;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    bool sharesTarget;
    // Made by a `function name(...) {...};` statement: the assignment
    // declares the name when no scope has it yet. Any other assignment to
    // an undeclared name fails.
    bool declaresFunction = false;
};

class ConditionalExpressionAstNode : public ExprAstNode {
public:
    ConditionalExpressionAstNode(Location* location, ExprAstNode* condition, ExprAstNode* thenExpr,
                                 ExprAstNode* elseExpr)
        : ExprAstNode(location), condition(condition), thenExpr(thenExpr), elseExpr(elseExpr) {}
    ~ConditionalExpressionAstNode() override;
    void dump(Parser* parser) override;
    bool evaluate(Parser* parser, Any** result) override;

    ExprAstNode* condition;
    ExprAstNode* thenExpr;
    ExprAstNode* elseExpr;
};

// ---------------------------------------------------------------------------
// Statements

// The case values of one statement-list entry.
class LabelList {
public:
    LabelList() = default;
    LabelList(const LabelList&) = delete;
    LabelList& operator=(const LabelList&) = delete;
    ~LabelList();

    // Takes over value.
    void add(Any* value) { values.push_back(value); }
    // Whether a label equals value (equality of Anys).
    bool contains(const Any* value) const;

    std::vector<Any*> values;
};

class StmtListAstNode : public StmtAstNode {
public:
    struct Entry {
        StmtAstNode* stmt;
        LabelList* labels;  // null when the statement has no case labels
        bool isDefault;
    };

    StmtListAstNode(Location* location, bool isBlock) : StmtAstNode(location), isBlock(isBlock) {}
    ~StmtListAstNode() override;
    // Takes over stmt and labels.
    void add(StmtAstNode* stmt, LabelList* labels, bool isDefault);
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    bool isBlock;
    std::vector<Entry> entries;
};

class LetOrVarAstNode : public StmtAstNode {
public:
    enum Kind { LET = 1, VAR = 2 };
    LetOrVarAstNode(Location* location, const char* name, ExprAstNode* init, int kind);
    ~LetOrVarAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    char* name;
    uint32_t hash;      // VarSet::nameHash(name)
    ExprAstNode* init;  // null: the variable starts undefined
    int kind;
};

class AssignmentStmtAstNode : public StmtAstNode {
public:
    AssignmentStmtAstNode(Location* location, ExprAstNode* expr) : StmtAstNode(location), expr(expr) {}
    ~AssignmentStmtAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    ExprAstNode* expr;
};

class ReturnStmtAstNode : public StmtAstNode {
public:
    ReturnStmtAstNode(Location* location, ExprAstNode* expr) : StmtAstNode(location), expr(expr) {}
    ~ReturnStmtAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    ExprAstNode* expr;
};

// Template output: the text, then (for a "<? expression ?>" section) the
// expression's value.
class OutputStmt : public StmtAstNode {
public:
    // Takes over text (malloc'd, textLength bytes) and expr (may be null).
    OutputStmt(Location* location, char* text, size_t textLength, ExprAstNode* expr)
        : StmtAstNode(location), text(text), textLength(textLength), expr(expr) {}
    ~OutputStmt() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    char* text;
    size_t textLength;
    ExprAstNode* expr;
};

struct StmtHelperEntry {
    ExprAstNode* condition;  // null for the final else
    StmtAstNode* stmt;
};

class IfStmtAstNode : public StmtAstNode {
public:
    explicit IfStmtAstNode(Location* location) : StmtAstNode(location) {}
    ~IfStmtAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    std::vector<StmtHelperEntry> entries;
};

class WhileStmtAstNode : public StmtAstNode {
public:
    WhileStmtAstNode(Location* location, ExprAstNode* condition, StmtAstNode* body)
        : StmtAstNode(location), condition(condition), body(body) {}
    ~WhileStmtAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    ExprAstNode* condition;
    StmtAstNode* body;
};

class DoWhileStmtAstNode : public StmtAstNode {
public:
    DoWhileStmtAstNode(Location* location, ExprAstNode* condition, StmtAstNode* body)
        : StmtAstNode(location), condition(condition), body(body) {}
    ~DoWhileStmtAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    ExprAstNode* condition;
    StmtAstNode* body;
};

class ForStmtAstNode : public StmtAstNode {
public:
    ForStmtAstNode(Location* location, StmtAstNode* init, ExprAstNode* condition, ExprAstNode* finalExpr,
                   StmtAstNode* body)
        : StmtAstNode(location), init(init), condition(condition), finalExpr(finalExpr), body(body) {}
    ~ForStmtAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    StmtAstNode* init;
    ExprAstNode* condition;
    ExprAstNode* finalExpr;
    StmtAstNode* body;
};

class SwitchStmtAstNode : public StmtAstNode {
public:
    SwitchStmtAstNode(Location* location, ExprAstNode* expr, StmtListAstNode* body)
        : StmtAstNode(location), expr(expr), body(body) {}
    ~SwitchStmtAstNode() override;
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    ExprAstNode* expr;
    StmtListAstNode* body;
};

// break or continue.
class FlowStmtAstNode : public StmtAstNode {
public:
    // kind: TOKEN_KEYWORD_BREAK or TOKEN_KEYWORD_CONTINUE.
    FlowStmtAstNode(Location* location, int kind) : StmtAstNode(location), kind(kind) {}
    void dump(Parser* parser) override;
    bool execute(Parser* parser) override;

    int kind;
};

#endif
