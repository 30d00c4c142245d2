// The built-in classes of the scripting language that a host registers
// before it runs scripts: the string methods on plain values (class "Any"),
// the class-level string functions ("String"), the array methods
// ("AnyArray", alias "Array"), "JSON", and the pattern class
// ("ZephanPattern"), each with the member ids of its methods.
//
// Call at start-up, before scripts run (the class registry is written only
// then); calling again changes nothing.
#ifndef DRV_SCRIPT_BUILTINS_H
#define DRV_SCRIPT_BUILTINS_H

void script_registerBuiltins();

#endif
