// Authenticated images: the device's trusted keys, the check of an image's signature block
// against them, and the signing of images on the build host.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/crypto.h"
#include "image/signature.h"
#include "upfw/image.h"

namespace upfw::image {

// Where a device keeps the public keys it trusts (under the root), as *.pem files.
constexpr const char *kTrustedKeys = "/etc/upfw/keys";

// What the device trusts.
struct Trust {
    enum State {
        kAnyImage,  // no key installed: images are not checked, as on a device without keys
        kSigned,    // keys installed: only images signed by one of them
        kNothing,   // keys meant to be installed but none usable, or none readable: no image
    };
    State state = kAnyImage;
    std::vector<crypto::Key> keys;
    std::string why;  // kNothing: why every image is refused
};

// Reads the trusted keys. Each *.pem file that holds no Ed25519 public key is told on standard
// error with its name and left out; the others are still trusted. A directory that exists but
// cannot be read, *.pem files none of which is usable, and a build that cannot verify while
// keys are installed all trust nothing (fail closed).
Trust load_trust();

// The SHA-256 digests an image's signature vouches for, which what is written or extracted
// must match.
struct SignedDigests {
    bool checked = false;  // the image was authenticated: the digests below hold
    bool has[UPFW_ENTRY_COUNT] = {};
    unsigned char sha256[UPFW_ENTRY_COUNT][sig::kDigestSize] = {};
};

// Checks the block of the open image (of file_size bytes, with header h as read from it)
// against keys: it is there and well formed, one of keys has its fingerprint, its signature
// verifies with that key, and its header digest is h's. Components are not read: their
// digests go to digests, to be compared with the bytes as they are read. false with why set
// to one line saying what was wrong. signer: the key that signed, when it verified.
bool check_signature(int fd, uint64_t file_size, const upfw_header &h, const std::vector<crypto::Key> &keys,
                     SignedDigests *digests, std::string *why, const crypto::Key **signer = nullptr);

// The device's check of an open image before anything is written or extracted from it: with
// no key installed it passes with digests->checked false; otherwise check_signature against
// the trusted keys. false after one line on standard error.
bool authenticate(int fd, const upfw_header &h, SignedDigests *digests);

// Reads every component with data of the open image and compares its SHA-256 with the signed
// one. false with why set to component_differs' text (or a read failure).
bool components_match(int fd, const upfw_header &h, const SignedDigests &digests, std::string *why);

// The text for a component whose bytes differ from what was signed.
std::string component_differs(int index, const upfw_header &h);

// Makes a signature: the statement in, the 64 raw signature bytes out. false with why set.
using SignFunction = std::function<bool(const std::vector<unsigned char> &statement,
                                        unsigned char (&signature)[sig::kSignatureSize], std::string *why)>;

// Signs the image open in fd (read and write): computes the digests of its header and of every
// component, has sign sign the statement for the public key key, checks the signature with
// that key, and writes the block right after the last component, cutting the file after the
// new footer: whatever followed the last component (an old block, whole or damaged) is gone. false with why set; the file may then be left cut or partly
// written, so callers sign a copy and rename it into place.
bool append_signature(int fd, const crypto::Key &key, const SignFunction &sign, std::string *why);

// A SignFunction that runs command through /bin/sh with the statement on its standard input
// and takes exactly 64 bytes from its standard output.
SignFunction external_signer(const std::string &command);

}  // namespace upfw::image
