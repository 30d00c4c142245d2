// Opens arbitrary records with the wide AES-GCM and with the crypto
// library's own, and requires the same answer: the same verdict on the tag
// and, when it holds, the same plaintext. Then seals the plaintext again
// with both. The input is a key, a nonce, a length of additional data, that
// much data, a tag and the ciphertext; short inputs are padded with zeros.
#include <openssl/evp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "coms/wide_gcm.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool libraryCrypt(bool seal, const uint8_t* key, const uint8_t* iv, const Bytes& aad, const Bytes& in, Bytes* out,
                  uint8_t tag[16]) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    out->assign(in.size(), 0);
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key, iv, seal ? 1 : 0) == 1 &&
              (aad.empty() || EVP_CipherUpdate(ctx, nullptr, &n, aad.data(), static_cast<int>(aad.size())) == 1) &&
              (in.empty() || EVP_CipherUpdate(ctx, out->data(), &n, in.data(), static_cast<int>(in.size())) == 1);
    if (ok && !seal) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1;
    ok = ok && EVP_CipherFinal_ex(ctx, out->data(), &n) == 1;
    if (ok && seal) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!wideGcmAvailable()) return 0;
    uint8_t head[16 + 12 + 2] = {};
    memcpy(head, data, size < sizeof(head) ? size : sizeof(head));
    size_t used = size < sizeof(head) ? size : sizeof(head);
    const uint8_t* key = head;
    const uint8_t* iv = head + 16;
    size_t aadLength = (static_cast<size_t>(head[28]) << 8 | head[29]) % 600;
    Bytes aad(data + used, data + used + (size - used < aadLength ? size - used : aadLength));
    used += aad.size();
    uint8_t tag[16] = {};
    size_t tagBytes = size - used < 16 ? size - used : 16;
    memcpy(tag, data + used, tagBytes);
    used += tagBytes;
    Bytes sealed(data + used, data + size);

    WideGcmKey wide;
    wideGcmSetKey(&wide, key);
    Bytes ours(sealed.size() + 1), theirs;
    bool oursOpened = wideGcmOpen(wide, iv, aad.data(), aad.size(), sealed.data(), sealed.size(), ours.data(), tag);
    bool theirsOpened = libraryCrypt(false, key, iv, aad, sealed, &theirs, tag);
    if (oursOpened != theirsOpened) abort();
    ours.pop_back();
    if (oursOpened && ours != theirs) abort();
    if (!oursOpened && ours != Bytes(sealed.size(), 0)) abort();

    // Sealing what was read (or the refused record's bytes) with both.
    const Bytes& plain = oursOpened ? ours : sealed;
    Bytes resealed(plain.size() + 1), expected;
    uint8_t ourTag[16], theirTag[16];
    wideGcmSeal(wide, iv, aad.data(), aad.size(), plain.data(), plain.size(), resealed.data(), ourTag);
    if (!libraryCrypt(true, key, iv, aad, plain, &expected, theirTag)) abort();
    resealed.pop_back();
    if (resealed != expected || memcmp(ourTag, theirTag, 16) != 0) abort();
    return 0;
}
