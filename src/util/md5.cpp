// MD5 message digest, written from RFC 1321.
#include <cstring>

#include "upfw/md5.h"

namespace {

constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Per-round shift amounts, four per round.
constexpr int kS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void transform(uint32_t state[4], const unsigned char block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
               static_cast<uint32_t>(block[4 * i + 2]) << 16 | static_cast<uint32_t>(block[4 * i + 3]) << 24;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int k;
        switch (i / 16) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + x[k] + kT[i], kS[i / 16][i % 4]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

extern "C" {

UPFW_API void MD5Init(MD5Context *ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = ctx->count[1] = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

UPFW_API void MD5Update(MD5Context *ctx, const unsigned char *data, unsigned int len) {
    uint32_t have = (ctx->count[0] >> 3) & 63;
    uint32_t bits_lo = ctx->count[0] + (static_cast<uint32_t>(len) << 3);
    if (bits_lo < ctx->count[0]) ++ctx->count[1];
    ctx->count[1] += static_cast<uint32_t>(len) >> 29;
    ctx->count[0] = bits_lo;
    if (have > 0) {
        uint32_t need = 64 - have;
        if (len < need) {
            std::memcpy(ctx->buffer + have, data, len);
            return;
        }
        std::memcpy(ctx->buffer + have, data, need);
        transform(ctx->state, ctx->buffer);
        data += need;
        len -= need;
    }
    for (; len >= 64; data += 64, len -= 64) transform(ctx->state, data);
    if (len > 0) std::memcpy(ctx->buffer, data, len);
}

UPFW_API void MD5Final(unsigned char digest[16], MD5Context *ctx) {
    unsigned char length[8];
    for (int i = 0; i < 4; ++i) {
        length[i] = static_cast<unsigned char>(ctx->count[0] >> (8 * i));
        length[4 + i] = static_cast<unsigned char>(ctx->count[1] >> (8 * i));
    }
    uint32_t have = (ctx->count[0] >> 3) & 63;
    static const unsigned char kPad[64] = {0x80};
    MD5Update(ctx, kPad, have < 56 ? 56 - have : 120 - have);
    MD5Update(ctx, length, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(ctx->state[i] >> (8 * j));
    std::memset(ctx, 0, sizeof *ctx);
}

UPFW_API void md5(const unsigned char *data, unsigned int len, unsigned char digest[16]) {
    MD5Context ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, data, len);
    MD5Final(digest, &ctx);
}

}  // extern "C"
