// IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320): the implementation the library itself
// calls. The register is carried through the fastest method this CPU has: carry-less multiply
// on x86-64, the CRC32 instructions on ARMv8 (32-bit code included), a braided table method
// everywhere else. All give the same values; the choice is made once, at the first call.
#include <cstdint>
#include <cstring>

#include "env/crc32.h"
#include "upfw/crc32.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define UPFW_CRC32_CLMUL 1
#endif
#if defined(UPFW_CRC32_ARMV8)
#include <sys/auxv.h>
#ifndef HWCAP2_CRC32
#define HWCAP2_CRC32 (1 << 4)  // the 32-bit ARM kernel's bit for the CRC32 instructions
#endif
#endif

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

// The braided method: kLanes registers each take every kLanes-th 8-byte word, so their table
// look-ups do not wait on one another. A lane's table advances a byte of its word through the
// rest of the word and the other lanes' words, read as zeros; the lanes are merged over the
// last round. Word tables (kWord) advance a byte through the rest of one word.
constexpr int kLanes = 5;

struct Tables8 {
    uint32_t v[8][256];
};

constexpr uint32_t advance(uint32_t c, int zero_bytes) {
    for (int i = 0; i < zero_bytes; ++i) c = kTable.v[c & 0xFF] ^ (c >> 8);
    return c;
}

constexpr Tables8 make_tables(int span) {
    Tables8 t{};
    for (int k = 0; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n) t.v[k][n] = advance(kTable.v[n], span - 1 - k);
    return t;
}

constexpr Tables8 kWord = make_tables(8);
constexpr Tables8 kBraid = make_tables(8 * kLanes);

// Assembled little-endian, so the result is the same on any host; compilers make it one load.
inline uint64_t le64(const unsigned char *p) {
    return static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 | static_cast<uint64_t>(p[2]) << 16 |
           static_cast<uint64_t>(p[3]) << 24 | static_cast<uint64_t>(p[4]) << 32 |
           static_cast<uint64_t>(p[5]) << 40 | static_cast<uint64_t>(p[6]) << 48 |
           static_cast<uint64_t>(p[7]) << 56;
}

// The register after the 8 bytes of w (already combined with it), through tables t.
inline uint32_t through(const Tables8 &t, uint64_t w) {
    return t.v[0][w & 0xFF] ^ t.v[1][(w >> 8) & 0xFF] ^ t.v[2][(w >> 16) & 0xFF] ^ t.v[3][(w >> 24) & 0xFF] ^
           t.v[4][(w >> 32) & 0xFF] ^ t.v[5][(w >> 40) & 0xFF] ^ t.v[6][(w >> 48) & 0xFF] ^ t.v[7][w >> 56];
}

inline uint32_t bytewise(uint32_t crc, const unsigned char *buf, size_t len) {
    for (; len > 0; --len) crc = kTable.v[(crc ^ *buf++) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t portable(uint32_t crc, const unsigned char *buf, size_t len) {
    constexpr size_t round = 8 * kLanes;
    if (len >= 2 * round) {
        const size_t rounds = len / round;
        uint32_t lane[kLanes] = {crc};
        for (size_t r = 1; r < rounds; ++r) {
            for (int l = 0; l < kLanes; ++l) lane[l] = through(kBraid, le64(buf + 8 * l) ^ lane[l]);
            buf += round;
        }
        crc = 0;
        for (int l = 0; l < kLanes; ++l) crc = through(kWord, le64(buf + 8 * l) ^ crc ^ lane[l]);
        buf += round;
        len -= rounds * round;
    }
    for (; len >= 8; buf += 8, len -= 8) crc = through(kWord, le64(buf) ^ crc);
    return bytewise(crc, buf, len);
}

#if UPFW_CRC32_CLMUL
// Folding with carry-less multiplication: four 128-bit lanes are each carried 64 bytes forward
// (multiplied by x^(512±32) modulo the polynomial, bit-reflected) and the next data added,
// then merged into one lane carried 16 bytes at a time. The lane left is congruent to the
// message so far, so its 16 bytes through the table give the register.
__attribute__((target("pclmul"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul"))) inline __m128i load128(const unsigned char *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

__attribute__((target("pclmul"))) uint32_t clmul(uint32_t crc, const unsigned char *buf, size_t len) {
    if (len < 64) return portable(crc, buf, len);
    __m128i x0 = _mm_xor_si128(load128(buf), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load128(buf + 16), x2 = load128(buf + 32), x3 = load128(buf + 48);
    buf += 64;
    len -= 64;
    const __m128i by64 = _mm_set_epi64x(0x1C6E41596LL, 0x154442BD4LL);
    for (; len >= 64; buf += 64, len -= 64) {
        x0 = fold(x0, by64, load128(buf));
        x1 = fold(x1, by64, load128(buf + 16));
        x2 = fold(x2, by64, load128(buf + 32));
        x3 = fold(x3, by64, load128(buf + 48));
    }
    const __m128i by16 = _mm_set_epi64x(0x0CCAA009ELL, 0x1751997D0LL);
    x1 = fold(x0, by16, x1);
    x2 = fold(x1, by16, x2);
    x3 = fold(x2, by16, x3);
    for (; len >= 16; buf += 16, len -= 16) x3 = fold(x3, by16, load128(buf));
    unsigned char rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(rest), x3);
    return portable(portable(0, rest, 16), buf, len);
}

bool has_clmul() {
    unsigned a, b, c, d;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 1)) != 0;  // CPUID.1:ECX.PCLMULQDQ
}
#endif

using Method = uint32_t (*)(uint32_t, const unsigned char *, size_t);

struct Choice {
    Method fn;
    const char *name;
};

Choice choose() {
#if UPFW_CRC32_CLMUL
    if (has_clmul()) return {clmul, "pclmul"};
#endif
#if defined(UPFW_CRC32_ARMV8)
    if (::getauxval(AT_HWCAP2) & HWCAP2_CRC32) return {upfw::env::crc32_raw_armv8, "armv8-crc"};
#endif
    return {portable, "table"};
}

const Choice &chosen() {
    static const Choice c = choose();
    return c;
}

}  // namespace

namespace upfw::env {

uint32_t crc32_raw(uint32_t crc, const unsigned char *buf, size_t len) {
    if (len == 0) return crc;
    return chosen().fn(crc, buf, len);
}

uint32_t crc32_raw_table(uint32_t crc, const unsigned char *buf, size_t len) { return portable(crc, buf, len); }

const char *crc32_method() { return chosen().name; }

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
