#include "coms/tls_wide_gcm.h"

#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <limits.h>
#include <string.h>

#include <new>

#include "common/log.h"
#include "coms/tls.h"
#include "coms/wide_gcm.h"

// How TLS 1.2 drives an AEAD cipher of a provider, and what this one does
// in answer (the same as the library's own GCM):
//  - init with the key and no IV, then the 4-byte fixed part of the nonce
//    ("tlsivfixed"). A sealing side draws the 8-byte explicit part at
//    random and counts it up by one per record.
//  - per record, the 13 bytes of additional data ("tlsaad"), whose length
//    field counts the explicit nonce and, when opening, the tag; they are
//    taken off here. The answer "tlsaadpad" is the tag's length.
//  - then one update over the whole record in place: explicit nonce,
//    payload, tag. Sealing writes the nonce and the tag and gives the whole
//    length; opening reads them and gives the payload's length, or fails
//    (with the payload zeroed) when the tag does not match.
//
// Everything else is handed to the library's own AES-128-GCM, which each
// context carries beside its wide key: a fetch without the preference may
// land here as well (the library picks among equal implementations as it
// likes), and must then get all of GCM, streamed additional data, other
// nonce lengths and tag lengths included.

namespace {

// The provider's name, written once: the queries below are built from it.
#define DRV_WIDE_GCM_PROVIDER "drv-wide-gcm"
const char* const kProviderName = DRV_WIDE_GCM_PROVIDER;
const char* const kProperties = "?provider=" DRV_WIDE_GCM_PROVIDER;

// The library's own AES-128-GCM, fetched once at registration.
EVP_CIPHER* libraryGcm = nullptr;

struct GcmContext {
    WideGcmKey key;
    EVP_CIPHER_CTX* library = nullptr;  // set up from the start: lengths are asked before init
    bool sealing = false;
    bool haveKey = false;
    bool haveFixedNonce = false;
    size_t aadLength = 0;  // 0: no record announced
    uint8_t aad[EVP_AEAD_TLS1_AAD_LEN];
    uint8_t nonce[kWideGcmIvBytes];
    uint64_t recordsSealed = 0;
};

void freeContext(void* vctx) {
    auto* ctx = static_cast<GcmContext*>(vctx);
    if (ctx == nullptr) return;
    EVP_CIPHER_CTX_free(ctx->library);
    OPENSSL_cleanse(ctx, sizeof(*ctx));
    delete ctx;
}

void* newContext(void*) {
    auto* ctx = new (std::nothrow) GcmContext();
    if (ctx == nullptr) return nullptr;
    ctx->library = EVP_CIPHER_CTX_new();
    if (ctx->library == nullptr || EVP_CipherInit_ex2(ctx->library, libraryGcm, nullptr, nullptr, 1, nullptr) != 1) {
        freeContext(ctx);
        return nullptr;
    }
    return ctx;
}

void* dupContext(void* vctx) {
    const auto* from = static_cast<const GcmContext*>(vctx);
    auto* ctx = new (std::nothrow) GcmContext(*from);
    if (ctx == nullptr) return nullptr;
    ctx->library = EVP_CIPHER_CTX_new();
    if (ctx->library == nullptr || EVP_CIPHER_CTX_copy(ctx->library, from->library) != 1) {
        freeContext(ctx);
        return nullptr;
    }
    return ctx;
}

int setContextParams(void* vctx, const OSSL_PARAM params[]);

// The key goes to both sides, a nonce to the library's context only. Its
// length needs no check: the library took it from getContextParams, which
// answers with the library context's own.
int init(void* vctx, const unsigned char* key, size_t keyLength, const unsigned char* iv, size_t,
         const OSSL_PARAM params[], bool sealing) {
    auto* ctx = static_cast<GcmContext*>(vctx);
    ctx->sealing = sealing;
    if (EVP_CipherInit_ex2(ctx->library, nullptr, key, iv, sealing ? 1 : 0, nullptr) != 1) return 0;
    if (key != nullptr) {
        if (keyLength != kWideGcmKeyBytes) return 0;
        wideGcmSetKey(&ctx->key, key);
        ctx->haveKey = true;
        ctx->recordsSealed = 0;
    }
    return setContextParams(vctx, params);
}

int sealInit(void* vctx, const unsigned char* key, size_t keyLength, const unsigned char* iv, size_t ivLength,
             const OSSL_PARAM params[]) {
    return init(vctx, key, keyLength, iv, ivLength, params, true);
}

int openInit(void* vctx, const unsigned char* key, size_t keyLength, const unsigned char* iv, size_t ivLength,
             const OSSL_PARAM params[]) {
    return init(vctx, key, keyLength, iv, ivLength, params, false);
}

// The announced record's additional data, with its length field made the
// payload's; false for a record too short to hold nonce and tag.
bool takeRecordAad(GcmContext* ctx, const void* data, size_t size) {
    if (size != EVP_AEAD_TLS1_AAD_LEN) return false;
    memcpy(ctx->aad, data, size);
    size_t length = static_cast<size_t>(ctx->aad[size - 2]) << 8 | ctx->aad[size - 1];
    size_t overhead = EVP_GCM_TLS_EXPLICIT_IV_LEN + (ctx->sealing ? 0 : EVP_GCM_TLS_TAG_LEN);
    if (length < overhead) return false;
    length -= overhead;
    ctx->aad[size - 2] = static_cast<uint8_t>(length >> 8);
    ctx->aad[size - 1] = static_cast<uint8_t>(length);
    ctx->aadLength = size;
    return true;
}

bool takeFixedNonce(GcmContext* ctx, const void* data, size_t size) {
    if (size != EVP_GCM_TLS_FIXED_IV_LEN) return false;
    memcpy(ctx->nonce, data, size);
    if (ctx->sealing && RAND_bytes(ctx->nonce + size, static_cast<int>(sizeof(ctx->nonce) - size)) != 1) return false;
    ctx->haveFixedNonce = true;
    return true;
}

// The two settings of TLS record protection are taken here; a list
// without them goes to the library's GCM.
int setContextParams(void* vctx, const OSSL_PARAM params[]) {
    auto* ctx = static_cast<GcmContext*>(vctx);
    if (params == nullptr) return 1;
    const OSSL_PARAM* aad = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_AEAD_TLS1_AAD);
    const OSSL_PARAM* fixed = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_AEAD_TLS1_IV_FIXED);
    if (aad == nullptr && fixed == nullptr) return EVP_CIPHER_CTX_set_params(ctx->library, params);
    if (aad != nullptr && (aad->data_type != OSSL_PARAM_OCTET_STRING || !takeRecordAad(ctx, aad->data, aad->data_size)))
        return 0;
    if (fixed != nullptr &&
        (fixed->data_type != OSSL_PARAM_OCTET_STRING || !takeFixedNonce(ctx, fixed->data, fixed->data_size)))
        return 0;
    return 1;
}

int getContextParams(void* vctx, OSSL_PARAM params[]) {
    auto* ctx = static_cast<GcmContext*>(vctx);
    OSSL_PARAM* pad = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_AEAD_TLS1_AAD_PAD);
    if (pad == nullptr) return EVP_CIPHER_CTX_get_params(ctx->library, params);
    return ctx->aadLength != 0 && OSSL_PARAM_set_size_t(pad, EVP_GCM_TLS_TAG_LEN) ? 1 : 0;
}

// One whole record in place; *outLength as described at the top.
int protectRecord(GcmContext* ctx, unsigned char* out, size_t* outLength, const unsigned char* in, size_t length) {
    ctx->aadLength = 0;
    const size_t overhead = EVP_GCM_TLS_EXPLICIT_IV_LEN + EVP_GCM_TLS_TAG_LEN;
    if (!ctx->haveKey || !ctx->haveFixedNonce || out != in || length < overhead) return 0;
    uint8_t* explicitNonce = ctx->nonce + EVP_GCM_TLS_FIXED_IV_LEN;
    unsigned char* payload = out + EVP_GCM_TLS_EXPLICIT_IV_LEN;
    size_t payloadLength = length - overhead;
    if (ctx->sealing) {
        // A key may seal at most 2^64 - 1 records before its nonces repeat.
        if (++ctx->recordsSealed == 0) return 0;
        memcpy(out, explicitNonce, EVP_GCM_TLS_EXPLICIT_IV_LEN);
        wideGcmSeal(ctx->key, ctx->nonce, ctx->aad, sizeof(ctx->aad), payload, payloadLength, payload,
                    payload + payloadLength);
        for (int i = EVP_GCM_TLS_EXPLICIT_IV_LEN - 1; i >= 0 && ++explicitNonce[i] == 0; i--) {
        }
        *outLength = length;
        return 1;
    }
    memcpy(explicitNonce, in, EVP_GCM_TLS_EXPLICIT_IV_LEN);
    if (!wideGcmOpen(ctx->key, ctx->nonce, ctx->aad, sizeof(ctx->aad), payload, payloadLength, payload,
                     payload + payloadLength))
        return 0;
    *outLength = payloadLength;
    return 1;
}

int update(void* vctx, unsigned char* out, size_t* outLength, size_t, const unsigned char* in, size_t length) {
    auto* ctx = static_cast<GcmContext*>(vctx);
    *outLength = 0;
    if (ctx->aadLength != 0) return protectRecord(ctx, out, outLength, in, length);
    int n = 0;
    if (length > INT_MAX || EVP_CipherUpdate(ctx->library, out, &n, in, static_cast<int>(length)) != 1) return 0;
    *outLength = static_cast<size_t>(n);
    return 1;
}

// The one-call form (EVP_Cipher): null input finishes.
int cipher(void* vctx, unsigned char* out, size_t* outLength, size_t outSize, const unsigned char* in,
           size_t length) {
    auto* ctx = static_cast<GcmContext*>(vctx);
    *outLength = 0;
    if (ctx->aadLength != 0) return protectRecord(ctx, out, outLength, in, length);
    if (length > INT_MAX) return 0;
    int n = EVP_Cipher(ctx->library, out, in, static_cast<unsigned int>(length));
    if (n < 0 || static_cast<size_t>(n) > outSize) return 0;
    *outLength = static_cast<size_t>(n);
    return 1;
}

int finish(void* vctx, unsigned char* out, size_t* outLength, size_t) {
    auto* ctx = static_cast<GcmContext*>(vctx);
    int n = 0;
    *outLength = 0;
    if (EVP_CipherFinal_ex(ctx->library, out, &n) != 1) return 0;
    *outLength = static_cast<size_t>(n);
    return 1;
}

int getParams(OSSL_PARAM params[]) { return EVP_CIPHER_get_params(libraryGcm, params); }
const OSSL_PARAM* gettableParams(void*) { return EVP_CIPHER_gettable_params(libraryGcm); }
const OSSL_PARAM* gettableContextParams(void*, void*) { return EVP_CIPHER_gettable_ctx_params(libraryGcm); }
const OSSL_PARAM* settableContextParams(void*, void*) { return EVP_CIPHER_settable_ctx_params(libraryGcm); }

template <typename F>
OSSL_DISPATCH entry(int id, F* function) {
    return {id, reinterpret_cast<void (*)(void)>(function)};
}

const OSSL_DISPATCH kCipherFunctions[] = {
    entry(OSSL_FUNC_CIPHER_NEWCTX, newContext),
    entry(OSSL_FUNC_CIPHER_FREECTX, freeContext),
    entry(OSSL_FUNC_CIPHER_DUPCTX, dupContext),
    entry(OSSL_FUNC_CIPHER_ENCRYPT_INIT, sealInit),
    entry(OSSL_FUNC_CIPHER_DECRYPT_INIT, openInit),
    entry(OSSL_FUNC_CIPHER_UPDATE, update),
    entry(OSSL_FUNC_CIPHER_FINAL, finish),
    entry(OSSL_FUNC_CIPHER_CIPHER, cipher),
    entry(OSSL_FUNC_CIPHER_GET_PARAMS, getParams),
    entry(OSSL_FUNC_CIPHER_GET_CTX_PARAMS, getContextParams),
    entry(OSSL_FUNC_CIPHER_SET_CTX_PARAMS, setContextParams),
    entry(OSSL_FUNC_CIPHER_GETTABLE_PARAMS, gettableParams),
    entry(OSSL_FUNC_CIPHER_GETTABLE_CTX_PARAMS, gettableContextParams),
    entry(OSSL_FUNC_CIPHER_SETTABLE_CTX_PARAMS, settableContextParams),
    {0, nullptr},
};

const OSSL_ALGORITHM kCiphers[] = {
    {"AES-128-GCM:id-aes128-GCM:2.16.840.1.101.3.4.1.6", "provider=" DRV_WIDE_GCM_PROVIDER, kCipherFunctions,
     "AES-128-GCM, TLS 1.2 records on 512-bit vector instructions"},
    {nullptr, nullptr, nullptr, nullptr},
};

const OSSL_ALGORITHM* queryOperation(void*, int operation, int* noCache) {
    *noCache = 0;
    return operation == OSSL_OP_CIPHER ? kCiphers : nullptr;
}

const OSSL_DISPATCH kProviderFunctions[] = {
    entry(OSSL_FUNC_PROVIDER_QUERY_OPERATION, queryOperation),
    {0, nullptr},
};

int initProvider(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out, void** providerContext) {
    *out = kProviderFunctions;
    *providerContext = nullptr;
    return 1;
}

// The provider this process loaded and the library cipher it hands to,
// released as the process ends. The destructor is registered after the
// library's own clean-up at exit (set up by the explicit initialisation
// before it), so it runs first.
struct LoadedProvider {
    OSSL_PROVIDER* provider = nullptr;
    ~LoadedProvider() {
        EVP_CIPHER_free(libraryGcm);
        if (provider != nullptr) OSSL_PROVIDER_unload(provider);
    }
};

const char* registerProvider() {
    if (!wideGcmAvailable()) return nullptr;
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS, nullptr);
    static LoadedProvider loaded;
    libraryGcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", "provider!=" DRV_WIDE_GCM_PROVIDER);
    // Another copy of this code in the process (the host program and a
    // module each carry the runtime) may have registered the name first;
    // its provider then serves both, and loading by name finds it. Loading
    // with fallbacks kept leaves the library's default provider to be
    // loaded as it would have been without this one.
    if (libraryGcm != nullptr && OSSL_PROVIDER_add_builtin(nullptr, kProviderName, initProvider) != 1)
        ERR_clear_error();
    if (libraryGcm == nullptr || (loaded.provider = OSSL_PROVIDER_try_load(nullptr, kProviderName, 1)) == nullptr) {
        log(0, "TLS: the wide AES-GCM provider could not be loaded: %s", sslErrorText());
        ERR_clear_error();
        return nullptr;
    }
    return kProperties;
}

}  // namespace

const char* tlsWideGcmProperties() {
    static const char* const properties = registerProvider();
    return properties;
}
