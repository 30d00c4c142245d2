// AnyPrototype: the methods scripts call on plain values ('abc'.charAt(1)).
// Registered for the object id of Any (1000); its methods act on strings,
// and a call on any other kind of value answers 111 ("No such function").
//
// Character positions (charAt, charCodeAt, substring, slice) count UTF-8
// characters and cut at character boundaries; the search methods (indexOf,
// lastIndexOf, includes, startsWith, endsWith) and `length` work in bytes.
// For ASCII text the two agree. Malformed UTF-8 is stepped over with the u8_
// functions' rules and never read past its terminator.
//
// Codes answered: 16 an encoded value, 48 a missing argument, 49 an argument
// that does not convert (or is of the wrong kind), 56 a character position
// out of range (charAt, charCodeAt, endsWith), 39 a result longer than the
// longest string a script may build, 111 a name that is not a method here.
//
// Stateless; registered once and shared by every thread that runs scripts.
#ifndef DRV_SCRIPT_ANY_PROTOTYPE_H
#define DRV_SCRIPT_ANY_PROTOTYPE_H

#include "dirbase/translatable.h"

class AnyPrototype : public Translatable {
public:
    // The member ids of its methods, terminated by 0.
    static const int kMemberIds[];

    bool isPrototype() const override { return true; }
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override;
    char* toString(Parser* parser) override;
};

#endif
