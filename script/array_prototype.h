// AnyArrayPrototype: the methods scripts call on arrays (list.join('-')).
// Registered for the object id of AnyArray (1030) under the class name
// "AnyArray" (alias "Array"); `of` and `isArray` may also be called on the
// class itself (Array.of(3), Array.isArray(x)).
//
// Results are new arrays; slice and concat share the element values with
// the source (objects by reference, numbers and strings copied), of makes
// empty slots. Codes answered: 48 a missing argument, 49 an argument that
// does not convert (concat: an argument that is not an array), 24 a negative
// size for `of`, 39 a result larger than a script may build (16 million
// elements, a 16 MiB string) or one that would copy more text than the run
// may grow by (slice, concat), 111 a name that is not a method here. What
// slice and concat copy counts toward the run's next look at its memory.
//
// Stateless; registered once and shared by every thread that runs scripts.
#ifndef DRV_SCRIPT_ARRAY_PROTOTYPE_H
#define DRV_SCRIPT_ARRAY_PROTOTYPE_H

#include "dirbase/translatable.h"

class AnyArrayPrototype : public Translatable {
public:
    // The member ids of its methods, terminated by 0.
    static const int kMemberIds[];
    // The most elements a method makes.
    static const int kMaxElements = 1 << 24;

    bool isPrototype() const override { return true; }
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override;
    char* toString(Parser* parser) override;
};

#endif
