// The cryptography the signature block needs, from OpenSSL's libcrypto: SHA-256 and Ed25519
// keys. A build without libcrypto has the same interface, and every operation fails with
// kUnavailable as its reason.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace upfw::crypto {

// Whether this build can hash, sign and verify.
bool available();
extern const char *const kUnavailable;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &other);  // the state so far, to go on from it later
    Sha256 &operator=(const Sha256 &other);
    void update(const void *bytes, size_t n);
    // The digest of everything given; false when hashing failed at any point.
    bool final(unsigned char (&out)[32]);

private:
    void *ctx_ = nullptr;
    bool ok_ = false;
};

// An Ed25519 key read from a PEM file.
class Key {
public:
    enum Kind { kPublic, kPrivate, kEither };
    // Reads the key at path: a public key (kPublic), a private key (kPrivate), or either
    // (kEither; a private key then serves through its public half). An invalid key, with why
    // set (a phrase that follows the file's name: "not an Ed25519 public key in PEM form"), for
    // a file that is not a regular file, cannot be read, is encrypted, holds more than one
    // PEM object or no Ed25519 key of that kind. No passphrase is ever asked for. shown: the
    // file's name as messages show it (default path).
    static Key load(const std::string &path, Kind kind, std::string *why, const std::string *shown = nullptr);

    bool valid() const { return pkey_ != nullptr; }
    bool is_private() const { return private_; }
    // SHA-256 of the public key's DER SubjectPublicKeyInfo.
    const unsigned char *fingerprint() const { return fingerprint_; }
    const std::string &file() const { return file_; }

    bool sign(const unsigned char *message, size_t n, unsigned char (&signature)[64], std::string *why) const;
    bool verify(const unsigned char *message, size_t n, const unsigned char (&signature)[64]) const;

private:
    std::shared_ptr<void> pkey_;
    bool private_ = false;
    unsigned char fingerprint_[32] = {};
    std::string file_;
};

}  // namespace upfw::crypto
