#include "common/dravika_init.h"

#include <signal.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "common/perf_data.h"

void dravika_init() {
    signal(SIGPIPE, SIG_IGN);
    SSL_library_init();
    SSL_load_error_strings();
    OpenSSL_add_all_algorithms();
    if (perfData != nullptr) perfRegisterCounters();
}
