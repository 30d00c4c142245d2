// JSON text through the ordinary lexer: Parser::parseJSON and its two
// container rules. The lexer's literals are the JSON values, so the text may
// also use single-quoted strings, the lexer's escapes, comments, and numbers
// with suffixes. Integers are 64-bit, except that the parser has read its
// first three tokens before switching the lexer to 64-bit integers, so an
// integer among them is 32-bit.
//
// Objects keep their keys in text order; a repeated key is an error. Nesting
// is bounded by the parser's nesting limit, so a hostile text cannot exhaust
// the stack (here, nor later when the value is printed or freed).
#include <stdio.h>
#include <string.h>

#include <string_view>
#include <unordered_set>
#include <vector>

#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "script/parser.h"

namespace {

// Keys of one object: a short list is searched, a long one hashed.
class KeySet {
public:
    // False when name is already there.
    bool add(const char* name) {
        std::string_view key(name);
        if (_hashed.empty() && _list.size() < kListed) {
            for (const std::string_view& k : _list)
                if (k == key) return false;
            _list.push_back(key);
            return true;
        }
        if (_hashed.empty()) _hashed.insert(_list.begin(), _list.end());
        return _hashed.insert(key).second;
    }

private:
    static const size_t kListed = 12;
    std::vector<std::string_view> _list;
    std::unordered_set<std::string_view> _hashed;
};

// The text a string token holds, handed over (malloc'd).
char* handOverText(Any& value) {
    Any held;
    held.takeFrom(value);
    char* text = held.value.s;
    held.value.s = nullptr;
    return text != nullptr ? text : strdup("");
}

}  // namespace

void Parser::jsonAdvance() {
    if (_jsonQueued > 0) {
        _t1.moveTo(&_t2);
        if (--_jsonQueued > 0) _t2.moveTo(&_t3);
        return;
    }
    // As the parser's own look-ahead decides: a '/' after punctuation other
    // than ')' may start a regular expression.
    _t1.regexAllowed = (_t1.type == TOKEN_PUNCT && !_t1.isPunct(')')) || _t1.type == TOKEN_KEYWORD_TYPEOF;
    _lex->nextToken(&_t1);
}

bool Parser::parseJSON(Any** result) {
    *result = nullptr;
    _lex->setLongIntegers(true);
    // t2 and t3 were read ahead by the constructor.
    _jsonQueued = 2;
    Translatable* made;
    if (_t1.isPunct('{')) {
        made = parseJSONObject();
    } else if (_t1.isPunct('[')) {
        made = parseJSONArray();
    } else {
        pError("Expected '{' to start object or '[' to start array");
        return false;
    }
    if (made == nullptr) return false;
    if (_t1.type != TOKEN_END) {
        delete made;
        pError("Unexpected input at end");
        return false;
    }
    *result = new Any();
    (*result)->setReference(made);
    return true;
}

Translatable* Parser::parseJSONObject() {
    NestingGuard guard(this);
    if (!guard.ok) return nullptr;
    if (!_t1.isPunct('{')) {
        pError("Expected '{' to start object");
        return nullptr;
    }
    jsonAdvance();
    Attributes* object = new Attributes();
    Attributes::AttrList* tail = nullptr;
    KeySet keys;
    while (!_t1.isPunct('}')) {
        if (_t1.type != TOKEN_STRING) {
            pError("Property name as quoted string expected in object");
            delete object;
            return nullptr;
        }
        char* name = handOverText(_t1.value);
        jsonAdvance();
        if (!_t1.isPunct(':')) {
            free(name);
            pError("Expected ':' between member name and value");
            delete object;
            return nullptr;
        }
        jsonAdvance();
        Any* value = parseJSONValue(false);
        if (value == nullptr) {
            free(name);
            delete object;
            return nullptr;
        }
        Attributes::AttrList* entry =
            new Attributes::AttrList(Attributes::AttrList::AdoptName(), name, value, 0);
        if (tail != nullptr)
            tail->next = entry;
        else
            object->head = entry;
        tail = entry;
        if (!keys.add(entry->name)) {
            char message[160];
            snprintf(message, sizeof message, "Property (%.100s) already defined", entry->name);
            pError(message);
            delete object;
            return nullptr;
        }
        if (_t1.isPunct(',')) {
            jsonAdvance();
        } else if (!_t1.isPunct('}')) {
            pError("Expected '}' to end object. Were there too many commas?");
            delete object;
            return nullptr;
        }
    }
    jsonAdvance();
    return object;
}

Translatable* Parser::parseJSONArray() {
    NestingGuard guard(this);
    if (!guard.ok) return nullptr;
    if (!_t1.isPunct('[')) {
        pError("Expected '[' to start array");
        return nullptr;
    }
    jsonAdvance();
    std::vector<Any*> elements;
    bool ok = true;
    while (!_t1.isPunct(']')) {
        Any* value = parseJSONValue(true);
        if (value == nullptr) {
            ok = false;
            break;
        }
        elements.push_back(value);
        if (_t1.isPunct(',')) {
            jsonAdvance();
        } else if (!_t1.isPunct(']')) {
            pError("Expected ']' to end object. Were there too many commas?");
            ok = false;
            break;
        }
    }
    if (!ok || elements.size() > static_cast<size_t>(1 << 24)) {
        if (ok) pError("Too many array elements");
        for (Any* e : elements) delete e;
        return nullptr;
    }
    jsonAdvance();
    AnyArray* array = new AnyArray();
    if (!elements.empty()) {
        array->elements = static_cast<Any**>(malloc(sizeof(Any*) * elements.size()));
        memcpy(array->elements, elements.data(), sizeof(Any*) * elements.size());
        array->count = static_cast<int>(elements.size());
    }
    return array;
}

Any* Parser::parseJSONValue(bool inArray) {
    bool negative = _t1.isPunct('-');
    if (negative) jsonAdvance();
    Any* value = nullptr;
    switch (_t1.type) {
    case TOKEN_INTEGER:
    case TOKEN_LONG_INTEGER:
    case TOKEN_DOUBLE:
    case TOKEN_FLOAT:
        value = new Any();
        value->takeFrom(_t1.value);
        if (negative) value->setSign(-1);
        jsonAdvance();
        return value;
    case TOKEN_STRING:
    case TOKEN_BOOL:
    case TOKEN_LITERAL_NULL:
        if (negative) break;
        value = new Any();
        if (_t1.type != TOKEN_LITERAL_NULL) value->takeFrom(_t1.value);
        jsonAdvance();
        return value;
    case TOKEN_PUNCT: {
        if (negative) break;
        Translatable* made = nullptr;
        if (_t1.isPunct('{'))
            made = parseJSONObject();
        else if (_t1.isPunct('['))
            made = parseJSONArray();
        else
            break;
        if (made == nullptr) return nullptr;
        value = new Any();
        value->setReference(made);
        return value;
    }
    default: break;
    }
    pError(inArray ? "Expected primary expression in array creation" : "Expected primary expression in object creation");
    return nullptr;
}
