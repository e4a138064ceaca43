// The image header: reading it and listing its entries; the component tables.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "platform/fd.h"
#include "util/words.h"

namespace upfw::image {

std::string entry_name(const upfw_entry &e) { return std::string(e.name, strnlen(e.name, sizeof e.name)); }

platform::UniqueFd open_image(const char *path, upfw_header *header) {
    if (!path) {
        std::fprintf(stderr, "Please input datafile\n");
        return {};
    }
    platform::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        std::perror("open output imager");
        return {};
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        std::perror("fstat output imager");
        return {};
    }
    if (st.st_size < static_cast<off_t>(kHeaderSize)) {
        std::fprintf(stderr, "Bad size: \"%s\" is no valid image\n", path);
        return {};
    }
    std::memset(header, 0, sizeof *header);
    ssize_t n = platform::read_full(fd.get(), header, kHeaderSize);
    if (n != static_cast<ssize_t>(kHeaderSize)) {
        if (n >= 0) errno = EIO;  // the file shrank under us
        std::perror("read output imager");
        return {};
    }
    return fd;
}

int image_get_header_info(const char *path, upfw_header *header) { return open_image(path, header).valid() ? 0 : -1; }

}  // namespace upfw::image

using namespace upfw::image;

extern "C" {

const char *const img_name[UPFW_ENTRY_COUNT] = {"bld", "ker", "fs", "cmd", "param", "jpg", "bld2", "tool"};

const char *const out_upfw_name[UPFW_ENTRY_COUNT] = {
    "/dev/shm/bld.bin", "/dev/shm/ker.bin", "/dev/shm/ubifs.bin", "/dev/shm/update",
    "/dev/shm/param",   "/dev/shm/boot.jpg", "/dev/shm/bld2.bin", "/dev/shm/tool.bin",
};

UPFW_API int UPFW_list_intfo(const char *path) {
    upfw_header h;
    if (image_get_header_info(path, &h) != 0) return -1;
    std::printf("Image info: \n");
    for (const upfw_entry &e : h.entries) {
        if (e.name[0] == '\0') continue;
        std::printf("%.52s: \n", e.name);
        if (has_data(e)) {
            std::printf("offset  = 0x%08X\n", e.offset);
            std::printf("size    = %d K\n", static_cast<int>(e.size / 1024));
            std::printf("addr    = 0x%08X\n", e.addr);
            std::printf("flag    = 0x%08X\n", e.flag);
            std::printf("date    = %s\n", upfw::util::date_text(e.date).c_str());
            std::printf("crc32   = 0x%08X\n", e.crc32);
        }
        std::printf("version = %s\n", upfw::util::version_text(e.version).c_str());
    }
    return 0;
}

}  // extern "C"
