// AES-128-GCM on the processor's 512-bit vector AES and carry-less multiply
// (VAES, VPCLMULQDQ, AVX-512), sixteen blocks at a time.
//
// Bulk transfers spend a third of their CPU time sealing and opening TLS
// records, and the library this system links (OpenSSL 3.0) does GCM with
// 128-bit instructions only. On a processor with the wide ones this does the
// same work in well under half the time. tls_wide_gcm.h offers it to the TLS
// layer; nothing else needs to call it.
//
// A WideGcmKey is written once by wideGcmSetKey and is then read-only, so
// any number of threads may seal and open with it at once. The functions
// must only be called where wideGcmAvailable() says true.
#ifndef DRV_COMS_WIDE_GCM_H
#define DRV_COMS_WIDE_GCM_H

#include <stddef.h>
#include <stdint.h>

const size_t kWideGcmKeyBytes = 16;
const size_t kWideGcmIvBytes = 12;
const size_t kWideGcmTagBytes = 16;

struct WideGcmKey {
    // The eleven AES-128 round keys.
    alignas(64) uint8_t roundKeys[11][16];
    // The GHASH key H to the powers 16 down to 1, each bit-reflected and
    // divided by x (the form the multiplication wants), then three zero
    // entries so that a vector of four may start at any of the sixteen.
    alignas(64) uint8_t hPowers[19][16];
};

// Whether this processor and the kernel (which must save the 512-bit
// registers) support the instructions. Decided once.
bool wideGcmAvailable();

void wideGcmSetKey(WideGcmKey* key, const uint8_t raw[kWideGcmKeyBytes]);

// Encrypts len bytes from in to out (which may be the same buffer) and
// writes the tag, all under the 96-bit iv and with aad authenticated.
void wideGcmSeal(const WideGcmKey& key, const uint8_t iv[kWideGcmIvBytes], const uint8_t* aad, size_t aadLen,
                 const uint8_t* in, size_t len, uint8_t* out, uint8_t tag[kWideGcmTagBytes]);

// Decrypts len bytes from in to out (which may be the same buffer) and
// checks the tag in constant time. On a mismatch out is zeroed and the
// answer is false.
bool wideGcmOpen(const WideGcmKey& key, const uint8_t iv[kWideGcmIvBytes], const uint8_t* aad, size_t aadLen,
                 const uint8_t* in, size_t len, uint8_t* out, const uint8_t tag[kWideGcmTagBytes]);

#endif
