// trustca.exe: makes the current user trust a test certificate authority.
//   trustca <DER certificate file> [store]
// Adds the certificate to the current user's system store (default "Root"),
// replacing an existing copy, then reads it back from the store to confirm.
// Exit 0 on success; otherwise prints the failing step and error, exit 1.
#include "double_util.h"

#include <wincrypt.h>

#include <string>
#include <vector>

namespace {

int failed(const char* step) {
    char msg[160];
    snprintf(msg, sizeof msg, "trustca: %s failed 0x%08lx\n", step, GetLastError());
    dbl::write_std(STD_ERROR_HANDLE, msg);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        dbl::write_std(STD_ERROR_HANDLE, "usage: trustca <DER certificate file> [store]\n");
        return 1;
    }
    const wchar_t* store_name = argc == 3 ? argv[2] : L"Root";

    HANDLE f = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return failed("opening the certificate file");
    std::vector<BYTE> der(GetFileSize(f, nullptr));
    DWORD got = 0;
    BOOL read = der.empty() || ReadFile(f, der.data(), DWORD(der.size()), &got, nullptr);
    CloseHandle(f);
    if (!read || got != der.size()) return failed("reading the certificate file");

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store_name);
    if (!store) return failed("CertOpenStore");
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, &added))
        return failed("CertAddEncodedCertificateToStore");
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);

    // Read it back through a fresh handle, as a later process would see it.
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, store_name);
    if (!store) return failed("CertOpenStore (read back)");
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    PCCERT_CONTEXT found =
        cert ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr) : nullptr;
    if (!found) return failed("finding the added certificate");
    CertFreeCertificateContext(found);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    return 0;
}
