// CRC-32 inside the library. The library's own checks call these, never the exported crc32:
// a program that links the library may define a crc32 of its own (zlib's has that name), and
// the environment must still be checked with this one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upfw::env {

// The standard CRC-32, continued from crc (0 starts one): the exported crc32.
uint32_t crc32_update(uint32_t crc, const unsigned char *buf, size_t len);
// The register form, without the complements: the exported crc32_no_comp. Uses the fastest
// method of this CPU (see crc32_method).
uint32_t crc32_raw(uint32_t crc, const unsigned char *buf, size_t len);
// The register form by the table method alone, whatever the CPU offers: the same values.
uint32_t crc32_raw_table(uint32_t crc, const unsigned char *buf, size_t len);
// The method crc32_raw uses here: "pclmul" (x86-64 carry-less multiply), "armv8-crc" (the ARMv8
// CRC32 instructions) or "table".
const char *crc32_method();
// The 256-entry table of the reflected polynomial 0xEDB88320.
const uint32_t *crc32_table();

#if defined(UPFW_CRC32_ARMV8)
// The register form by the ARMv8 CRC32 instructions; only for a CPU that has them (built apart,
// for ARMv8, while the rest of the library stays ARMv7).
uint32_t crc32_raw_armv8(uint32_t crc, const unsigned char *buf, size_t len);
#endif

}  // namespace upfw::env
