// The signature block's format: reading it from the end of an image and writing it.
#include "image/signature.h"

#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "platform/fd.h"

namespace upfw::image::sig {

namespace {

uint32_t get32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void put32(std::vector<unsigned char> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void put(std::vector<unsigned char> &out, const void *bytes, size_t n) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    out.insert(out.end(), p, p + n);
}

std::string text(const char *format, unsigned long long a, unsigned long long b = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

}  // namespace

std::vector<uint32_t> signed_entries(const upfw_header &h) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < kEntries; ++i)
        if (has_data(h.entries[i])) out.push_back(i);
    return out;
}

uint64_t image_end(const upfw_header &h) {
    uint64_t end = kHeaderSize;
    for (const upfw_entry &e : h.entries)
        if (has_data(e) && uint64_t{e.offset} + e.size > end) end = uint64_t{e.offset} + e.size;
    return end;
}

Footer read_footer(const unsigned char (&bytes)[kFooterSize]) {
    Footer f;
    f.present = std::memcmp(bytes + 8, kFooterMagic, sizeof kFooterMagic) == 0;
    f.length = get32(bytes);
    f.format = get32(bytes + 4);
    return f;
}

bool parse_block(const unsigned char *bytes, size_t length, const upfw_header &h, Block *block, std::string *why) {
    if (length < kFixedSize + kSignatureSize) {
        *why = text("the block is %llu bytes, too short for any signature", length);
        return false;
    }
    if (std::memcmp(bytes, kBlockMagic, sizeof kBlockMagic) != 0) {
        *why = "the block does not start with its magic";
        return false;
    }
    Block b;
    b.format = get32(bytes + 8);
    b.algorithm = get32(bytes + 12);
    if (b.format != kFormat) {
        *why = text("block format %llu is not known", b.format);
        return false;
    }
    if (b.algorithm != kEd25519) {
        *why = text("signature algorithm %llu is not known", b.algorithm);
        return false;
    }
    std::memcpy(b.fingerprint, bytes + 16, kDigestSize);
    std::memcpy(b.header_sha256, bytes + 48, kDigestSize);
    const uint32_t count = get32(bytes + 80);
    const std::vector<uint32_t> want = signed_entries(h);
    if (count != want.size()) {
        *why = text("the block has %llu component digests, the header %llu components with data", count, want.size());
        return false;
    }
    if (length != kFixedSize + kComponentSize * count + kSignatureSize) {
        *why = text("the block is %llu bytes, not the %llu its digests take", length,
                    kFixedSize + kComponentSize * count + kSignatureSize);
        return false;
    }
    const unsigned char *p = bytes + kFixedSize;
    for (uint32_t i = 0; i < count; ++i, p += kComponentSize) {
        ComponentDigest c;
        c.index = get32(p);
        if (c.index != want[i]) {
            *why = text("digest %llu is for entry %llu", i, c.index) + text(", not entry %llu", want[i]);
            return false;
        }
        std::memcpy(c.sha256, p + 4, kDigestSize);
        b.components.push_back(c);
    }
    std::memcpy(b.signature, p, kSignatureSize);
    *block = b;
    return true;
}

std::vector<unsigned char> statement(const Block &b) {
    std::vector<unsigned char> out;
    put(out, kBlockMagic, sizeof kBlockMagic);
    put32(out, b.format);
    put32(out, b.algorithm);
    put(out, b.fingerprint, kDigestSize);
    put(out, b.header_sha256, kDigestSize);
    put32(out, static_cast<uint32_t>(b.components.size()));
    for (const ComponentDigest &c : b.components) {
        put32(out, c.index);
        put(out, c.sha256, kDigestSize);
    }
    return out;
}

std::vector<unsigned char> block_with_footer(const Block &b) {
    std::vector<unsigned char> out = statement(b);
    put(out, b.signature, kSignatureSize);
    const auto length = static_cast<uint32_t>(out.size());
    put32(out, length);
    put32(out, kFormat);
    put(out, kFooterMagic, sizeof kFooterMagic);
    return out;
}

Location locate(int fd, uint64_t file_size, const upfw_header &h) {
    Location at;
    at.start = file_size;
    unsigned char tail[kFooterSize];
    if (file_size < kHeaderSize + kFooterSize ||
        platform::read_full(fd, tail, kFooterSize, static_cast<int64_t>(file_size - kFooterSize)) !=
            static_cast<ssize_t>(kFooterSize))
        return at;
    const Footer f = read_footer(tail);
    if (!f.present) return at;
    at.found = Found::damaged;
    if (f.format != kFormat) {
        at.why = text("footer format %llu is not known", f.format);
        return at;
    }
    const uint64_t room = file_size - kFooterSize - kHeaderSize;
    if (f.length > room) {
        at.why = text("the footer claims a block of %llu bytes; the file holds %llu after its header", f.length, room);
        return at;
    }
    if (f.length > kMaxBlock) {
        at.why = text("the footer claims a block of %llu bytes, more than any block takes", f.length);
        return at;
    }
    at.start = file_size - kFooterSize - f.length;
    if (at.start < image_end(h)) {
        at.why = text("the block at byte %llu lies inside the components, which end at byte %llu", at.start, image_end(h));
        return at;
    }
    std::vector<unsigned char> bytes(f.length);
    if (platform::read_full(fd, bytes.data(), bytes.size(), static_cast<int64_t>(at.start)) !=
        static_cast<ssize_t>(bytes.size())) {
        at.why = "the block cannot be read";
        return at;
    }
    if (parse_block(bytes.data(), bytes.size(), h, &at.block, &at.why)) at.found = Found::found;
    return at;
}

std::string hex(const unsigned char *bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace upfw::image::sig
