#include "coms/coms_error.h"

#include "dirbase/message.h"

// The encoding spells its codes in MessageError; they must be the numbers
// the shared list gives them, or a connection would report an encoding
// failure under another code's text.
#define DRV_CHECK_ENCODING_CODE(code, name, text) static_assert(name == (code), #name " differs from the list");
DRV_ENCODING_ERRORS(DRV_CHECK_ENCODING_CODE)
#undef DRV_CHECK_ENCODING_CODE

const char* messageFromError(int code) {
    // Callers of the connection layer meet the encoding's codes as well, so
    // both tables answer here.
    return errorText(ERRORS_CONNECTION, code, errorText(ERRORS_ENCODING, code, ""));
}
