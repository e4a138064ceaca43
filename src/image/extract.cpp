// Extraction of components to their files under /dev/shm.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/authenticity.h"
#include "image/crypto.h"
#include "image/image.h"
#include "platform/beside.h"
#include "platform/root.h"

using namespace upfw::image;
using upfw::platform::UniqueFd;

namespace {

constexpr size_t kChunk = 64 * 1024;

// Copies the entry's data into a new file that then replaces the one at out (re-rooted), so
// that a link planted at out is replaced, never followed, no tail of an older, longer file
// survives, and nothing is left at out when the copy fails. An image that ends inside the
// component is a failure. executable: mode 0777, set on the descriptor before the rename.
// shown is out as messages show it. signed_sha256: the digest the copied bytes must have (an
// authenticated image), checked before the rename; nullptr for none.
bool copy_entry(int image, const upfw_entry &e, const std::string &out, const char *shown, bool executable,
                const unsigned char *signed_sha256) {
    struct stat img, at;
    // Replacing the image itself would lose it; its own path as the output is refused.
    if (::fstat(image, &img) == 0 && ::lstat(out.c_str(), &at) == 0 && img.st_dev == at.st_dev &&
        img.st_ino == at.st_ino) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s is the image itself, not overwritten\n", shown);
        return false;
    }
    std::string tmp;
    UniqueFd fd = upfw::platform::create_beside(out, &tmp);
    if (!fd.valid()) {
        std::perror("open output imager");
        return false;
    }
    auto fail = [&](const char *what, int err) {
        std::fflush(stdout);
        errno = err;
        std::perror(what);
        fd.close();
        ::unlink(tmp.c_str());
        return false;
    };
    if (::lseek(image, static_cast<off_t>(e.offset), SEEK_SET) < 0) return fail("lseek input imager", errno);
    std::vector<unsigned char> buf(kChunk);
    upfw::crypto::Sha256 sha;
    for (uint32_t done = 0; done < e.size;) {
        const size_t want = e.size - done < kChunk ? e.size - done : kChunk;
        ssize_t n = upfw::platform::read_full(image, buf.data(), want);
        if (n < 0) return fail("read input imager", errno);
        if (n == 0) return fail("read input imager", ENODATA);
        if (upfw::platform::write_full(fd.get(), buf.data(), static_cast<size_t>(n)) != n)
            return fail("write output imager", errno ? errno : EIO);
        if (signed_sha256) sha.update(buf.data(), static_cast<size_t>(n));
        done += static_cast<uint32_t>(n);
    }
    unsigned char digest[sig::kDigestSize];
    if (signed_sha256 && (!sha.final(digest) || std::memcmp(digest, signed_sha256, sizeof digest) != 0)) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: the bytes copied to %s differ from the signed image\n", shown);
        fd.close();
        ::unlink(tmp.c_str());
        return false;
    }
    if (executable && ::fchmod(fd.get(), 0777) != 0) return fail("chmod output imager", errno);
    if (fd.close() != 0) return fail("write output imager", errno);
    if (::rename(tmp.c_str(), out.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        std::perror("rename output imager");
        return false;
    }
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
    // A device that trusts keys extracts nothing from an image they did not sign or that differs
    // from what they signed in any component, and each file only when the bytes copied are the
    // signed ones (the image may change after the check).
    SignedDigests digests;
    if (!authenticate(fd.get(), h, &digests)) return -1;
    std::string why;
    if (digests.checked && !components_match(fd.get(), h, digests, &why)) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", why.c_str());
        return -1;
    }
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
        if (!copy_entry(fd.get(), e, target, out, executable, digests.checked ? digests.sha256[i] : nullptr)) {
            std::fprintf(stderr, "write %s faild\n", out);
            return -1;
        }
    }
    return 0;
}
