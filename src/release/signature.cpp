// The setup list's signature, checked with the publisher's public keys that
// the build holds (STONEWAKE_LIST_KEYS): ECDSA P-256 over the SHA-256 of the
// list's bytes before its signature line, verified by Windows' CNG.
#include "release/release.h"

#include <string.h>

#include "base/owned.h"
#include "base/system_dll.h"
#include "base/base.h"

namespace {

const char g_keys[] = STONEWAKE_LIST_KEYS;

MAY_END_RUN void destroy_key(void* key) {
    bcrypt()->BCryptDestroyKey(key);
}

MAY_END_RUN void close_provider(void* provider) {
    bcrypt()->BCryptCloseAlgorithmProvider(provider, 0);
}

// 1 when `key` (X and Y) verifies `signature` (r and s) over `digest`.
MAY_END_RUN int key_verifies(BCRYPT_ALG_HANDLE provider, const unsigned char key[LIST_KEY_BYTES],
                             const unsigned char digest[32],
                             const unsigned char signature[LIST_SIGNATURE_BYTES]) {
    struct {
        BCRYPT_ECCKEY_BLOB head;
        unsigned char xy[LIST_KEY_BYTES];
    } blob;
    blob.head.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.head.cbKey = LIST_KEY_BYTES / 2;
    memcpy(blob.xy, key, LIST_KEY_BYTES);
    const bcrypt_functions* b = bcrypt();
    BCRYPT_KEY_HANDLE handle = 0;
    if (b->BCryptImportKeyPair(provider, 0, BCRYPT_ECCPUBLIC_BLOB, &handle, (PUCHAR)&blob, sizeof blob, 0) != 0)
        return 0;
    owned_handle imported(destroy_key, handle);
    return b->BCryptVerifySignature(handle, 0, (PUCHAR)digest, 32, (PUCHAR)signature,
                                    LIST_SIGNATURE_BYTES, 0) == 0;
}

}  // namespace

int list_keys_held(void) {
    return g_keys[0] != 0;
}

int list_signature_verified(const char* body, const list_signing* signing) {
    if (!list_signing_complete(signing)) return 0;
    unsigned char digest[32];
    sha256_of(body, signing->signed_length, digest);
    const bcrypt_functions* b = bcrypt();
    BCRYPT_ALG_HANDLE opened = 0;
    NTSTATUS result = b->BCryptOpenAlgorithmProvider(&opened, BCRYPT_ECDSA_P256_ALGORITHM, 0, 0);
    if (result != 0)
        fail(L"Could not set up the check of the setup list's signature (BCryptOpenAlgorithmProvider, "
             L"Windows error 0x%08lx).",
             (unsigned long)result);
    owned_handle provider(close_provider, opened);
    const char* cursor = g_keys;
    unsigned char key[LIST_KEY_BYTES];
    for (int i = 0; i < LIST_MAX_KEYS && list_key_next(&cursor, key); ++i)
        if (key_verifies(opened, key, digest, signing->signature)) return 1;
    return 0;
}
