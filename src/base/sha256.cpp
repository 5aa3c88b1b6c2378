// SHA-256 over CNG: the run's one provider, a running hash, the digest of a
// file read whole and unchanged, and of bytes in memory.
#include "base/base.h"

#include "base/system_dll.h"

namespace {

void digest_text(const unsigned char digest[32], char out[65]) {
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[64] = 0;
}

// The algorithm asked of CNG. Test builds ask, when STONEWAKE_TEST_NO_SHA256
// is set, for one it does not have, so that the provider really cannot be
// opened (Wine's CNG always has SHA-256). Release builds have no such code.
const wchar_t* sha256_algorithm() {
#if defined(STONEWAKE_TEST_HOOKS)
    if (GetEnvironmentVariableW(L"STONEWAKE_TEST_NO_SHA256", 0, 0)) return L"STONEWAKE-NO-SUCH-HASH";
#endif
    return BCRYPT_SHA256_ALGORITHM;
}

// Without the hash nothing downloaded can be checked: a set-up call that
// fails ends the run, naming itself.
MAY_END_RUN void sha256_check(NTSTATUS result, const wchar_t* call) {
    if (result != 0)
        fail(L"Could not set up SHA-256 hashing (%ls, Windows error 0x%08lx).", call, (unsigned long)result);
}

// The run's one SHA-256 provider, opened by sha256_ready on the worker and
// kept: hashes are made from it on any thread, and a hash that runs beside
// the worker never opens anything that could fail.
BCRYPT_ALG_HANDLE g_sha256;

// Starts the hash, or starts it over; 0 when it cannot be had.
int sha256_begin(sha256* s) {
    s->hash.reset(0);
    const bcrypt_functions* b = bcrypt_loaded();
    BCRYPT_HASH_HANDLE hash = 0;
    if (!g_sha256 || !b || b->BCryptCreateHash(g_sha256, &hash, 0, 0, 0, 0, 0) != 0) return 0;
    s->hash.reset(hash);
    return 1;
}

}  // namespace

void destroy_hash(void* hash) {
    const bcrypt_functions* b = bcrypt_loaded();
    if (b) b->BCryptDestroyHash(hash);
}

// The same on the worker, which the hash cannot do without.
void sha256_start(sha256* s) {
    sha256_ready();
    BCRYPT_HASH_HANDLE hash = 0;
    sha256_check(bcrypt()->BCryptCreateHash(g_sha256, &hash, 0, 0, 0, 0, 0), L"BCryptCreateHash");
    s->hash.reset(hash);
}

// The digest of what was hashed, as 64 hex digits; the hash is done with.
void sha256_text(sha256* s, char digest[65]) {
    unsigned char sum[32];
    bcrypt_loaded()->BCryptFinishHash(s->hash.get(), sum, sizeof sum, 0);
    s->hash.reset(0);
    digest_text(sum, digest);
}

// Feeds what `file` holds from its position on into `hash`, a `chunk` at a
// time, up to the first read that fails or returns nothing. Returns the
// number of bytes fed; `whole` tells that no read failed.
unsigned long long hash_rest(HANDLE file, BCRYPT_HASH_HANDLE hash, unsigned char* chunk, DWORD size,
                             int* whole) {
    const bcrypt_functions* b = bcrypt_loaded();
    unsigned long long count = 0;
    *whole = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, size, &got, 0)) return count;
        if (got == 0) break;
        b->BCryptHashData(hash, chunk, got, 0);
        count += got;
    }
    *whole = 1;
    return count;
}

void sha256_ready(void) {
    if (g_sha256) return;
    BCRYPT_ALG_HANDLE provider = 0;
    sha256_check(bcrypt()->BCryptOpenAlgorithmProvider(&provider, sha256_algorithm(), 0, 0),
                 L"BCryptOpenAlgorithmProvider");
    g_sha256 = provider;
}

int file_identity_of(HANDLE file, file_identity* out) {
    // Not GetFileInformationByHandle: it asks for the volume too, which costs
    // Wine a look at the drive for every file.
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
        return 0;
    out->created = (unsigned long long)basic.CreationTime.QuadPart;
    out->written = (unsigned long long)basic.LastWriteTime.QuadPart;
    out->size = (unsigned long long)standard.EndOfFile.QuadPart;
    return 1;
}

int file_identity_same(const file_identity* a, const file_identity* b) {
    return a->created == b->created && a->written == b->written && a->size == b->size;
}

int file_sha256(const wchar_t* path, char digest[65], file_identity* identity) {
    digest[0] = 0;
    owned_handle file(close_file, CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, 0));
    sha256 sum;
    if (!file.valid() || !sha256_begin(&sum)) return 0;
    file_identity before, after;
    int whole = 0;
    unsigned char chunk[65536];  // called side by side: a buffer of its own
    if (!file_identity_of(file.get(), &before)) return 0;
    hash_rest(file.get(), sum.hash.get(), chunk, sizeof chunk, &whole);
    // A file written to while it was read is not the one hashed.
    if (!whole || !file_identity_of(file.get(), &after) || !file_identity_same(&before, &after)) return 0;
    sha256_text(&sum, digest);
    if (identity) *identity = after;
    return 1;
}

void sha256_of(const void* bytes, size_t count, unsigned char out[32]) {
    sha256 sum;
    sha256_start(&sum);
    const bcrypt_functions* b = bcrypt();
    b->BCryptHashData(sum.hash.get(), (PUCHAR)bytes, (ULONG)count, 0);
    b->BCryptFinishHash(sum.hash.get(), out, 32, 0);
}
