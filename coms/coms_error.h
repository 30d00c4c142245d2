// The texts of the connection error codes. The codes themselves (ComsError,
// -1 to -24 with the encoding's -11..-19 in between) are listed once in
// common/error_codes.h.
#ifndef DRV_COMS_COMS_ERROR_H
#define DRV_COMS_COMS_ERROR_H

#include "common/error_codes.h"

// The text of a connection or encoding error code; an empty text for any
// other code. Never null.
const char* messageFromError(int code);

#endif
