// The signature block: an optional trailer after an update image's last component that
// binds the header and every component to a signing key. Readers that do not know it see the
// same image; they find components only through the header.
//
// Layout (all integers unsigned, little-endian), from the end of the file:
//
//   footer, the file's last 16 bytes:
//     0   4  block length L (statement and signature, not the footer)
//     4   4  footer format, 1
//     8   8  "UPFW-END"
//   block, the L bytes before the footer:
//     statement (the signed bytes):
//       0   8  "UPFW-SIG"
//       8   4  block format, 1
//      12   4  algorithm, 1 = Ed25519 signature over the statement, SHA-256 digests
//      16  32  key fingerprint: SHA-256 of the public key's DER SubjectPublicKeyInfo
//      48  32  SHA-256 of the 2048-byte header
//      80   4  N, the number of component digests: one per header entry with data
//      84  36N per component, in entry order: entry index (4), SHA-256 of its size bytes at
//              its offset (32)
//     signature: 64 bytes (Ed25519), so L = 84 + 36 N + 64 for format 1
//
// The block starts where the image proper ends: at or after byte 2048 and after the last byte
// of every component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "upfw/image.h"

namespace upfw::image::sig {

constexpr size_t kDigestSize = 32;
constexpr size_t kSignatureSize = 64;
constexpr size_t kFooterSize = 16;
constexpr size_t kFixedSize = 84;          // statement bytes before the component digests
constexpr size_t kComponentSize = 36;      // entry index and digest
constexpr uint32_t kFormat = 1;
constexpr uint32_t kEd25519 = 1;
constexpr char kBlockMagic[8] = {'U', 'P', 'F', 'W', '-', 'S', 'I', 'G'};
constexpr char kFooterMagic[8] = {'U', 'P', 'F', 'W', '-', 'E', 'N', 'D'};
// Nothing larger is ever a block: eight components of format 1 need 436 bytes.
constexpr uint32_t kMaxBlock = 4096;

using Digest = unsigned char[kDigestSize];

struct ComponentDigest {
    uint32_t index = 0;
    unsigned char sha256[kDigestSize] = {};
};

struct Block {
    uint32_t format = kFormat;
    uint32_t algorithm = kEd25519;
    unsigned char fingerprint[kDigestSize] = {};
    unsigned char header_sha256[kDigestSize] = {};
    std::vector<ComponentDigest> components;
    unsigned char signature[kSignatureSize] = {};
};

// The entries a block must carry a digest for: those with data, in index order.
std::vector<uint32_t> signed_entries(const upfw_header &h);

// Where the image proper ends: the end of its furthest component, and never before the header.
uint64_t image_end(const upfw_header &h);

// What the footer at the end of a file says.
struct Footer {
    bool present = false;  // the footer's magic is there
    uint32_t length = 0;   // L
    uint32_t format = 0;
};
Footer read_footer(const unsigned char (&bytes)[kFooterSize]);

// Parses the L bytes of a block against the header it must describe. false, with why set to
// a short reason, for a block that is not a well-formed block of a known format and algorithm
// or whose digests do not name exactly the header's entries with data.
bool parse_block(const unsigned char *bytes, size_t length, const upfw_header &h, Block *block, std::string *why);

// The statement (the bytes that are signed) and the whole block with its footer.
std::vector<unsigned char> statement(const Block &block);
std::vector<unsigned char> block_with_footer(const Block &block);

// Where a block is in a file of file_size bytes and what it holds. not_signed: no footer.
enum class Found { not_signed, damaged, found };
struct Location {
    Found found = Found::not_signed;
    uint64_t start = 0;  // first byte of the block; the file's size when not signed
    Block block;
    std::string why;     // for damaged: what is wrong
};
// Reads the footer and the block through the open image (positioned reads only).
Location locate(int fd, uint64_t file_size, const upfw_header &h);

// Lower-case hex of a digest, as the tools print fingerprints.
std::string hex(const unsigned char *bytes, size_t n);

}  // namespace upfw::image::sig
