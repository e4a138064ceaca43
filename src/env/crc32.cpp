// IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320), table-driven: the implementation the
// library itself calls.
#include <cstdint>
#include <cstring>

#include "env/crc32.h"
#include "upfw/crc32.h"

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

// Tables for eight bytes a step: slice k advances a byte through k more zero bytes. The result
// is the byte-by-byte update's, several times faster over large components.
struct Slices {
    uint32_t v[8][256];
};

constexpr Slices make_slices() {
    Slices s{};
    for (uint32_t n = 0; n < 256; ++n) s.v[0][n] = kTable.v[n];
    for (int k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n) s.v[k][n] = (s.v[k - 1][n] >> 8) ^ kTable.v[s.v[k - 1][n] & 0xFF];
    return s;
}

constexpr Slices kSlices = make_slices();

inline uint32_t le32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

namespace upfw::env {

uint32_t crc32_raw(uint32_t crc, const unsigned char *buf, size_t len) {
    if (len == 0) return crc;
    const uint32_t *t = kTable.v;
    while (len > 0 && (reinterpret_cast<uintptr_t>(buf) & 3u) != 0) {
        crc = t[(crc ^ *buf++) & 0xFF] ^ (crc >> 8);
        --len;
    }
    const auto &T = kSlices.v;
    while (len >= 8) {
        // The words are assembled little-endian so the result is the same on any host.
        const uint32_t one = crc ^ le32(buf), two = le32(buf + 4);
        crc = T[7][one & 0xFF] ^ T[6][(one >> 8) & 0xFF] ^ T[5][(one >> 16) & 0xFF] ^ T[4][one >> 24] ^
              T[3][two & 0xFF] ^ T[2][(two >> 8) & 0xFF] ^ T[1][(two >> 16) & 0xFF] ^ T[0][two >> 24];
        buf += 8;
        len -= 8;
    }
    while (len > 0) {
        crc = t[(crc ^ *buf++) & 0xFF] ^ (crc >> 8);
        --len;
    }
    return crc;
}

uint32_t crc32_update(uint32_t crc, const unsigned char *buf, size_t len) { return ~crc32_raw(~crc, buf, len); }

const uint32_t *crc32_table() { return kTable.v; }

}  // namespace upfw::env

// The exported table and register forms. The exported crc32 lives in a file of its own, so
// that a program defining a crc32 of its own still links these from a static library.
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
    return upfw::env::crc32_raw(crc, buf, len);
}

UPFW_API uint32_t crc32_wd(uint32_t crc, const unsigned char *buf, uint32_t len, uint32_t chunk_sz) {
    (void)chunk_sz;
    return upfw::env::crc32_update(crc, buf, len);
}

}  // extern "C"
