// The JSON text of a value in one pass into one buffer: the same text as the
// value's toJSON (containers print their elements' text forms, so strings
// inside them are escaped as escapeJSONString does), without a separate
// allocation per element and without the element budget of the generic
// text forms: a cycle means "no JSON form", and the text's length is bounded
// instead (kMaxStringBytes), which also bounds shared parts printed again
// and again. Nesting is bounded as in the text forms (kMaxTextDepth): a
// deeper value has no JSON form either, and the writer's recursion stays
// within the stack.
#include <stdio.h>
#include <string.h>

#include <typeinfo>
#include <vector>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/string_builder.h"
#include "script/builtin_args.h"
#include "io/utf8.h"
#include "script/builtin_args.h"
#include "script/json.h"
#include "script/operators.h"

using script_builtin::TextBuffer;

namespace {

class JsonWriter {
public:
    explicit JsonWriter(Parser* parser) : _parser(parser) {}

    // False when the value has no JSON form or the text grew too long.
    bool top(Any& v);
    bool tooLarge() const { return _tooLarge; }
    TextBuffer out;

private:
    // Inside a container: the value's text form.
    bool element(Any& v);
    bool object(Translatable* t, bool top);
    bool array(AnyArray* a);
    bool attributes(Attributes* a);
    // Appends a newly allocated text; false for none.
    bool adopt(char* text);
    void escaped(const char* s);
    bool room() {
        if (out.length() <= kMaxStringBytes) return true;
        _tooLarge = true;
        return false;
    }

    // Counts one more level of containers; false past kMaxTextDepth.
    bool deeper() { return ++_depth <= kMaxTextDepth; }

    Parser* _parser;
    std::vector<const Translatable*> _path;  // the containers being printed
    size_t _depth = 0;                       // containers open around the writer
    bool _tooLarge = false;
};

bool JsonWriter::adopt(char* text) {
    if (text == nullptr) return false;
    out.append(text);
    free(text);
    return room();
}

bool JsonWriter::top(Any& v) {
    if (v.isEncoded()) return adopt(v.toJSON(_parser));
    switch (v.getType()) {
    case ANY_STRING:
        if (v.getString() == nullptr) return false;
        out.append("\"", 1);
        out.append(v.getString());
        out.append("\"", 1);
        return room();
    case ANY_REFERENCE:
        if (v.getReferenced() == nullptr) {
            out.append("null", 4);
            return true;
        }
        return object(v.getReferenced(), true);
    case OBJ_ANYARRAY_ID: return v.getArray() != nullptr ? array(v.getArray()) : (out.append("null", 4), true);
    default: break;
    }
    if (v.getType() >= 11 && v.value.object != nullptr) return object(v.value.object, true);
    return element(v);
}

bool JsonWriter::element(Any& v) {
    if (v.isEncoded()) return adopt(v.toString(_parser));
    char number[32];
    switch (v.getType()) {
    case ANY_NULL: out.append("null", 4); return true;
    case ANY_BOOLEAN: out.append(v.getBool() ? "true" : "false"); return true;
    case ANY_INT32:
        out.append(number, static_cast<size_t>(snprintf(number, sizeof number, "%d", v.getInt32())));
        return room();
    case ANY_INT64:
        if (v.getHint() == HINT_DATE) return adopt(v.toString(_parser));
        out.append(number, static_cast<size_t>(snprintf(number, sizeof number, "%lld",
                                                         static_cast<long long>(v.getInt64()))));
        return room();
    case ANY_STRING:
        if (v.getString() == nullptr) {
            out.append("null", 4);
            return true;
        }
        escaped(v.getString());
        return room();
    case ANY_UNDEFINED: out.append("undefined", 9); return true;
    case ANY_REFERENCE:
        if (v.getReferenced() == nullptr) {
            out.append("null", 4);
            return true;
        }
        return object(v.getReferenced(), false);
    case OBJ_ANYARRAY_ID: return v.getArray() != nullptr ? array(v.getArray()) : (out.append("null", 4), true);
    default: break;
    }
    if (v.getType() >= 11 && v.value.object != nullptr) return object(v.value.object, false);
    // Floating point and the char kind: their own text forms.
    char* text = v.toString(_parser);
    if (text == nullptr) {
        out.append("null", 4);
        return true;
    }
    return adopt(text);
}

bool JsonWriter::object(Translatable* t, bool top) {
    for (const Translatable* p : _path)
        if (p == t) return false;
    unsigned int id = t->getObjectID();
    bool ok;
    if (id == OBJ_ANYARRAY_ID && typeid(*t) == typeid(AnyArray)) {
        _path.push_back(t);
        ok = array(static_cast<AnyArray*>(t));
        _path.pop_back();
    } else if (id == OBJ_ATTRIBUTES_ID && typeid(*t) == typeid(Attributes)) {
        _path.push_back(t);
        ok = attributes(static_cast<Attributes*>(t));
        _path.pop_back();
    } else {
        // Any other object prints itself, when its text is bounded.
        if (!textIsBounded(t)) return false;
        char* text = top ? t->toJSON(_parser) : t->toString(_parser);
        if (text == nullptr && !top) {
            out.append("null", 4);
            return true;
        }
        ok = adopt(text);
    }
    return ok;
}

bool JsonWriter::array(AnyArray* a) {
    if (!deeper()) return false;
    out.append("[ ", 2);
    for (int i = 0; i < a->size(); i++) {
        if (i > 0) out.append(", ", 2);
        Any* e = a->get(i);
        if (e == nullptr)
            out.append("null", 4);
        else if (!element(*e))
            return false;
    }
    out.append(" ]", 2);
    --_depth;
    return room();
}

bool JsonWriter::attributes(Attributes* a) {
    if (!deeper()) return false;
    out.append("{ ", 2);
    for (Attributes::AttrList* e = a->head; e != nullptr; e = e->next) {
        if (e != a->head) out.append(", ", 2);
        out.append("\"", 1);
        out.append(e->name);
        out.append("\" : ", 4);
        Any* v = e->getValue();
        if (v == nullptr)
            out.append("null", 4);
        else if (!element(*v))
            return false;
    }
    out.append(" }", 2);
    --_depth;
    return room();
}

// The escaping of escapeJSONString, written straight into the buffer.
void JsonWriter::escaped(const char* s) {
    out.append("\"", 1);
    int i = 0;
    while (s[i] != '\0') {
        int run = i;
        // Plain ASCII is copied in runs; a byte that a continuation byte
        // follows is decoded together with it, as u8_nextchar does.
        while (s[run] >= 32 && s[run] != 127 && s[run] != '"' && s[run] != '\\' && (s[run + 1] & 0xC0) != 0x80)
            run++;
        if (run > i) {
            out.append(s + i, static_cast<size_t>(run - i));
            i = run;
            continue;
        }
        int start = i;
        uint32_t ch = u8_nextchar(s, &i);
        char escape[16];
        int n = 0;
        switch (ch) {
        case '\\': n = snprintf(escape, sizeof escape, "\\\\"); break;
        case '"': n = snprintf(escape, sizeof escape, "\\\""); break;
        case 7: n = snprintf(escape, sizeof escape, "\\a"); break;
        case 8: n = snprintf(escape, sizeof escape, "\\b"); break;
        case 9: n = snprintf(escape, sizeof escape, "\\t"); break;
        case 10: n = snprintf(escape, sizeof escape, "\\n"); break;
        case 12: n = snprintf(escape, sizeof escape, "\\f"); break;
        case 13: n = snprintf(escape, sizeof escape, "\\r"); break;
        default:
            if (ch < 32 || ch == 127)
                n = snprintf(escape, sizeof escape, "\\x%hhX", static_cast<unsigned char>(ch));
            else if (ch >= 128 && ch <= 65535)
                n = snprintf(escape, sizeof escape, "\\u%04X", ch);
            else if (ch > 65535)
                n = snprintf(escape, sizeof escape, "\\U%08X", ch);
            break;
        }
        if (n > 0)
            out.append(escape, static_cast<size_t>(n));
        else
            out.append(s + start, static_cast<size_t>(i - start));
    }
    out.append("\"", 1);
}

}  // namespace

int script_jsonText(Parser* parser, Any* value, char** text) {
    *text = nullptr;
    int* pretty = _scriptTypeHooks.prettyLevel != nullptr && parser != nullptr ? _scriptTypeHooks.prettyLevel(parser)
                                                                                 : nullptr;
    if (pretty != nullptr) {
        // Indented output is the value layer's own; its text is bounded by
        // the generic element budget.
        Translatable* object = value->getReferenced();
        if (object == nullptr || textIsBounded(object)) *text = value->toJSON(parser);
        return 0;
    }
    JsonWriter writer(parser);
    if (writer.top(*value)) {
        *text = writer.out.take();
        return 0;
    }
    return writer.tooLarge() ? DirError::E_NO_RESOURCE : 0;
}
