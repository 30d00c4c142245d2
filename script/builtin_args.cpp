#include "script/builtin_args.h"

#include <string.h>

#include "common/error_codes.h"
#include "script/lex_pattern.h"
#include "script/operators.h"
#include "script/parser.h"

namespace script_builtin {

int argCount(Any** args) {
    int n = 0;
    while (args != nullptr && args[n] != nullptr) n++;
    return n;
}

Any* arg(Any** args, int i) {
    for (int k = 0; k <= i; k++)
        if (args == nullptr || args[k] == nullptr) return nullptr;
    return args[i];
}

bool isText(const Any* v) {
    return v != nullptr && !v->isEncoded() && (v->getType() == ANY_STRING || v->getType() == ANY_CHAR);
}

int TextArg::read(Parser* parser, const Any* v) {
    if (v == nullptr) return DirError::E_MISSING_ARGUMENTS;
    if (isText(v)) {
        text = v->getString() != nullptr ? v->getString() : "";
    } else {
        int rc = plainTextOf(parser, *v, &_owned);
        if (rc != 0) return rc;
        text = _owned;
    }
    length = strlen(text);
    return 0;
}

int argInt64(Any** args, int i, bool required, long long* out) {
    Any* v = arg(args, i);
    if (v == nullptr) return required ? DirError::E_MISSING_ARGUMENTS : 0;
    // A value that every conversion accepts (hint 1002) converts without
    // writing: *out keeps the method's default.
    if (!v->convertToInt64(*out)) return DirError::E_NOT_CONVERTIBLE;
    return 0;
}

int argInt32(Any** args, int i, bool required, int* out) {
    Any* v = arg(args, i);
    if (v == nullptr) return required ? DirError::E_MISSING_ARGUMENTS : 0;
    if (!v->convertToInt32(*out)) return DirError::E_NOT_CONVERTIBLE;
    return 0;
}

ZephanPattern* patternOf(const Any* v) {
    if (v == nullptr || v->isEncoded()) return nullptr;
    Translatable* t = v->getReferenced();
    if (t == nullptr || t->getObjectID() != OBJ_ZEPHAN_PATTERN_ID) return nullptr;
    // Error objects share the pattern's object id.
    return dynamic_cast<ZephanPattern*>(t);
}

void TextBuffer::grow(size_t length) {
    size_t room = _room < 64 ? 64 : _room;
    while (room < _used + length + 1) room *= 2;
    _data = static_cast<char*>(realloc(_data, room));
    _room = room;
}

char* TextBuffer::take() {
    if (_data == nullptr) grow(0);
    _data[_used] = '\0';
    char* text = _data;
    _data = nullptr;
    _used = _room = 0;
    return text;
}

Any* newText(const char* data, size_t length) {
    char* s = static_cast<char*>(malloc(length + 1));
    if (length > 0) memcpy(s, data, length);
    s[length] = '\0';
    return adoptText(s);
}

Any* adoptText(char* text) {
    Any* v = new Any(static_cast<const char*>(nullptr));
    v->value.s = text;
    return v;
}

Any* newReference(Translatable* object) {
    Any* v = new Any();
    v->setReference(object);
    return v;
}

void noteNewArray(Parser* parser, const AnyArray* array) {
    if (parser == nullptr || array == nullptr) return;
    size_t bytes = static_cast<size_t>(array->count) * sizeof(Any*);
    for (int i = 0; i < array->count; i++) {
        const Any* e = array->elements[i];
        if (e == nullptr) continue;
        bytes += sizeof(Any);
        if (isText(e) && e->getString() != nullptr) bytes += strlen(e->getString()) + 1;
    }
    parser->noteBuilt(bytes);
}

}  // namespace script_builtin
