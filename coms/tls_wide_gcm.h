// Offers wide_gcm.h's AES-128-GCM to the TLS layer, as a small provider of
// the crypto library with that one cipher. TLS 1.2 record protection (the
// only version this system speaks) runs on the wide code; any other use of
// the cipher through it is handed on to the library's own AES-128-GCM.
//
// The provider is registered in the library's default context the first
// time it is asked for, once per process, and only where the processor has
// the instructions; the library's own providers stay loaded and serve
// everything else. Contexts made with tlsWideGcmProperties() prefer it for
// AES-128-GCM; the preference is a soft one, so anything else they fetch
// comes from the library as before. Each cipher context the library makes
// from it belongs to one TLS direction (or one caller), as with any cipher.
#ifndef DRV_COMS_TLS_WIDE_GCM_H
#define DRV_COMS_TLS_WIDE_GCM_H

// The property query to create TLS contexts with (SSL_CTX_new_ex), or null
// where the processor lacks the instructions or registration failed
// (logged once). Thread-safe.
const char* tlsWideGcmProperties();

#endif
