#include "script/token.h"

#include <stdlib.h>

#include "script/location.h"
#include "script/parser.h"

const char* tokenTypeName(int type) {
#define DRV_TOKEN_NAME(code, name, word) \
    case code: return #name;
    switch (type) { DRV_TOKEN_TYPES(DRV_TOKEN_NAME) }
#undef DRV_TOKEN_NAME
    return nullptr;
}

const char* tokenWord(int type) {
#define DRV_TOKEN_WORD(code, name, word) \
    case code: return word;
    switch (type) { DRV_TOKEN_TYPES(DRV_TOKEN_WORD) }
#undef DRV_TOKEN_WORD
    return nullptr;
}

Token::Token()
    : line(0),
      column(0),
      type(TOKEN_END),
      regexAllowed(false),
      spaceBefore(false),
      text(nullptr),
      textLength(0),
      outputExpression(false) {}

Token::~Token() {
    clear();
}

void Token::clear() {
    free(text);
    text = nullptr;
    textLength = 0;
    value.clear();
}

void Token::moveTo(Token* from) {
    type = from->type;
    line = from->line;
    column = from->column;
    spaceBefore = from->spaceBefore;
    value.takeFrom(from->value);
    from->value.clear();
    free(text);
    text = from->text;
    textLength = from->textLength;
    from->text = nullptr;
    from->textLength = 0;
    outputExpression = from->outputExpression;
}

Location* Token::getLocation(Parser* parser) const {
    return new Location(parser != nullptr ? parser->getName() : nullptr, nullptr, line, column == 0 ? 1 : column);
}

void Token::print(Parser* parser) const {
    if (spaceBefore) parser->printf(2, "(space) ");
    if (regexAllowed) parser->printf(2, "[R] ");
    if (text != nullptr) parser->printf(2, "[T] ");
    switch (type) {
    case TOKEN_IDENT:
    case TOKEN_STRING:
    case TOKEN_DOUBLE:
    case TOKEN_FLOAT:
    case TOKEN_INTEGER:
    case TOKEN_LONG_INTEGER:
    case TOKEN_BOOL: parser->printf(2, "%s: ", tokenTypeName(type)); break;
    case TOKEN_PUNCT: parser->printf(2, "PUNCT: '%c'", static_cast<char>(value.getInt32())); return;
    case TOKEN_END: parser->printf(2, "END"); return;
    default:
        if ((type >= TOKEN_FIRST_KEYWORD && type <= TOKEN_LAST_KEYWORD) || type == TOKEN_LITERAL_NULL ||
            type == TOKEN_LITERAL_UNDEFINED) {
            parser->printf(2, "%s", tokenTypeName(type));
            return;
        }
        parser->printf(2, "type: %d ", type);
        break;
    }
    char* shown = const_cast<Any&>(value).toString(parser);
    parser->printf(2, "%s", shown != nullptr ? shown : "null");
    free(shown);
}
