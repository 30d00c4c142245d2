#include "script/string_prototype.h"

#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "script/builtin_args.h"

using namespace script_builtin;

const int AnyStringPrototype::kMemberIds[] = {15, 16, 0};

int AnyStringPrototype::callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name,
                                     Any** args) {
    *result = nullptr;
    if (name != nullptr && strcmp(name, "fromCharCode") == 0) {
        std::string bytes;
        for (int i = 0; args != nullptr && args[i] != nullptr; i++) {
            // A value that converts without producing a number (hint 1002)
            // leaves 0, which adds no byte.
            long long code = 0;
            if (!args[i]->convertToInt64(code)) return DirError::E_NOT_CONVERTIBLE;
            // A zero byte would end the C string: it is kept out.
            char c = static_cast<char>(code & 0xFF);
            if (c != '\0') bytes += c;
        }
        *result = newText(bytes.data(), bytes.size());
        return 0;
    }
    if (name != nullptr && strcmp(name, "fromCodePoint") == 0) return DirError::E_NOT_IMPLEMENTED;
    return Translatable::callMemberFn(parser, result, self, name, args);
}

char* AnyStringPrototype::toString(Parser*) {
    return strdup("[class String]");
}
