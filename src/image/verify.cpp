// Verification: every component with data against its CRC-32, before anything is written.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "env/crc32.h"
#include "image/authenticity.h"
#include "image/crypto.h"
#include "image/image.h"
#include "util/words.h"

using namespace upfw::image;

namespace {
// Larger reads than the 1024 bytes a minimal device needs change nothing but the speed.
constexpr size_t kChunk = 64 * 1024;
}  // namespace

bool upfw::image::crc_of_range(int fd, uint32_t offset, uint32_t size, uint32_t *crc, upfw::crypto::Sha256 *also) {
    std::vector<unsigned char> buf(size < kChunk ? size : kChunk);
    uint32_t c = 0;
    for (uint32_t done = 0; done < size;) {
        const size_t want = size - done < kChunk ? size - done : kChunk;
        ssize_t n = upfw::platform::read_full(fd, buf.data(), want, static_cast<int64_t>(offset) + done);
        if (n != static_cast<ssize_t>(want)) {
            if (n >= 0) errno = ENODATA;  // the image ends inside the range
            return false;
        }
        c = upfw::env::crc32_update(c, buf.data(), want);
        if (also) also->update(buf.data(), want);
        done += static_cast<uint32_t>(want);
    }
    *crc = c;
    return true;
}

int upfw::image::verify_image(const char *path, upfw_header *verified, SignedDigests *digests, bool device_check) {
    upfw_header h;
    upfw::platform::UniqueFd fd = open_image(path, &h);
    if (!fd.valid()) return -1;
    // A device that trusts keys checks the signature first, and each component's digest in the
    // same pass as its CRC-32; an entry with data but no name is then hashed too, since the
    // update writes entries by their index.
    SignedDigests signed_digests;
    if (device_check && !authenticate(fd.get(), h, &signed_digests)) return -1;
    for (int i = 0; i < kEntries; ++i) {
        const upfw_entry &e = h.entries[i];
        const bool named = e.name[0] != '\0';
        if (!has_data(e) || (!named && !signed_digests.checked)) continue;
        if (named) {
            std::printf("%.52s: \n", e.name);
            std::printf("offset  = 0x%08X\n", e.offset);
            std::printf("size    = 0x%08X (%d K)\n", e.size, static_cast<int>(e.size / 1024));
            std::printf("addr    = 0x%08X\n", e.addr);
            std::printf("flag    = 0x%08X\n", e.flag);
            std::printf("date    = %s\n", upfw::util::date_text(e.date).c_str());
            std::printf("crc32   = 0x%08X\n", e.crc32);
            std::printf("version = %s\n", upfw::util::version_text(e.version).c_str());
            if (::lseek(fd.get(), static_cast<off_t>(e.offset), SEEK_SET) < 0) {
                std::fflush(stdout);
                std::perror("lseek output imager");
                return -1;
            }
        }
        uint32_t crc = 0;
        upfw::crypto::Sha256 sha;
        if (!crc_of_range(fd.get(), e.offset, e.size, &crc, signed_digests.checked ? &sha : nullptr)) {
            std::fflush(stdout);
            std::perror("read output imager");
            return -1;
        }
        if (named && crc != e.crc32) {
            std::fflush(stdout);
            std::fprintf(stderr, "check_img_crc %.52s failed\n", e.name);
            return -1;
        }
        unsigned char digest[upfw::image::sig::kDigestSize];
        if (signed_digests.checked &&
            (!sha.final(digest) || std::memcmp(digest, signed_digests.sha256[i], sizeof digest) != 0)) {
            std::fflush(stdout);
            std::fprintf(stderr, "Error: %s\n", component_differs(i, h).c_str());
            return -1;
        }
    }
    if (verified) *verified = h;
    if (digests) *digests = signed_digests;
    return 0;
}

extern "C" UPFW_API int UPFW_verify(const char *path, void *context) {
    (void)context;
    return verify_image(path, nullptr, nullptr);
}
