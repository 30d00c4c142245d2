// JSON and JSONPrototype: the script's JSON class. JSON.parse(text) reads
// an object or array text into a new Attributes or AnyArray tree (through
// Parser::parseJSON, json_parse.cpp); JSON.stringify(value) gives the value's
// JSON text form (strings escaped inside containers as their text forms are,
// see escapeJSONString), or null for a value without one.
//
// Codes: 48 a missing argument, 49 a text argument without a string form,
// 105 ("Syntax Error") for text that is not JSON (the inner parser's message
// stays with it), 111 a name that is not a method here.
//
// What parse makes counts toward the run's next look at its memory.
//
// Both classes are stateless and may be shared by every thread.
#ifndef DRV_SCRIPT_JSON_H
#define DRV_SCRIPT_JSON_H

#include "dirbase/translatable.h"

const unsigned int OBJ_JSON_ID = 501;
const unsigned int OBJ_JSON_PROTOTYPE_ID = static_cast<unsigned int>(-123);

// A JSON object a host may hand to scripts; its methods are the class's.
class JSON : public Translatable {
public:
    // "null".
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
};

class JSONPrototype : public Translatable {
public:
    // parse 25, stringify 26; terminated by 0.
    static const int kMemberIds[];

    bool isPrototype() const override { return true; }
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override;
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
};

// The JSON text of value (newly allocated, the caller frees it) in *text:
// the same text as its toJSON. Null with 0 when the value has no JSON form
// (it contains itself, or a part has no text); 39 when the text would be
// longer than a script string may be. json_text.cpp.
int script_jsonText(Parser* parser, Any* value, char** text);

#endif
