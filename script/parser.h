// Parser: the recursive-descent parser of the scripting language, and
// afterwards the interpreter context in which its tree runs (scopes, return
// value, the recorded error).
//
// The grammar is a small relative of ECMAScript with deliberate differences
// that scripts rely on: binary operators associate to the right, object keys
// are quoted strings, a `function` declaration ends with `;`, `return` always
// has a value, at most one prefix operator stands before an operand, and
// `case`/`default` labels may stand in any statement list. Two- and
// three-character operators are assembled here from the lexer's
// single-character tokens, through three tokens of look-ahead.
//
// Hostile input cannot exhaust the stack: rule nesting is limited
// (setMaxNesting), and so is the stack the rules take on the parsing
// thread (script/stack_limit.h); going deeper is a syntax error.
//
// Ownership: the parser owns its lexer, tokens, tree and recorded error;
// the output and debug streams are the caller's.
// Thread-safety: a parser and its tree are used by one thread at a time;
// different parsers are independent.
#ifndef DRV_SCRIPT_PARSER_H
#define DRV_SCRIPT_PARSER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "dirbase/any.h"
#include "script/ast.h"
#include "script/error.h"
#include "script/lex.h"
#include "script/token.h"

class AbstractVarSet;
class VarSet;
class Function;
class Principal;

// Where a parser writes template output and debug text: a write of bytes.
// Answers 0 on success.
class ParserOutput {
public:
    virtual ~ParserOutput();
    virtual int write(const char* data, size_t length) = 0;
};

class Parser {
public:
    // Default for setMaxNesting, counted in nested rules: a block, a
    // statement, one more postfix operation cost 1; an expression inside
    // parentheses, brackets or arguments costs 2, as it recurses through
    // every precedence level. At the limit the parser needs about a
    // megabyte of stack in a sanitizer build and far less otherwise. The
    // operands of an operator chain (a + b + c) cost nothing: a chain is
    // read in a loop.
    static const int kDefaultMaxNesting = 800;
    // The most operands one operator chain may have. Its tree nests one
    // level per operand; parsing, evaluating and deleting walk a chain in a
    // loop, and the bound keeps it far from what any script writes while
    // sparing every other walk of the tree an unbounded depth. Past it the
    // chain is an error like nesting too deep.
    static const size_t kMaxChainOperands = 50000;

    // Parses a copy of source. name is the file name of every location;
    // root (may be null) is the root scope used when running. The system's
    // callers pass line 1, column 0 and templateMode false.
    Parser(const char* name, const char* source, const ObjRef* root, int line, int column, bool templateMode);
    // Parses a stream (see LexStream); the stream must outlive the parser.
    Parser(const char* name, LexStream* in, const ObjRef* root, int line, int column, bool templateMode);
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // One expression followed by the end of the input. True on success.
    bool parse();
    // A statement list followed by the end of the input. The two are the same.
    bool parseScript();
    bool parseScriptlet() { return parseScript(); }

    // Prints the tree through the debug output at level 2.
    void dump();

    // Reads the whole source as JSON text (an object or an array, then the
    // end of the input) into a new Attributes or AnyArray, which *result
    // refers to. False after a syntax error (recorded as by pError); nesting
    // deeper than setMaxNesting is one. Defined in json_parse.cpp.
    bool parseJSON(Any** result);

    // Records a syntax error (only the first one of the parser) at t1's
    // position or at location (taken over).
    void pError(const char* message);
    void pError(const char* message, Location* location);

    // Debug output: produced when the debug level is not above level; goes
    // to the debug stream when set, and while the process-wide debug
    // selector (_debug_sel) is below 3 also to the log as "Sel: %s" lines.
    void printf(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    const char* getName() const { return _name; }
    Lex* getLexer() { return _lex; }
    int getDebugLevel() const { return _debugLevel; }
    void setDebugLevel(int level) { _debugLevel = level; }
    void setDebugStream(ParserOutput* stream) { _debugStream = stream; }
    ParserOutput* getDebugStream() const { return _debugStream; }
    void setOutput(ParserOutput* output) { _output = output; }
    ParserOutput* getOutput() const { return _output; }
    void setMaxNesting(int depth) { _maxNesting = depth; }

    // The tree: the expression after parse(), the statement list after
    // parseScript(); null before or after a failure.
    ExprAstNode* getExpression() const { return _expression; }
    StmtListAstNode* getScript() const { return _script; }

    // The recorded error (syntax or run time), or null.
    bool hasError() const { return _errorFlag; }
    const Error* getError() const { return _error; }

    // Current depth of the tree dump (nodes indent by it).
    int dumpDepth;

    // ---- run state (evaluation side) ------------------------------------
    // Declared here, defined with the interpreter (script/run_state.cpp,
    // eval_*.cpp, registry.cpp); the parser's own code uses none of these.
    // Fields of this block are released by releaseRunState(), which the
    // destructor calls.
    bool executeExpression(const Principal* principal, const ObjRef* root, Any** result);
    bool executeScript(const Principal* principal, const ObjRef* root);
    int source(const Principal* principal, const ObjRef* root, const char* path);
    int source(const Principal* principal, const ObjRef* root, const char* path, const char* name);

    // Scopes. push(1) makes a block frame only once something is declared
    // in it (most loop bodies declare nothing); push(2) always makes one.
    void push(int kind) {
        if (kind == 1) {
            _scopeMarks.push_back(0);
            return;
        }
        pushFunctionFrame(kind);
    }
    // Never above the root.
    void pop() {
        // A block that declared nothing has no frame to drop.
        if (!_scopeMarks.empty() && _scopeMarks.back() == 0) {
            _scopeMarks.pop_back();
            return;
        }
        popFrame();
    }
    void popAll();
    AbstractVarSet* getCurrentScope() { return _current; }
    AbstractVarSet* getRootScope() { return _root; }
    const Principal* getPrincipal() const { return _principal; }
    // kind 1 (let): the current block; else the nearest function frame (113
    // when none). Takes ownership of value.
    int define(const char* name, Any* value, int kind);
    // define() with the name's hash (VarSet::nameHash) already known.
    int define(const char* name, uint32_t hash, Any* value, int kind);
    void setReturnValue(Any* value);
    Any* getReturnValue();

    // A new null-terminated traceback for a failure at node (null: t1).
    Location** getTraceback(AstNode* node);
    void throwError(const Error* error);
    void throwErrorCode(AstNode* node, Error::Type type, int code);
    void recover();

    // Run limits: a step budget per run and a call depth, from the settings
    // "script_max_steps" and "script_max_depth" unless setLimits overrides
    // them (0 keeps the setting), and a bound on how much the process grows
    // while the run lasts ("script_max_memory_mb", or setMemoryLimit).
    // Exceeding any records RangeError 39.
    //
    // The growth is looked at every kMemoryCheckSteps steps and whenever
    // kMemoryCheckBytes of text have been built since the last look, by
    // lowering the step limit: the step itself stays one compare.
    bool step(AstNode* node) { return ++_steps <= _stepLimit || stepLimitReached(node); }
    // Counts the work of building bytes of text as steps too (one per 4 KiB
    // and one for the operation), so that a budget also bounds a run that
    // copies large strings over and over.
    bool charge(AstNode* node, size_t bytes) {
        _steps += static_cast<long long>(bytes >> 12);
        _builtSinceCheck += bytes;
        if (_builtSinceCheck >= kMemoryCheckBytes) _stepLimit = 0;
        return step(node);
    }
    // Counts a copy of bytes of text that already existed (a variable,
    // property, element or literal read into a value that may be kept) as
    // charge does, but without a step of its own: a short copy costs
    // nothing beyond the count, and copies kept in a loop have the growth
    // looked at in time.
    bool chargeCopy(AstNode* node, size_t bytes) {
        _steps += static_cast<long long>(bytes >> 12);
        _builtSinceCheck += bytes;
        if (_builtSinceCheck >= kMemoryCheckBytes) _stepLimit = 0;
        return _steps <= _stepLimit || stepLimitReached(node);
    }
    // Counts bytes a built-in method made outside any text (the copied
    // texts and the elements of a new array) toward the next look at the
    // memory, as charge does for built text but without steps: a short loop
    // of calls that each stay small has its growth looked at in time.
    void noteBuilt(size_t bytes) {
        _builtSinceCheck += bytes;
        if (_builtSinceCheck >= kMemoryCheckBytes) _stepLimit = 0;
    }
    // The growth one run may have (its allowance once the run has started).
    long long memoryAllowance() const { return _maxGrowth > 0 ? _maxGrowth : kDefaultMemoryAllowance; }
    static constexpr long long kDefaultMemoryAllowance = 1024LL << 20;
    static constexpr long long kMemoryCheckSteps = 65536;
    static constexpr size_t kMemoryCheckBytes = 64 << 20;
    bool enterCall(AstNode* node);
    void leaveCall() { --_callDepth; }
    // Whether the thread's stack has room for one more nested evaluation
    // (see script/stack_limit.h); when it has not, records the error that
    // calls nested too deep record (RangeError 39). Asked by every
    // recursive evaluation and statement path.
    bool roomToNest(AstNode* node) {
        return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >= _stackFloor || stackSpent(node);
    }
    void setLimits(long long maxSteps, int maxDepth);
    // The growth allowed in bytes (0 keeps the setting).
    void setMemoryLimit(long long bytes) { _memoryOverride = bytes; }

    int getProperty(Translatable* object, Any** result, const char* name);
    int constructObject(Translatable** out, const char* className, Any** args);
    Translatable* findPrototype(unsigned int objectId);
    Any* findPrototypeByName(const char* name);
    bool isFunctionOf(Translatable* object, const char* name);
    static int registerObject(int objectId, const char* name, Translatable* prototype, bool alias);
    static int registerAlias(const char* existing, const char* alias, Translatable* prototype);
    static int registerMembers(const char* name, int* memberIds);

    void releaseRunState();

    // Set by the constructor (init).
    const Principal* _principal;
    ObjRef* _rootScope;     // the root given to the constructor, or null
    ObjRef* _currentScope;  // unused; the run's frames are _root/_current
    int _flowFlags;         // bit 1 continue, bit 2 break
    Any* _switchValue;
    Any* _returnValue;
    // The frames of the run in progress (counted), null between runs.
    AbstractVarSet* _root = nullptr;
    AbstractVarSet* _current = nullptr;
    // One mark per push not yet popped: 0 a block frame not made yet, 1 a
    // frame that exists.
    std::vector<char> _scopeMarks;
    // Identifies the run in progress (or the time between runs) among all
    // runs of all parsers: notes the evaluator keeps on the tree hold for
    // one run only (see IdentAstNode).
    uint64_t _runId = newRunId();
    static uint64_t newRunId();
    // Emptied frames kept for reuse (each holds one count).
    std::vector<VarSet*> _framePool;
    static const size_t kFramePoolSize = 64;
    long long _steps = 0;
    long long _maxSteps = 0;
    long long _stepsOverride = 0;
    // The next step count that stepLimitReached looks at: the budget, or
    // the next look at the memory before it.
    long long _stepLimit = 0;
    size_t _builtSinceCheck = 0;
    long long _maxGrowth = 0;
    long long _memoryOverride = 0;
    // The process's resident size at the run's first look (-1 before): a
    // short run never reads it.
    long long _residentAtStart = -1;
    int _callDepth = 0;
    int _maxDepth = 0;
    int _depthOverride = 0;
    // The lowest frame address evaluation may reach on the thread that
    // runs the parser (0 outside a run: no bound).
    uintptr_t _stackFloor = 0;
    bool stepLimitReached(AstNode* node);
    bool stepBudgetSpent(AstNode* node);
    bool stackSpent(AstNode* node);
    void pushFrame(int kind);
    void pushFunctionFrame(int kind);
    void popFrame();
    void startRun(const Principal* principal, const ObjRef* root);
    void endRun();
    // ---- end of run state ------------------------------------------------

    // Shared by both sides: the first error recorded and the error flag.
    Error* _error;
    bool _errorFlag;

private:
    void init(const char* name, const ObjRef* root);
    void start();
    void advance();
    // Whether t1 is punctuation c that continues the expression before it.
    // A token that carries template text starts a new section, so it never
    // continues one: "<? a ?> <? [1] ?>" is two outputs, not a[1].
    bool cont(int c) const { return _t1.text == nullptr && _t1.isPunct(c); }
    // Whether t1 (and t2, t3) are the punctuation a, b (and c) as one
    // continuing operator.
    bool is2(int a, int b) const { return cont(a) && _t2.isPunct(b); }
    bool is3(int a, int b, int c) const { return is2(a, b) && _t3.isPunct(c); }

    // Statements.
    StmtListAstNode* statements(bool isBlock, Location* location);
    bool labels(LabelList** labels, bool* isDefault);
    StmtAstNode* statement();
    StmtAstNode* statementProper();
    StmtAstNode* varStatement();
    StmtAstNode* ifStatement();
    StmtAstNode* whileStatement();
    StmtAstNode* doStatement();
    StmtAstNode* forStatement();
    StmtAstNode* switchStatement();
    StmtAstNode* functionStatement();
    bool expectSemicolon(const char* message);
    Function* functionRest(const char* name, Location* location);
    OutputStmt* takeText();

    // Expressions, loosest first.
    ExprAstNode* assignment();
    ExprAstNode* conditional();
    // The binary levels, from `level` (0 the loosest, ||) to the tightest.
    ExprAstNode* binary(int level);
    ExprAstNode* binaryRest(int level, ExprAstNode* first, int opcode, int tokens);
    int matchOperator(int level, int* tokens);
    ExprAstNode* typeofOperand();
    ExprAstNode* unary();
    ExprAstNode* postfix();
    ExprAstNode* newOrPrimary();
    ExprAstNode* primary();
    ExprAstNode* objectLiteral();
    ExprAstNode* arrayLiteral();
    bool arguments(FnCallAstNode* call);

    // JSON text (json_parse.cpp). jsonAdvance moves to the next token like
    // advance, but once the look-ahead is used up it lexes straight into t1
    // (JSON needs one token of look-ahead, not three).
    void jsonAdvance();
    int _jsonQueued = 0;
    Translatable* parseJSONObject();
    Translatable* parseJSONArray();
    // One value; inArray picks the wording of the error.
    Any* parseJSONValue(bool inArray);

    // Nesting: enter is false (and a syntax error recorded) when going
    // `cost` deeper passes the limit.
    bool enter(int cost);
    void leave(int cost) { _nesting -= cost; }
    // Holds `cost` levels for as long as it lives; ok is false when
    // entering failed.
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

    void traceState(const char* what);

    Lex* _lex;
    Token _t1, _t2, _t3;
    char* _name;
    int _debugLevel;
    ParserOutput* _debugStream;
    ParserOutput* _output;
    char _lineBuffer[4096];
    size_t _lineUsed;
    ExprAstNode* _expression;
    StmtListAstNode* _script;
    bool _newSeen;
    int _nesting;
    int _maxNesting;
};

#endif
