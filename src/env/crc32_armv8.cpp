// CRC-32 by the ARMv8 CRC32 instructions, which compute this very polynomial on the register
// form. This file alone is built for ARMv8 with the CRC extension; it runs only once the kernel
// has said the CPU has them (HWCAP2_CRC32).
#include <arm_acle.h>

#include <cstring>

#include "env/crc32.h"

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the words are read in the CPU's order, which must be little-endian"
#endif

namespace upfw::env {

uint32_t crc32_raw_armv8(uint32_t crc, const unsigned char *buf, size_t len) {
    for (; len > 0 && (reinterpret_cast<uintptr_t>(buf) & 3u) != 0; --len) crc = __crc32b(crc, *buf++);
    for (; len >= 16; buf += 16, len -= 16) {
        uint32_t w[4];
        std::memcpy(w, buf, sizeof w);
        crc = __crc32w(crc, w[0]);
        crc = __crc32w(crc, w[1]);
        crc = __crc32w(crc, w[2]);
        crc = __crc32w(crc, w[3]);
    }
    for (; len >= 4; buf += 4, len -= 4) {
        uint32_t w;
        std::memcpy(&w, buf, sizeof w);
        crc = __crc32w(crc, w);
    }
    for (; len > 0; --len) crc = __crc32b(crc, *buf++);
    return crc;
}

}  // namespace upfw::env
