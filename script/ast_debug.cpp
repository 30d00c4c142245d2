// The tree dump: one line per node, indented four spaces per level, each
// node line ending with its location. It goes through the parser's debug
// output at level 2.
#include <stdio.h>
#include <stdlib.h>

#include "script/ast.h"
#include "script/function.h"
#include "script/location.h"
#include "script/parser.h"
#include "script/stack_limit.h"

namespace {
const int kLevel = 2;

// Starts an unlabelled child block one level deeper.
struct Deeper {
    explicit Deeper(Parser* p) : parser(p) { ++parser->dumpDepth; }
    ~Deeper() { --parser->dumpDepth; }
    Parser* parser;
};

void dumpNode(Parser* parser, AstNode* node) {
    if (node != nullptr && script_stack::here() < script_stack::floor()) {
        // A tree as deep as the stack allows (a chain of thousands of
        // operators nests one level per operand): its depths go unprinted.
        parser->printf(kLevel, "%*s...\n", parser->dumpDepth * 4, "");
    } else if (node != nullptr) {
        node->dump(parser);
    } else {
        parser->printf(kLevel, "%*s<none>\n", parser->dumpDepth * 4, "");
    }
}

// A line of its own at the current depth, without a location.
void line(Parser* parser, const char* text) {
    parser->printf(kLevel, "%*s%s\n", parser->dumpDepth * 4, "", text);
}
}  // namespace

void AstNode::dumpIndent(Parser* parser) {
    parser->printf(kLevel, "%*s", parser->dumpDepth * 4, "");
}

void AstNode::dumpLocation(Parser* parser) const {
    if (location == nullptr) {
        parser->printf(kLevel, "\n");
        fputs("\n\nWARNING: location is null\n", stdout);
        return;
    }
    parser->printf(kLevel, " (%s:%d:%d)\n", location->fileName != nullptr ? location->fileName : "", location->line,
                   location->column);
}

void AstNode::dumpChild(Parser* parser, const char* label, AstNode* child) {
    if (label != nullptr) line(parser, label);
    Deeper d(parser);
    dumpNode(parser, child);
}

void StmtAstNode::dumpPreceding(Parser* parser) {
    if (preceding != nullptr) preceding->dump(parser);
}

void UnaryExprAstNode::dumpUnary(Parser* parser, const char* text) {
    dumpIndent(parser);
    parser->printf(kLevel, "%s", text);
    dumpLocation(parser);
    dumpChild(parser, nullptr, operand);
}

void BinaryExprAstNode::dumpBinary(Parser* parser, const char* text) {
    dumpIndent(parser);
    parser->printf(kLevel, "%s", text);
    dumpLocation(parser);
    Deeper d(parser);
    dumpNode(parser, left);
    dumpNode(parser, right);
}

void LiteralAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    if (token.type == TOKEN_LITERAL_NULL) {
        parser->printf(kLevel, "literal: null");
    } else if (token.type == TOKEN_LITERAL_UNDEFINED) {
        parser->printf(kLevel, "literal: undefined");
    } else {
        char* text = token.value.toString(parser);
        parser->printf(kLevel, "literal: %s", text != nullptr ? text : "null");
        free(text);
    }
    dumpLocation(parser);
}

void IdentAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    parser->printf(kLevel, "identifier: '%s'", name);
    dumpLocation(parser);
}

void ObjectAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    Translatable* obj = object.get();
    char* text = obj != nullptr ? obj->toString(parser) : nullptr;
    parser->printf(kLevel, "literal: %s", text != nullptr ? text : "null");
    free(text);
    dumpLocation(parser);
    Function* fn = dynamic_cast<Function*>(obj);
    if (fn != nullptr) dumpChild(parser, nullptr, fn->body);
}

void ObjectFactoryAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    parser->printf(kLevel, "%s", kind == OBJECT_LITERAL ? "object:" : "array:");
    dumpLocation(parser);
    Deeper d(parser);
    for (Entry& e : entries) {
        if (e.name != nullptr) {
            char* label = nullptr;
            if (asprintf(&label, "'%s':", e.name) < 0) label = nullptr;
            dumpChild(parser, label != nullptr ? label : "?", e.value);
            free(label);
        } else {
            dumpNode(parser, e.value);
        }
    }
}

void FnCallAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    if (isNew) {
        parser->printf(kLevel, "call: new '%s'", className != nullptr ? className : "");
    } else {
        parser->printf(kLevel, "call:");
    }
    dumpLocation(parser);
    Deeper d(parser);
    if (methodName != nullptr) parser->printf(kLevel, "%*sfunction: %s\n", parser->dumpDepth * 4, "", methodName);
    if (target != nullptr) dumpNode(parser, target);
    if (args.empty()) line(parser, "arg <no arguments>");
    for (size_t i = 0; i < args.size(); ++i) {
        parser->printf(kLevel, "%*sarg %d: \n", parser->dumpDepth * 4, "", static_cast<int>(i));
        Deeper more(parser);
        dumpNode(parser, args[i]);
    }
}

void ArrayDerefAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    parser->printf(kLevel, "'[' array/map dereference");
    dumpLocation(parser);
    Deeper d(parser);
    dumpNode(parser, base);
    for (size_t i = 0; i < indexes.size(); ++i) {
        parser->printf(kLevel, "%*sindex %d: \n", parser->dumpDepth * 4, "", static_cast<int>(i));
        Deeper more(parser);
        dumpNode(parser, indexes[i]);
    }
}

void MemberDerefAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    parser->printf(kLevel, "'.' property dereference");
    dumpLocation(parser);
    Deeper d(parser);
    dumpNode(parser, object);
    dumpNode(parser, member);
}

void IncrementAstNode::dump(Parser* parser) {
    dumpUnary(parser, prefix ? "'++' pre increment" : "'++' post increment");
}

void DecrementAstNode::dump(Parser* parser) {
    dumpUnary(parser, prefix ? "'--' pre decrement" : "'--' post decrement");
}

void NegativeAstNode::dump(Parser* parser) {
    dumpUnary(parser, "'-' negative");
}

void BooleanNotAstNode::dump(Parser* parser) {
    dumpUnary(parser, "'!' logical not");
}

void BitwiseNotAstNode::dump(Parser* parser) {
    dumpUnary(parser, "'~' bitwise not");
}

void TypeofAstNode::dump(Parser* parser) {
    dumpUnary(parser, "'typeof'");
}

#define DRV_DUMP_OPCODE(Name, kind)                                   \
    void Name::dump(Parser* parser) {                                 \
        char* text = nullptr;                                         \
        if (asprintf(&text, "'%s' " kind, opcodeName(opcode)) < 0) {  \
            text = nullptr;                                           \
        }                                                             \
        dumpBinary(parser, text != nullptr ? text : kind);            \
        free(text);                                                   \
    }
DRV_DUMP_OPCODE(MulAstNode, "multiplicative")
DRV_DUMP_OPCODE(AddAstNode, "additive")
DRV_DUMP_OPCODE(ShiftAstNode, "shift")
DRV_DUMP_OPCODE(CompareAstNode, "compare")
DRV_DUMP_OPCODE(EqualsAstNode, "equal")
#undef DRV_DUMP_OPCODE

void BitwiseAndAstNode::dump(Parser* parser) {
    dumpBinary(parser, "'&' bitwise and");
}

void BitwiseXorAstNode::dump(Parser* parser) {
    dumpBinary(parser, "'^' bitwise xor");
}

void BitwiseOrAstNode::dump(Parser* parser) {
    dumpBinary(parser, "'|' bitwise or");
}

void LogicalAndAstNode::dump(Parser* parser) {
    dumpBinary(parser, "'&&' logical and");
}

void LogicalOrAstNode::dump(Parser* parser) {
    dumpBinary(parser, "'||' logical or");
}

void AssignmentExprAstNode::dump(Parser* parser) {
    dumpBinary(parser, "'=' assign");
}

void ConditionalExpressionAstNode::dump(Parser* parser) {
    dumpIndent(parser);
    parser->printf(kLevel, "'? conditional");
    dumpLocation(parser);
    Deeper d(parser);
    dumpNode(parser, condition);
    dumpNode(parser, thenExpr);
    dumpNode(parser, elseExpr);
}

void StmtListAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "'{' statement list");
    dumpLocation(parser);
    Deeper d(parser);
    for (Entry& e : entries) {
        if (e.labels != nullptr) {
            for (Any* v : e.labels->values) {
                char* text = v->toString(parser);
                parser->printf(kLevel, "%*scase %s:\n", parser->dumpDepth * 4, "", text != nullptr ? text : "null");
                free(text);
            }
        }
        if (e.isDefault) line(parser, "default:");
        dumpNode(parser, e.stmt);
    }
}

void LetOrVarAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "%s statement", kind == LET ? "let" : "var");
    dumpLocation(parser);
    Deeper d(parser);
    parser->printf(kLevel, "%*svariable: '%s'\n", parser->dumpDepth * 4, "", name);
    if (init != nullptr) dumpChild(parser, "value:", init);
}

void AssignmentStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "assignment statement");
    dumpLocation(parser);
    dumpChild(parser, nullptr, expr);
}

void ReturnStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "return");
    dumpLocation(parser);
    dumpChild(parser, nullptr, expr);
}

void OutputStmt::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    char* quoted = escapeJSONString(text != nullptr ? text : "");
    parser->printf(kLevel, "%s %s", expr != nullptr ? "<output expr>" : "<output>",
                   quoted != nullptr ? quoted : "\"\"");
    free(quoted);
    dumpLocation(parser);
    if (expr != nullptr) dumpChild(parser, nullptr, expr);
}

void IfStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "'if'");
    dumpLocation(parser);
    Deeper d(parser);
    for (StmtHelperEntry& e : entries) {
        if (e.condition != nullptr) {
            dumpChild(parser, "condition:", e.condition);
            dumpChild(parser, "then:", e.stmt);
        } else {
            dumpChild(parser, "else:", e.stmt);
        }
    }
}

void WhileStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "'while'");
    dumpLocation(parser);
    Deeper d(parser);
    dumpChild(parser, "condition:", condition);
    dumpChild(parser, "body:", body);
}

void DoWhileStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "'do-while'");
    dumpLocation(parser);
    Deeper d(parser);
    dumpChild(parser, "body:", body);
    dumpChild(parser, "condition:", condition);
}

void ForStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "'for'");
    dumpLocation(parser);
    Deeper d(parser);
    dumpChild(parser, "init:", init);
    dumpChild(parser, "condition:", condition);
    dumpChild(parser, "final:", finalExpr);
    dumpChild(parser, "body:", body);
}

void SwitchStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "'switch'");
    dumpLocation(parser);
    Deeper d(parser);
    dumpNode(parser, expr);
    dumpNode(parser, body);
}

void FlowStmtAstNode::dump(Parser* parser) {
    dumpPreceding(parser);
    dumpIndent(parser);
    parser->printf(kLevel, "%s", kind == TOKEN_KEYWORD_BREAK ? "'break'" : "'continue'");
    dumpLocation(parser);
}
