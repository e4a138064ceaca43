// SHA-256 and Ed25519 through OpenSSL's libcrypto (EVP interfaces only).
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image/crypto.h"
#include "platform/fd.h"

namespace upfw::crypto {

const char *const kUnavailable = "this build has no image signatures (built without OpenSSL)";

bool available() { return true; }

namespace {

EVP_MD_CTX *ctx_of(void *p) { return static_cast<EVP_MD_CTX *>(p); }

// The last error libcrypto queued, and the queue emptied.
std::string openssl_error() {
    unsigned long e = ERR_peek_last_error();
    char buf[256] = "unknown error";
    if (e) ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

// Never a prompt on the terminal: an encrypted key is refused with its own reason.
int no_passphrase(char *, int, int, void *) { return -1; }

// A key file is small; anything past 64 KiB is no key of ours.
constexpr size_t kMaxKeyFile = 64 * 1024;

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ && EVP_DigestInit_ex(ctx_of(ctx_), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_of(ctx_)); }

Sha256::Sha256(const Sha256 &other) : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ && other.ok_ && EVP_MD_CTX_copy_ex(ctx_of(ctx_), ctx_of(other.ctx_)) == 1;
}

Sha256 &Sha256::operator=(const Sha256 &other) {
    if (this != &other) ok_ = ctx_ && other.ok_ && EVP_MD_CTX_copy_ex(ctx_of(ctx_), ctx_of(other.ctx_)) == 1;
    return *this;
}

void Sha256::update(const void *bytes, size_t n) {
    if (ok_ && n) ok_ = EVP_DigestUpdate(ctx_of(ctx_), bytes, n) == 1;
}

bool Sha256::final(unsigned char (&out)[32]) {
    unsigned int n = 0;
    const bool done = ok_ && EVP_DigestFinal_ex(ctx_of(ctx_), out, &n) == 1 && n == sizeof out;
    ok_ = false;
    return done;
}

Key Key::load(const std::string &path, Kind kind, std::string *why, const std::string *shown) {
    Key k;
    // Not blocking: a FIFO planted as a key must not stop the run; only a regular file is read.
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        *why = std::string("cannot open: ") + std::strerror(errno);
        return k;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        return k;
    }
    std::string text(kMaxKeyFile + 1, '\0');
    const ssize_t n = platform::read_full(fd.get(), &text[0], text.size());
    if (n < 0) {
        *why = std::string("cannot read: ") + std::strerror(errno);
        return k;
    }
    if (static_cast<size_t>(n) > kMaxKeyFile) {
        *why = "too large for a key file";
        return k;
    }
    text.resize(static_cast<size_t>(n));
    size_t objects = 0;
    for (size_t at = text.find("-----BEGIN "); at != std::string::npos; at = text.find("-----BEGIN ", at + 1)) ++objects;
    if (objects > 1) {
        *why = "holds more than one PEM object; one key a file";
        return k;
    }
    if (text.find("-----BEGIN ENCRYPTED") != std::string::npos || text.find("Proc-Type: 4,ENCRYPTED") != std::string::npos) {
        *why = "an encrypted key; decrypt it (openssl pkey -in KEY -out PLAIN) or sign with --signer";
        return k;
    }
    EVP_PKEY *pkey = nullptr;
    bool is_private = false;
    if (kind != kPrivate) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), static_cast<int>(n)), BIO_free);
        if (bio) pkey = PEM_read_bio_PUBKEY(bio.get(), nullptr, no_passphrase, nullptr);
    }
    if (!pkey && kind != kPublic) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), static_cast<int>(n)), BIO_free);
        if (bio) pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr);
        is_private = pkey != nullptr;
    }
    ERR_clear_error();
    const char *wanted = kind == kPublic ? "an Ed25519 public key" : kind == kPrivate ? "an Ed25519 private key"
                                                                                       : "an Ed25519 key";
    if (!pkey || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(pkey);
        *why = std::string("not ") + wanted + " in PEM form";
        return k;
    }
    std::shared_ptr<void> owned(pkey, [](void *p) { EVP_PKEY_free(static_cast<EVP_PKEY *>(p)); });
    unsigned char *der = nullptr;
    const int len = i2d_PUBKEY(pkey, &der);
    if (len <= 0) {
        *why = "cannot encode its public key: " + openssl_error();
        return k;
    }
    unsigned int md_len = 0;
    const bool hashed = EVP_Digest(der, static_cast<size_t>(len), k.fingerprint_, &md_len, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!hashed) {
        *why = "cannot hash its public key: " + openssl_error();
        return k;
    }
    k.pkey_ = owned;
    k.private_ = is_private;
    k.file_ = shown ? *shown : path;
    return k;
}

bool Key::sign(const unsigned char *message, size_t n, unsigned char (&signature)[64], std::string *why) const {
    if (!private_) {
        *why = "a public key cannot sign";
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t len = sizeof signature;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, static_cast<EVP_PKEY *>(pkey_.get())) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &len, message, n) != 1 || len != sizeof signature) {
        *why = "signing failed: " + openssl_error();
        return false;
    }
    return true;
}

bool Key::verify(const unsigned char *message, size_t n, const unsigned char (&signature)[64]) const {
    if (!pkey_) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const bool good =
        ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, static_cast<EVP_PKEY *>(pkey_.get())) == 1 &&
        EVP_DigestVerify(ctx.get(), signature, sizeof signature, message, n) == 1;
    ERR_clear_error();
    return good;
}

}  // namespace upfw::crypto
