// drvdir's asynchronous commands: exec (runs a named operation through the
// execution thread, showing progress) and watch (prints the changes below a
// name until interrupted), and the JSON reading of exec's arguments.
#ifndef DRV_TOOLS_DRVDIR_EXEC_H
#define DRV_TOOLS_DRVDIR_EXEC_H

#include <string>
#include <vector>

class Any;
class DirName;
class Directory;

// One JSON value (number, string, true, false, null, array, object) as an
// Any: whole numbers become 32-bit integers when they fit, else 64-bit;
// arrays an AnyArray; objects an attribute set. Null with *error set to a
// description when the text is not one JSON value.
Any* parseJsonArg(const char* text, std::string* error);

// Runs operation on name with the arguments (JSON texts); progress goes to
// standard error, the result to standard output. The exit code.
int runExec(Directory* dir, const DirName* name, const char* operation, const std::vector<const char*>& args,
            int timeoutSeconds);

// Prints "add", "modify" and "delete" lines for the objects below name until
// SIGINT or SIGTERM (or, with maxChanges > 0, until that many were printed).
// The exit code.
int runWatch(Directory* dir, const DirName* name, int maxChanges);

#endif
