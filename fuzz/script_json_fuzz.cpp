// JSON.parse on arbitrary text, then JSON.stringify of whatever it built:
// every outcome is fine but a crash, a leak, a hang or a sanitizer report.
// Deep nesting must end as a syntax error, not as a stack overflow. The
// one-pass JSON text must equal the value's own toJSON text.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/log.h"
#include "dirbase/any.h"
#include "script/operators.h"
#include "script/builtins.h"
#include "script/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static JSONPrototype* json = [] {
        setLog("/dev/null");
        script_registerBuiltins();
        JSONPrototype* p = new JSONPrototype();
        ObjRef::addRef(p);
        return p;
    }();
    std::string text(reinterpret_cast<const char*>(data), size);
    Any* args[2] = {new Any(text.c_str()), nullptr};
    Any* parsed = nullptr;
    if (json->callMemberFn(nullptr, &parsed, json, "parse", args) == 0) {
        Any* again[2] = {parsed, nullptr};
        Any* printed = nullptr;
        if (json->callMemberFn(nullptr, &printed, json, "stringify", again) != 0 || printed == nullptr) abort();
        if (textIsBounded(parsed->getReferenced())) {
            char* generic = parsed->toJSON(nullptr);
            if (generic == nullptr || printed->getString() == nullptr || strcmp(generic, printed->getString()) != 0)
                abort();
            free(generic);
        }
        delete printed;
    }
    delete parsed;
    delete args[0];
    return 0;
}
