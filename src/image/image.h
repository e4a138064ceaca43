// Update images inside the library: the header reader and helpers shared by its users.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fd.h"
#include "upfw/image.h"

namespace upfw::crypto {
class Sha256;
}

namespace upfw::image {

struct SignedDigests;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the header is read as little-endian words");

constexpr uint32_t kHeaderSize = UPFW_HEADER_SIZE;
constexpr int kEntries = UPFW_ENTRY_COUNT;
constexpr int kCmdIndex = 3;

// Reads the first 2048 bytes of the image at path into header. 0, or -1 after one message.
int image_get_header_info(const char *path, upfw_header *header);

// Opens the image and reads its header, with the reader's checks and messages; returns the
// open descriptor, or an invalid one after one message.
platform::UniqueFd open_image(const char *path, upfw_header *header);

// The entry's name, read up to its first NUL or its 52 bytes.
std::string entry_name(const upfw_entry &e);

// The CRC-32 of size bytes at offset of the open image, read with positioned reads, and the
// same bytes fed to also when given. false with errno set (ENODATA when the file ends inside
// them) when they cannot all be read.
bool crc_of_range(int fd, uint32_t offset, uint32_t size, uint32_t *crc, crypto::Sha256 *also = nullptr);

// The verification as UPFW_verify does it, the device's check of the image's signature
// included, giving the header it verified and the digests that the signature vouches for
// (digests->checked false when the device trusts every image). device_check false: the CRC-32s
// only, whatever keys the machine holds (the build host's tool). 0, or -1 after its messages.
int verify_image(const char *path, upfw_header *verified, SignedDigests *digests, bool device_check = true);

// Both offset and size are non-zero.
inline bool has_data(const upfw_entry &e) { return e.offset != 0 && e.size != 0; }

}  // namespace upfw::image
