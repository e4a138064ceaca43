// CRC-32 inside the library. The library's own checks call these, never the exported crc32:
// a program that links the library may define a crc32 of its own (zlib's has that name), and
// the environment must still be checked with this one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upfw::env {

// The standard CRC-32, continued from crc (0 starts one): the exported crc32.
uint32_t crc32_update(uint32_t crc, const unsigned char *buf, size_t len);
// The register form, without the complements: the exported crc32_no_comp.
uint32_t crc32_raw(uint32_t crc, const unsigned char *buf, size_t len);
// The 256-entry table of the reflected polynomial 0xEDB88320.
const uint32_t *crc32_table();

}  // namespace upfw::env
