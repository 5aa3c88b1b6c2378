// The signed setup list: the publisher's key pair (`keygen`), the list signed
// ("serial <n>", then "signature <r s hex>" over every byte before it) by
// `make --key` and `sign-list`, and the signature judged by `check --keys`.
// The two lines are found by the setup's own byte-level core.
#include "tool.h"

#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The DER of a P-256 public key (SubjectPublicKeyInfo) is this prefix, then
// 04, X and Y.
const unsigned char kP256Prefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01,
                                     0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

struct pkey_free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
typedef std::unique_ptr<EVP_PKEY, pkey_free> pkey_owned;

// X and Y of a P-256 key; false for any other kind of key.
bool public_key_of(EVP_PKEY* pkey, list_key& out) {
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(pkey, &der);
    bool ok = length == (int)sizeof kP256Prefix + LIST_KEY_BYTES && memcmp(der, kP256Prefix, sizeof kP256Prefix) == 0;
    if (ok) memcpy(out.data(), der + sizeof kP256Prefix, LIST_KEY_BYTES);
    OPENSSL_free(der);
    return ok;
}

pkey_owned public_pkey(const list_key& key) {
    std::string der(reinterpret_cast<const char*>(kP256Prefix), sizeof kP256Prefix);
    der.append(reinterpret_cast<const char*>(key.data()), key.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return pkey_owned(d2i_PUBKEY(nullptr, &p, (long)der.size()));
}

pkey_owned private_pkey(const std::string& key_file, list_key& public_key) {
    FILE* f = fopen(key_file.c_str(), "rb");
    if (!f) {
        tool_error("cannot read the key %s", key_file.c_str());
        return nullptr;
    }
    pkey_owned pkey(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    fclose(f);
    if (!pkey || !public_key_of(pkey.get(), public_key)) {
        tool_error("%s holds no ECDSA P-256 private key (PEM)", key_file.c_str());
        return nullptr;
    }
    return pkey;
}

// r and s (32 bytes each) of an ECDSA signature in DER; false when it is not one.
bool raw_signature(const std::string& der, unsigned char out[LIST_SIGNATURE_BYTES]) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, (long)der.size());
    if (!sig) return false;
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    bool ok = BN_bn2binpad(r, out, 32) == 32 && BN_bn2binpad(s, out + 32, 32) == 32;
    ECDSA_SIG_free(sig);
    return ok;
}

std::string der_signature(const unsigned char raw[LIST_SIGNATURE_BYTES]) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    std::string out;
    BIGNUM *r = BN_bin2bn(raw, 32, nullptr), *s = BN_bin2bn(raw + 32, 32, nullptr);
    if (sig && r && s && ECDSA_SIG_set0(sig, r, s)) {
        r = s = nullptr;  // the signature owns them now
        unsigned char* der = nullptr;
        int length = i2d_ECDSA_SIG(sig, &der);
        if (length > 0) out.assign(reinterpret_cast<char*>(der), length);
        OPENSSL_free(der);
    }
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return out;
}

bool verifies(const list_key& key, const std::string& signed_bytes, const unsigned char raw[LIST_SIGNATURE_BYTES]) {
    pkey_owned pkey = public_pkey(key);
    std::string der = der_signature(raw);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = pkey && !der.empty() && ctx && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pkey.get()) == 1 &&
              EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                               reinterpret_cast<const unsigned char*>(signed_bytes.data()), signed_bytes.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

bool parse_keys(const std::string& text, std::vector<list_key>& keys) {
    const char* cursor = text.c_str();
    list_key key;
    while (list_key_next(&cursor, key.data())) keys.push_back(key);
    return *cursor == 0 && !keys.empty();
}

// "serial" and "signature" lines, each with its line end, as the core finds them.
bool signing_line(const std::string& line) {
    list_signing found;
    list_signing_scan(line.data(), line.size(), &found);
    return found.serial_lines || found.signature_lines;
}

}  // namespace

bool read_list_keys(const std::string& value, std::vector<list_key>& keys) {
    keys.clear();
    if (parse_keys(value, keys)) return true;
    std::string text;
    if (read_file(value, text)) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        keys.clear();
        if (parse_keys(text, keys)) return true;
    }
    fprintf(stderr, "stonewake-release: --keys takes public keys (128 lower-case hex digits each, separated by commas) "
                    "or a file holding them, such as publisher.pub\n");
    return false;
}

bool serial_option(const options& o, unsigned long long& serial) {
    const std::string* given = o.get("serial");
    if (!given) {
        serial = (unsigned long long)time(nullptr);
        return true;
    }
    list_signing found;
    std::string line = "serial " + *given;
    list_signing_scan(line.data(), line.size(), &found);
    if (found.serial_ok) serial = found.serial;
    else fprintf(stderr, "stonewake-release: --serial takes a decimal number of 1 to 20 digits within 64 bits\n");
    return found.serial_ok;
}

namespace {

// `body` without its serial and signature lines, then the new serial line;
// the new lines end as the list's first line does (`eol`).
std::string serialled(const std::string& body, unsigned long long serial, std::string& eol) {
    std::string out;
    eol.clear();
    for (size_t start = 0, end; start < body.size(); start = end) {
        size_t text_end = std::min(body.find_first_of("\r\n", start), body.size());
        end = text_end;
        if (end < body.size()) end += body.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        if (eol.empty()) eol = body.substr(text_end, end - text_end);
        if (!signing_line(body.substr(start, text_end - start))) out += body.substr(start, end - start);
    }
    if (eol.empty()) eol = "\n";
    if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += eol;
    char digits[21];
    decimal_text(serial, digits);
    return out + "serial " + digits + eol;
}

// The DER signature of `bytes` with `pkey`; empty when it cannot be made.
std::string der_signed(EVP_PKEY* pkey, const std::string& bytes) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t length = 0;
    std::string der;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
              EVP_DigestSign(ctx, nullptr, &length, data, bytes.size()) == 1;
    if (ok) {
        der.resize(length);
        ok = EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(&der[0]), &length, data, bytes.size()) == 1;
        der.resize(length);
    }
    EVP_MD_CTX_free(ctx);
    return ok ? der : std::string();
}

}  // namespace

bool sign_list_body(const std::string& body, const std::string& key_file, unsigned long long serial,
                    std::string& out, list_key& public_key) {
    pkey_owned pkey = private_pkey(key_file, public_key);
    if (!pkey) return false;
    std::string eol;
    out = serialled(body, serial, eol);
    std::string der = der_signed(pkey.get(), out);
    unsigned char raw[LIST_SIGNATURE_BYTES];
    if (der.empty() || !raw_signature(der, raw)) {
        tool_error("the signature could not be made with %s", key_file.c_str());
        return false;
    }
    out += "signature " + hex(raw, LIST_SIGNATURE_BYTES) + eol;
    return true;
}

std::vector<std::string> list_signature_findings(const std::string& body, const std::vector<list_key>& keys,
                                                 unsigned long long& serial, unsigned& key_number) {
    list_signing s;
    list_signing_scan(body.data(), body.size(), &s);
    std::vector<std::string> out;
    const std::string setup = "the setup with the publisher's keys refuses it";
    if (!s.signature_lines) out.push_back("unsigned: no \"signature\" line; " + setup);
    if (s.signature_lines > 1)
        out.push_back(std::to_string(s.signature_lines) + " signature lines, where one is the last line; " + setup);
    if (s.signature_lines && !s.signature_ok)
        out.push_back("the first signature line is not \"signature <128 lower-case hex digits>\"; " + setup);
    if (s.after_signature) out.push_back("lines follow the signature line; " + setup);
    if (s.serial_lines != 1)
        out.push_back((s.serial_lines ? std::to_string(s.serial_lines) : std::string("no")) +
                      " serial lines, where it takes exactly one");
    else if (!s.serial_ok)
        out.push_back("the serial line is not \"serial <1 to 20 decimal digits>\" within 64 bits");
    if (s.signature_lines && s.signature_ok) {
        std::string signed_bytes = body.substr(0, s.signed_length);
        key_number = 0;
        for (size_t i = 0; i < keys.size() && !key_number; ++i)
            if (verifies(keys[i], signed_bytes, s.signature)) key_number = (unsigned)i + 1;
        if (!key_number)
            out.push_back("the signature is not verified by " +
                          (keys.size() == 1 ? std::string("the key") : "any of the " + std::to_string(keys.size()) + " keys") +
                          " given: changed since it was signed, or signed with another key");
    }
    serial = s.serial;
    return out;
}

int cmd_keygen(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, {"out"}, {}, o)) return 2;
    if (!o.positional.empty() || !o.get("out")) {
        fprintf(stderr, "usage: stonewake-release keygen --out DIR\n");
        return 2;
    }
    const std::string dir = *o.get("out"), key_path = dir + "/publisher.key", pub_path = dir + "/publisher.pub";
    if (!make_folders(dir)) {
        fprintf(stderr, "stonewake-release keygen: cannot make the folder %s\n", dir.c_str());
        return 1;
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
    EVP_PKEY* made = nullptr;
    bool ok = ctx && EVP_PKEY_keygen_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx, NID_X9_62_prime256v1) == 1 && EVP_PKEY_keygen(ctx, &made) == 1;
    EVP_PKEY_CTX_free(ctx);
    pkey_owned pkey(made);
    list_key public_key;
    if (!ok || !public_key_of(pkey.get(), public_key)) {
        fprintf(stderr, "stonewake-release keygen: libcrypto could not make a P-256 key\n");
        return 1;
    }
    // Readable by its owner only from its first byte; an existing key is never replaced.
    int fd = open(key_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        fprintf(stderr, "stonewake-release keygen: %s %s\n", key_path.c_str(),
                errno == EEXIST ? "exists already: a publisher key is never overwritten" : strerror(errno));
        return 1;
    }
    FILE* f = fchmod(fd, 0600) == 0 ? fdopen(fd, "wb") : nullptr;
    ok = f && PEM_write_PKCS8PrivateKey(f, pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ok = (f ? fclose(f) == 0 : close(fd) == 0) && ok;
    ok = ok && write_file(pub_path, hex(public_key.data(), LIST_KEY_BYTES) + "\n");
    if (!ok) {
        unlink(key_path.c_str());
        fprintf(stderr, "stonewake-release keygen: cannot write %s and %s\n", key_path.c_str(), pub_path.c_str());
        return 1;
    }
    printf("ok: %s (private: keep it offline) and %s (the public key, for -DSTONEWAKE_LIST_KEYS):\n%s\n",
           key_path.c_str(), pub_path.c_str(), hex(public_key.data(), LIST_KEY_BYTES).c_str());
    return 0;
}

int cmd_sign_list(int argc, char** argv) {
    options o;
    unsigned long long serial = 0;
    if (!parse_options(argc, argv, {"key", "serial"}, {}, o)) return 2;
    if (o.positional.size() != 1 || !o.get("key")) {
        fprintf(stderr, "usage: stonewake-release sign-list LIST --key FILE [--serial N]\n");
        return 2;
    }
    if (!serial_option(o, serial)) return 2;
    const std::string path = o.positional[0];
    std::string body, signed_body;
    if (!read_file(path, body)) {
        fprintf(stderr, "stonewake-release sign-list: cannot read %s\n", path.c_str());
        return 1;
    }
    // Only a list the setup accepts is worth signing (not the index, nor a part).
    std::unique_ptr<setup_list> list(new setup_list);
    std::vector<list_finding> findings;
    if (judge_list(body, *list, findings) != LIST_OK) {
        for (const list_finding& f : findings)
            printf("%s%s: %s\n", path.c_str(), f.line ? (":" + std::to_string(f.line)).c_str() : "", f.text.c_str());
        printf("refused: the setup does not accept %s, so it is not signed\n", path.c_str());
        return 1;
    }
    list_signing old;
    list_signing_scan(body.data(), body.size(), &old);
    list_key public_key;
    fault_scope faults(stderr, "stonewake-release sign-list: ");
    if (!sign_list_body(body, *o.get("key"), serial, signed_body, public_key)) return 1;
    if (!write_file(path, signed_body)) {
        fprintf(stderr, "stonewake-release sign-list: cannot write %s\n", path.c_str());
        return 1;
    }
    std::string was = old.serial_lines == 1 && old.serial_ok ? " (was " + std::to_string(old.serial) + ")" : "";
    printf("ok: %s: release %s signed with serial %llu%s\n", path.c_str(), list->tag, serial, was.c_str());
    return 0;
}
