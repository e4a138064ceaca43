// Verification: every component with data against its CRC-32, before anything is written.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "env/crc32.h"
#include "image/image.h"
#include "util/words.h"

using namespace upfw::image;

namespace {
// Larger reads than the 1024 bytes a minimal device needs change nothing but the speed.
constexpr size_t kChunk = 64 * 1024;
}  // namespace

bool upfw::image::crc_of_range(int fd, uint32_t offset, uint32_t size, uint32_t *crc) {
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
        done += static_cast<uint32_t>(want);
    }
    *crc = c;
    return true;
}

extern "C" UPFW_API int UPFW_verify(const char *path, void *context) {
    (void)context;
    upfw_header h;
    upfw::platform::UniqueFd fd = open_image(path, &h);
    if (!fd.valid()) return -1;
    for (const upfw_entry &e : h.entries) {
        if (e.name[0] == '\0' || !has_data(e)) continue;
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
        uint32_t crc = 0;
        if (!crc_of_range(fd.get(), e.offset, e.size, &crc)) {
            std::fflush(stdout);
            std::perror("read output imager");
            return -1;
        }
        if (crc != e.crc32) {
            std::fflush(stdout);
            std::fprintf(stderr, "check_img_crc %.52s failed\n", e.name);
            return -1;
        }
    }
    return 0;
}
