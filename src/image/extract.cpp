// Extraction of components to their files under /dev/shm.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/image.h"
#include "platform/root.h"

using namespace upfw::image;
using upfw::platform::UniqueFd;

namespace {

constexpr size_t kChunk = 64 * 1024;

// Copies the entry's data into the file at out (re-rooted). The file is replaced, not
// overwritten in place, so no tail of an older, longer file survives; an image that ends
// inside the component is a failure, and the partial file is removed rather than left for
// someone to run.
bool copy_entry(int image, const upfw_entry &e, const std::string &out) {
    UniqueFd fd(::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        std::perror("open output imager");
        return false;
    }
    auto fail = [&](const char *what, int err) {
        std::fflush(stdout);
        errno = err;
        std::perror(what);
        fd.close();
        ::unlink(out.c_str());
        return false;
    };
    if (::lseek(image, static_cast<off_t>(e.offset), SEEK_SET) < 0) return fail("lseek input imager", errno);
    std::vector<unsigned char> buf(kChunk);
    for (uint32_t done = 0; done < e.size;) {
        const size_t want = e.size - done < kChunk ? e.size - done : kChunk;
        ssize_t n = upfw::platform::read_full(image, buf.data(), want);
        if (n < 0) return fail("read input imager", errno);
        if (n == 0) return fail("read input imager", ENODATA);
        if (upfw::platform::write_full(fd.get(), buf.data(), static_cast<size_t>(n)) != n)
            return fail("write output imager", errno ? errno : EIO);
        done += static_cast<uint32_t>(n);
    }
    if (fd.close() != 0) return fail("write output imager", errno);
    return true;
}

}  // namespace

extern "C" UPFW_API int UPFW_analysis_img(const char *path, int mode) {
    if (!path) {
        std::fprintf(stderr, "Please input datafile\n");
        return -1;
    }
    std::printf("==============name %s=\n", path);
    upfw_header h;
    UniqueFd fd = open_image(path, &h);
    if (!fd.valid()) return -1;
    for (int i = 0; i < kEntries; ++i) {
        const upfw_entry &e = h.entries[i];
        if (!has_data(e)) continue;
        const char *out = nullptr;
        bool executable = false;
        if (mode == 0) {
            if (entry_name(e) == img_name[kCmdIndex]) {
                out = out_upfw_name[kCmdIndex];
                executable = true;
            }
        } else if (i <= kCmdIndex) {
            out = out_upfw_name[i];
        }
        if (!out) continue;
        std::printf("Create file: %s \n", out);
        const std::string target = upfw::platform::rooted(out);
        if (!copy_entry(fd.get(), e, target)) {
            std::fprintf(stderr, "write %s faild\n", out);
            return -1;
        }
        if (executable) ::chmod(target.c_str(), 0777);
    }
    return 0;
}
