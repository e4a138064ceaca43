// IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320), table-driven.
#include <cstdint>
#include <cstring>

#include "upfw/env.h"

namespace {

constexpr uint32_t entry(uint32_t n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    return c;
}

struct Table {
    uint32_t v[256];
};

constexpr Table make_table() {
    Table t{};
    for (uint32_t n = 0; n < 256; ++n) t.v[n] = entry(n);
    return t;
}

constexpr Table kTable = make_table();
static_assert(kTable.v[1] == 0x77073096u, "CRC-32 table");

}  // namespace

extern "C" {

const uint32_t crc32_tab[256] = {
#define UPFW_E(i) kTable.v[i], kTable.v[i + 1], kTable.v[i + 2], kTable.v[i + 3]
#define UPFW_E16(i) UPFW_E(i), UPFW_E(i + 4), UPFW_E(i + 8), UPFW_E(i + 12)
    UPFW_E16(0),   UPFW_E16(16),  UPFW_E16(32),  UPFW_E16(48),  UPFW_E16(64),  UPFW_E16(80),
    UPFW_E16(96),  UPFW_E16(112), UPFW_E16(128), UPFW_E16(144), UPFW_E16(160), UPFW_E16(176),
    UPFW_E16(192), UPFW_E16(208), UPFW_E16(224), UPFW_E16(240),
#undef UPFW_E16
#undef UPFW_E
};

UPFW_API uint32_t crc32_no_comp(uint32_t crc, const unsigned char *buf, uint32_t len) {
    if (len == 0) return crc;
    const uint32_t *t = kTable.v;
    while (len > 0 && (reinterpret_cast<uintptr_t>(buf) & 3u) != 0) {
        crc = t[(crc ^ *buf++) & 0xFF] ^ (crc >> 8);
        --len;
    }
    while (len >= 4) {
        // The word is assembled little-endian so the result is the same on any host.
        uint32_t w = static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
                     static_cast<uint32_t>(buf[2]) << 16 | static_cast<uint32_t>(buf[3]) << 24;
        crc ^= w;
        crc = t[crc & 0xFF] ^ (crc >> 8);
        crc = t[crc & 0xFF] ^ (crc >> 8);
        crc = t[crc & 0xFF] ^ (crc >> 8);
        crc = t[crc & 0xFF] ^ (crc >> 8);
        buf += 4;
        len -= 4;
    }
    while (len > 0) {
        crc = t[(crc ^ *buf++) & 0xFF] ^ (crc >> 8);
        --len;
    }
    return crc;
}

UPFW_API uint32_t crc32(uint32_t crc, const unsigned char *buf, uint32_t len) {
    return ~crc32_no_comp(~crc, buf, len);
}

UPFW_API uint32_t crc32_wd(uint32_t crc, const unsigned char *buf, uint32_t len, uint32_t chunk_sz) {
    (void)chunk_sz;
    return crc32(crc, buf, len);
}

}  // extern "C"
