// A build without libcrypto: nothing can be hashed, signed or verified, and every attempt says
// why, so that a device with trusted keys refuses every image rather than install one unchecked.
#include "image/crypto.h"

namespace upfw::crypto {

const char *const kUnavailable = "this build has no image signatures (built without OpenSSL)";

bool available() { return false; }

Sha256::Sha256() = default;
Sha256::~Sha256() = default;
Sha256::Sha256(const Sha256 &) {}
Sha256 &Sha256::operator=(const Sha256 &) { return *this; }
void Sha256::update(const void *, size_t) {}
bool Sha256::final(unsigned char (&)[32]) { return false; }

Key Key::load(const std::string &, Kind, std::string *why, const std::string *) {
    *why = kUnavailable;
    return Key();
}

bool Key::sign(const unsigned char *, size_t, unsigned char (&)[64], std::string *why) const {
    *why = kUnavailable;
    return false;
}

bool Key::verify(const unsigned char *, size_t, const unsigned char (&)[64]) const { return false; }

}  // namespace upfw::crypto
