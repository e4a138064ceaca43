// What the two flash writers share, and their forms for the update, which hands them the
// CRC-32 of the header it verified and the digest that the image's signature vouches for.
#pragma once

#include <cstdint>
#include <string>

#include "upfw/update.h"

namespace upfw::crypto {
class Sha256;
}

namespace upfw::image {
struct SignedDigests;
}

namespace upfw::update {

// What the written bytes must be: the CRC-32 of their header entry and, for an image that was
// authenticated, the SHA-256 that its signature vouches for.
struct Expected {
    uint32_t crc32 = 0;
    bool has_sha256 = false;
    unsigned char sha256[32] = {};
};

// The writers. expected: what the written bytes must be; nullptr to take it from the image
// itself (the header entry at the request's offset and size, and on a device that trusts keys
// the image's signature, checked before anything is erased). 0 or -1.
int nand_write(const char *image_path, const update_part *req, const Expected *expected);
int spi_write(const char *image_path, const update_part *req, const Expected *expected);

// The request's device node as it is opened (under the root) and as messages show it.
std::string device_of(const update_part &req);

// What the component of header entry index must be: its CRC-32, and the digest the signature
// vouches for when the image was authenticated.
Expected expected_of(uint32_t crc32, const image::SignedDigests &digests, int index);

// What the component must be: given when set, else the CRC-32 of the entry of the image header
// (read from the open image) with the request's offset and size, and, on a device that trusts
// keys, the digest of that entry in the image's signature, which must verify. An empty
// component needs no entry: the CRC of no data is 0. False, after a message, when no entry
// describes the component or the image is not trusted.
bool expectation(int image, const update_part &req, const Expected *given, Expected *out);

// False, after a message, when the written bytes (their CRC-32, and their SHA-256 in sha when
// a digest is expected) are not the ones expected. sha is consumed.
bool written_matches(const update_part &req, uint32_t crc, crypto::Sha256 *sha, const Expected &want);

// Marks the request's partition record incomplete before its partition is erased (one save,
// unless it is marked already). A request naming no partition has no record to mark.
// fail_text is the writer's message for a failed store. 0 or -1.
int mark_before_erase(const update_part &req, const char *fail_text);

// Stores the written partition's record (size, version, date of the request) once the
// partition is written and verified, always under the partition's own name. fail_text is
// the writer's message for a failed store. 0 or -1.
int store_record(const update_part &req, const char *fail_text);

}  // namespace upfw::update
