#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "env/crc32.h"
#include "fixture.h"
#include "upfw/crc32.h"
#include "upfw/env.h"
#include "upfw/md5.h"

namespace {

const unsigned char *bytes(const char *s) { return reinterpret_cast<const unsigned char *>(s); }

TEST(Crc32, KnownValuesAndContinuation) {
    EXPECT_EQ(crc32(0, bytes("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(crc32(0x12345678u, nullptr, 100), 0u);  // zlib's answer: the starting value
    EXPECT_EQ(crc32_no_comp(0xFFFFFFFFu, bytes("123456789"), 9), 0x340BC6D9u);
    EXPECT_EQ(crc32(0x12345678u, bytes("x"), 0), 0x12345678u);
    EXPECT_EQ(crc32_tab[1], 0x77073096u);
    EXPECT_EQ(crc32_wd(0, bytes("123456789"), 9, 1), 0xCBF43926u);
    EXPECT_EQ(crc32_wd(0, bytes("123456789"), 9, 4096), 0xCBF43926u);

    // Every alignment and split of a buffer gives the reference result.
    std::vector<unsigned char> buf(300);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 7 + 3);
    for (size_t start = 0; start < 5; ++start) {
        const size_t n = buf.size() - start;
        const uint32_t want = upfw::test::ref_crc32(&buf[start], n);
        EXPECT_EQ(crc32(0, &buf[start], static_cast<uint32_t>(n)), want);
        for (size_t cut : {size_t{0}, size_t{1}, size_t{3}, n / 2, n}) {
            uint32_t c = crc32(0, &buf[start], static_cast<uint32_t>(cut));
            EXPECT_EQ(crc32(c, &buf[start + cut], static_cast<uint32_t>(n - cut)), want);
        }
    }
}

// The method of this CPU gives the table method's values on random lengths, alignments and
// starting registers, and the table method the bit-by-bit reference's. UPFW_EXPECT_CRC_METHOD
// names the method a run must have taken: the armhf build runs this under QEMU CPU models with
// and without the CRC32 instructions.
TEST(Crc32, MethodOfThisCpuAgreesWithTableMethod) {
    if (const char *want = std::getenv("UPFW_EXPECT_CRC_METHOD")) {
        EXPECT_STREQ(upfw::env::crc32_method(), want);
    }
    std::mt19937 rng(11);
    std::vector<unsigned char> buf((1 << 17) + 16);
    for (auto &b : buf) b = static_cast<unsigned char>(rng());
    for (int i = 0; i < 1500; ++i) {
        const size_t start = rng() % 16;
        // Every short length (the methods' edges lie there), then longer ones.
        const size_t n = i < 600 ? static_cast<size_t>(i) : rng() % (i < 1450 ? 8192 : buf.size() - 16);
        const uint32_t reg = static_cast<uint32_t>(rng());
        const unsigned char *p = &buf[start];
        const uint32_t want = upfw::env::crc32_raw_table(reg, p, n);
        ASSERT_EQ(upfw::env::crc32_raw(reg, p, n), want) << "length " << n << " at " << start;
        if (n < 600) {
            ASSERT_EQ(~upfw::env::crc32_raw_table(~0u, p, n), upfw::test::ref_crc32(p, n)) << "length " << n;
        }
    }
}

std::string hex(const unsigned char d[16]) {
    char s[33];
    for (int i = 0; i < 16; ++i) std::snprintf(s + 2 * i, 3, "%02x", d[i]);
    return s;
}

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<const char *, const char *> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) {
        unsigned char d[16];
        md5(bytes(c.first), static_cast<unsigned>(std::strlen(c.first)), d);
        EXPECT_EQ(hex(d), c.second) << c.first;

        // Fed in uneven pieces, the digest is the same.
        MD5Context ctx;
        MD5Init(&ctx);
        size_t len = std::strlen(c.first);
        for (size_t i = 0; i < len; i += 3) MD5Update(&ctx, bytes(c.first) + i, static_cast<unsigned>(std::min<size_t>(3, len - i)));
        MD5Final(d, &ctx);
        EXPECT_EQ(hex(d), c.second) << c.first;
    }
}

}  // namespace
