#include "common/dravika_init.h"

#include <signal.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "common/perf_data.h"

void dravika_init() {
    signal(SIGPIPE, SIG_IGN);
    // The coms threads keep running through exit(); OpenSSL's own exit
    // handler would free the locks they may still be taking. The process's
    // end frees its memory anyway. Only the first initialisation decides.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    SSL_library_init();
    SSL_load_error_strings();
    OpenSSL_add_all_algorithms();
    if (perfData != nullptr) perfRegisterCounters();
}
