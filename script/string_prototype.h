// AnyStringPrototype: the class-level string functions, registered under
// the class name "String": String.fromCharCode(72, 105) is "Hi" (one byte
// per argument, its low 8 bits); String.fromCodePoint answers 21 ("Not
// Implemented"). Codes: 49 an argument that is not an integer, 111 any
// other name.
//
// Stateless; registered once and shared by every thread that runs scripts.
#ifndef DRV_SCRIPT_STRING_PROTOTYPE_H
#define DRV_SCRIPT_STRING_PROTOTYPE_H

#include "dirbase/translatable.h"

class AnyStringPrototype : public Translatable {
public:
    // fromCodePoint 15, fromCharCode 16; terminated by 0.
    static const int kMemberIds[];

    bool isPrototype() const override { return true; }
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override;
    char* toString(Parser* parser) override;
};

#endif
