// The value rules of the script operators, on plain values: arithmetic,
// comparison and equality (binaryMath), shifts and bitwise operators
// (binaryBits), unary minus, complement and the ++/-- step. Evaluation
// (eval_expr.cpp) calls these after reading its operands; keeping them apart
// from the tree lets them run on stack values without allocating.
//
// Each answers 0 with the result in out, or a shared error code with the
// script error class to report it as. No state of their own: any thread
// (binaryMath reads the given parser's scope, which is that run's thread's).
#ifndef DRV_SCRIPT_OPERATORS_H
#define DRV_SCRIPT_OPERATORS_H

#include "dirbase/any.h"
#include "script/error.h"


// Opcodes 16-31 (+ - * / % < <= > >= == != === !==). parser (may be null)
// is the run whose scope the text forms of `+` see: a date's text follows
// the script's TZ.
int binaryMath(Parser* parser, int opcode, const Any& left, const Any& right, Any& out, Error::Type* type);
// Opcodes 25-27 (<< >> >>>) and 35-37 (& | ^).
int binaryBits(int opcode, const Any& left, const Any& right, Any& out, Error::Type* type);
// Unary minus, in place.
int negateValue(Any& value, Error::Type* type);
// ~, in place.
int complementValue(Any& value, Error::Type* type);
// Adds delta to a number in place, keeping its type.
int stepValue(Any& value, int delta, Error::Type* type);
// The string form used by `+`, template output and print: a string's own
// text, any other value's toString. New, caller frees. Null when the value
// has no bounded text: an array or object that contains itself, or more
// than kMaxTextElements elements in all (the value layer would recurse
// without end), or strings, keys and pattern sources inside it of more
// than kMaxStringBytes in all (it would build a text of gigabytes); shared
// parts count each time they appear.
char* plainText(Parser* parser, const Any& value);
// plainText with the reason when there is no text: 0 with the text in
// *text; 49 for a value that contains itself or has too many elements, 39
// for one whose text would be too long.
int plainTextOf(Parser* parser, const Any& value, char** text);
// Whether object's text is bounded in the sense above.
bool textIsBounded(const Translatable* object);
const size_t kMaxTextElements = 100000;
// The deepest nesting of arrays and objects that has a text (and a JSON)
// form: printing recurses once per level.
const size_t kMaxTextDepth = 64;
// The longest string a script can build (16 MiB): longer results are
// RangeError 39, so that a doubling loop ends with an error, not with the
// machine's memory.
const size_t kMaxStringBytes = 16u << 20;

#endif
