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
#include <stdlib.h>
#include <string.h>

#include <string_view>
#include <unordered_set>
#include <vector>

#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "script/parser.h"

namespace {

// Keys of one object: a short list is searched in place, a long one hashed.
class KeySet {
public:
    // False when name is already there.
    bool add(const char* name) {
        std::string_view key(name);
        if (_count < kListed) {
            for (size_t i = 0; i < _count; ++i)
                if (_list[i] == key) return false;
            _list[_count++] = key;
            return true;
        }
        if (_hashed.empty()) _hashed.insert(_list, _list + kListed);
        return _hashed.insert(key).second;
    }

private:
    static const size_t kListed = 12;
    std::string_view _list[kListed];
    size_t _count = 0;
    std::unordered_set<std::string_view> _hashed;
};

// The elements of one array while it is read: the first few in place, the
// rest on the heap, so that small arrays cost no allocation of their own.
class ElementList {
public:
    ElementList() = default;
    ElementList(const ElementList&) = delete;
    ElementList& operator=(const ElementList&) = delete;
    ~ElementList() {
        for (size_t i = 0; i < size(); ++i) delete at(i);
    }

    void push(Any* value) {
        if (_inPlace < kInPlace)
            _first[_inPlace++] = value;
        else
            _more.push_back(value);
    }
    size_t size() const { return _inPlace + _more.size(); }
    // Hands the elements over as a malloc'd array of size() pointers.
    Any** take() {
        size_t n = size();
        Any** out = static_cast<Any**>(malloc(sizeof(Any*) * n));
        memcpy(out, _first, sizeof(Any*) * _inPlace);
        if (!_more.empty()) memcpy(out + _inPlace, _more.data(), sizeof(Any*) * _more.size());
        _inPlace = 0;
        _more.clear();
        return out;
    }

private:
    Any* at(size_t i) const { return i < _inPlace ? _first[i] : _more[i - _inPlace]; }
    static const size_t kInPlace = 8;
    Any* _first[kInPlace];
    size_t _inPlace = 0;
    std::vector<Any*> _more;
};

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
        // The entry takes the name before the token moves on; its value
        // follows.
        const char* name = _t1.value.getString() != nullptr ? _t1.value.getString() : "";
        Attributes::AttrList* entry = Attributes::AttrList::create(name, strlen(name), nullptr, 0);
        jsonAdvance();
        if (!_t1.isPunct(':')) {
            delete entry;
            pError("Expected ':' between member name and value");
            delete object;
            return nullptr;
        }
        jsonAdvance();
        Any* value = parseJSONValue(false);
        if (value == nullptr) {
            delete entry;
            delete object;
            return nullptr;
        }
        entry->replaceValue(value);
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
    ElementList elements;
    while (!_t1.isPunct(']')) {
        Any* value = parseJSONValue(true);
        if (value == nullptr) return nullptr;
        elements.push(value);
        if (_t1.isPunct(',')) {
            jsonAdvance();
        } else if (!_t1.isPunct(']')) {
            pError("Expected ']' to end object. Were there too many commas?");
            return nullptr;
        }
    }
    if (elements.size() > static_cast<size_t>(1 << 24)) {
        pError("Too many array elements");
        return nullptr;
    }
    jsonAdvance();
    AnyArray* array = new AnyArray();
    if (elements.size() > 0) {
        array->count = static_cast<int>(elements.size());
        array->elements = elements.take();
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
