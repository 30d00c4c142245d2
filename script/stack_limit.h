// How deep the parser and the interpreter may still recurse on the calling
// thread. Both nest C++ calls as deep as the script nests (rules, operands,
// calls), and the number of nested calls alone does not bound the stack
// they take: a call whose expression chains fifty operators nests fifty
// evaluations. So the recursive paths compare the address of their own
// frame with a floor taken from the thread's real stack, whatever its size
// (scripts run on any thread, including ones with small stacks).
//
// Thread-safety: each thread computes its own floor once and keeps it.
#ifndef DRV_SCRIPT_STACK_LIMIT_H
#define DRV_SCRIPT_STACK_LIMIT_H

#include <stdint.h>

namespace script_stack {

// The lowest frame address recursion may reach on this thread: the low end
// of its stack plus a reserve for what runs between two checks (a built-in
// method, a value's text form, recording an error). The reserve is an
// eighth of the stack, at least 64 KiB (half of a stack smaller than
// 128 KiB) and at most 1 MiB.
uintptr_t floor();

// An address inside the caller's frame (or the frame just below it).
inline uintptr_t here() {
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

}  // namespace script_stack

#endif
