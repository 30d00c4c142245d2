// The connection error codes (-1 to -24) and their texts.
#ifndef DRV_COMS_COMS_ERROR_H
#define DRV_COMS_COMS_ERROR_H

enum ComsError {
    COMS_E_REFUSED_BY_SERVER = -1,
    COMS_E_SOCKET = -2,
    COMS_E_NO_HOST = -3,
    COMS_E_NO_SERVICE = -4,
    COMS_E_CERTIFICATE = -5,
    COMS_E_KEY = -6,
    COMS_E_CONNECT = -7,
    COMS_E_REFUSED = -8,
    COMS_E_RESET = -9,
    COMS_E_NOT_CONNECTED = -10,
    // -11 to -19 are the sticky errors of the encoding (dirbase/message.h).
    COMS_E_HANDSHAKE_TIMEOUT = -20,
    COMS_E_AUTH = -21,
    COMS_E_NO_NETWORK_ROUTE = -22,
    COMS_E_NO_HOST_ROUTE = -23,
    COMS_E_WHITELIST = -24,
};

// The text of a connection or encoding error code; an empty text for any
// other code. Never null.
const char* messageFromError(int code);

#endif
