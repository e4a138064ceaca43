// The image builder: header from the entry tables, then the component data back to back.
#include "env/crc32.h"
#include "image/builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "image/image.h"
#include "platform/beside.h"
#include "platform/fd.h"
#include "platform/mapping.h"
#include "platform/root.h"

namespace upfw::image {

namespace {

using platform::UniqueFd;

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kDate = 0x07E80111;  // 2024/1/17
constexpr const char *kRelease = "9.0.19-r2";
constexpr const char *kOutput = "/share/brint/src/boards/hi3798/firmware/update_IMG";
constexpr size_t kChunk = 64 * 1024;

using Note = std::function<void(const std::string &, const std::string &)>;

uint32_t pad_of(uint64_t size) { return static_cast<uint32_t>((kBlock - size % kBlock) % kBlock); }

// Hands the caller's note the file and what is wrong with it, before the failure's own message;
// errno is kept for that message.
void tell(const Note &note, const std::string &file, const std::string &what) {
    if (!note) return;
    const int err = errno;
    std::fflush(stdout);
    note(file, what);
    errno = err;
}

// A failure message in the error-description form, after the note: what failed and why.
void report(const Note &note, const std::string &file, const char *doing, const char *fixed) {
    tell(note, file, std::string(doing) + ": " + std::strerror(errno));
    std::perror(fixed);
}

// Appends the 0xFF filling to the input file itself. false after a message.
bool fill_in_place(const BuildEntry &e, const Note &note) {
    UniqueFd fd(::open(e.file.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.valid()) {
        std::perror(e.shown.c_str());
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        report(note, e.shown, "cannot get its status", "fstat pc_file_name");
        return false;
    }
    const uint32_t pad = pad_of(static_cast<uint64_t>(st.st_size));
    if (pad == 0) return true;
    std::vector<unsigned char> ff(pad, 0xFF);
    if (::lseek(fd.get(), 0, SEEK_END) < 0 || platform::write_full(fd.get(), ff.data(), pad) != static_cast<ssize_t>(pad)) {
        report(note, e.shown, "cannot fill it up", "write pc_file_name");
        return false;
    }
    return true;
}

// Size of the input and the CRC of its bytes followed by pad bytes of 0xFF.
bool measure(const BuildEntry &e, const Note &note, uint64_t *size, uint32_t *crc) {
    UniqueFd fd(::open(e.file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        std::perror(e.shown.c_str());
        return false;
    }
    std::vector<unsigned char> buf(kChunk);
    uint32_t c = 0;
    uint64_t total = 0;
    for (;;) {
        ssize_t n = platform::read_full(fd.get(), buf.data(), buf.size());
        if (n < 0) {
            report(note, e.shown, "cannot read", "read datafile failed");
            return false;
        }
        if (n == 0) break;
        c = upfw::env::crc32_update(c, buf.data(), static_cast<size_t>(n));
        total += static_cast<uint64_t>(n);
    }
    *size = total;
    *crc = c;
    return true;
}

// Appends the input's bytes (and its filling) to the image. false after a message.
bool append(int image, const std::string &shown_out, const BuildEntry &e, const Note &note, uint64_t expect,
            uint32_t pad) {
    UniqueFd fd(::open(e.file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        report(note, e.shown, "cannot open", "open datafile");
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        report(note, e.shown, "cannot get its status", "fstat datafile");
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) != expect) {
        std::fprintf(stderr, "%s changed while the image was built\n", e.shown.c_str());
        return false;
    }
    platform::ReadMapping map(fd.get(), static_cast<size_t>(st.st_size));
    if (!map.valid()) {
        report(note, e.shown, "cannot map", "mmap datafile");
        return false;
    }
    std::vector<unsigned char> ff(pad, 0xFF);
    errno = 0;
    if (platform::write_full(image, map.data(), map.size()) != static_cast<ssize_t>(map.size()) ||
        (pad && platform::write_full(image, ff.data(), pad) != static_cast<ssize_t>(pad))) {
        if (errno == 0) errno = ENOSPC;  // a write that took nothing without an error
        report(note, shown_out, "cannot write", "write output imager");
        return false;
    }
    return true;
}

// Removes the new file when the build fails before it is renamed into place.
struct RemoveOnFailure {
    std::string path;
    ~RemoveOnFailure() {
        if (!path.empty()) ::unlink(path.c_str());
    }
};

// Puts the complete new file tmp in the place of out and makes the rename durable. false after
// a message naming the output.
bool rename_into_place(const std::string &tmp, const std::string &out, const std::string &shown_out) {
    if (::rename(tmp.c_str(), out.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot put the new image in place: %s\n", shown_out.c_str(), std::strerror(errno));
        return false;
    }
    const size_t slash = out.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
    UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid()) ::fsync(d.get());  // the rename itself on disk; the data already are
    return true;
}

}  // namespace

int build_image(const BuildEntry (&entries)[UPFW_ENTRY_COUNT], const std::string &out, const std::string &shown_out,
                bool pad_in_place) {
    BuildOptions options;
    options.pad_in_place = pad_in_place;
    return build_image(entries, out, shown_out, options);
}

int build_image(const BuildEntry (&entries)[UPFW_ENTRY_COUNT], const std::string &out, const std::string &shown_out,
                const BuildOptions &options) {
    const Note &note = options.note;
    upfw_header h;
    std::memset(&h, 0, sizeof h);
    uint64_t running = kHeaderSize;
    uint64_t file_size[kEntries] = {};
    uint32_t file_pad[kEntries] = {};
    for (int i = 0; i < kEntries; ++i) {
        const BuildEntry &in = entries[i];
        upfw_entry &e = h.entries[i];
        if (!in.file.empty()) {
            if (options.pad_in_place && !fill_in_place(in, note)) return -1;
            uint64_t size;
            uint32_t crc;
            if (!measure(in, note, &size, &crc)) return -1;
            // An empty component would be an entry without data at an offset: refuse it here,
            // before any output exists, rather than fail half-way through writing the image.
            if (size == 0) {
                std::fprintf(stderr, "%s: empty component file\n", in.shown.c_str());
                return -1;
            }
            const uint32_t pad = pad_of(size);
            if (pad) {
                std::vector<unsigned char> ff(pad, 0xFF);
                crc = upfw::env::crc32_update(crc, ff.data(), pad);
            }
            if (running + size + pad > UINT32_MAX) {
                std::fprintf(stderr, "%s: image would exceed 4 GiB\n", in.shown.c_str());
                return -1;
            }
            file_size[i] = size;
            file_pad[i] = pad;
            e.offset = static_cast<uint32_t>(running);
            e.size = static_cast<uint32_t>(size + pad);
            running += size + pad;
            e.flag = in.flag;
            e.addr = in.addr;
            e.date = kDate;
            e.crc32 = crc;
        }
        e.version = in.version;
        std::snprintf(e.name, sizeof e.name, "%s", img_name[i]);
    }
    std::time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local)) std::strftime(h.build_time, sizeof h.build_time, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(h.release_ver, sizeof h.release_ver, "%s", kRelease);

    RemoveOnFailure tmp;
    UniqueFd img = options.replace ? platform::create_beside(out, &tmp.path)
                                   : UniqueFd(::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!img.valid()) {
        tmp.path.clear();  // nothing was created
        std::perror(("open output imager " + shown_out).c_str());
        return -1;
    }
    if (platform::write_full(img.get(), &h, sizeof h) != static_cast<ssize_t>(sizeof h)) {
        report(note, shown_out, "cannot write", "write output imager");
        return -1;
    }
    std::printf("Copy data to image!!!\n");
    for (int i = 0; i < kEntries; ++i) {
        const BuildEntry &in = entries[i];
        if (in.file.empty()) continue;
        if (!append(img.get(), shown_out, in, note, file_size[i], file_pad[i])) {
            std::fprintf(stderr, "   Copy %s: %s failed!\n", img_name[i], in.shown.c_str());
            std::fprintf(stderr, "image_copy_data faild.\n");
            return -1;
        }
        ::fsync(img.get());
    }
    if (options.finish && !options.finish(img.get())) return -1;
    if (options.replace && ::fsync(img.get()) != 0) {  // before the rename: never a name on lost data
        report(note, shown_out, "cannot write", "write output imager");
        return -1;
    }
    if (img.close() != 0) {
        tell(note, shown_out, std::string("cannot close: ") + std::strerror(errno));
        std::fprintf(stderr, "close output imager\n");
        return -1;
    }
    if (options.replace) {
        if (!rename_into_place(tmp.path, out, shown_out)) return -1;
        tmp.path.clear();
    }
    return 0;
}

bool rewrite_file(const std::string &path, const std::function<bool(int fd)> &change) {
    char *real = ::realpath(path.c_str(), nullptr);
    if (!real) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const std::string target = real;
    std::free(real);
    UniqueFd in(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        std::fprintf(stderr, "%s: cannot open: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    RemoveOnFailure tmp;
    UniqueFd out = platform::create_beside(target, &tmp.path);
    if (!out.valid()) {
        tmp.path.clear();
        std::fprintf(stderr, "%s: cannot make a new file beside it: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<unsigned char> buf(64 * 1024);
    for (int64_t at = 0;;) {
        const ssize_t n = platform::read_full(in.get(), buf.data(), buf.size(), at);
        if (n < 0 || (n > 0 && platform::write_full(out.get(), buf.data(), static_cast<size_t>(n), at) != n)) {
            std::fprintf(stderr, "%s: cannot copy: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
        if (n == 0) break;
        at += n;
    }
    if (!change(out.get())) return false;
    if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::fsync(out.get()) != 0 || out.close() != 0) {
        std::fprintf(stderr, "%s: cannot write: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (!rename_into_place(tmp.path, target, path)) return false;
    tmp.path.clear();
    return true;
}

}  // namespace upfw::image

using namespace upfw::image;

extern "C" {

const char *const img_file[UPFW_ENTRY_COUNT] = {
    "/share/brint/targets/hi3798/firmware/uboot_1024M",
    "/share/brint/targets/hi3798/firmware/uImage",
    "/share/brint/targets/hi3798/firmware/ubifs",
    "/share/brint/src/boards/hi3798/firmware/update",
    "/share/brint/targets/hi3798/firmware/baseparam.img",
    "/share/brint/targets/hi3798/firmware/logo.img",
    "/share/brint/targets/hi3798/firmware/uboot_2048M",
    "",
};
const uint32_t ver_hex[UPFW_ENTRY_COUNT] = {0x4801011A, 0x4801000A, 0x48090013, 0x00010001,
                                            0x48010001, 0x48010002, 0x4801021A, 0x00000100};
const uint32_t load_flag[UPFW_ENTRY_COUNT] = {0, 0, 1, 1, 1, 1, 0, 1};
const uint32_t load_addr[UPFW_ENTRY_COUNT] = {0, 0, 0, 0, 0, 0, 0, 0};

UPFW_API int UPFW_creat_img(void) {
    BuildEntry entries[UPFW_ENTRY_COUNT];
    for (int i = 0; i < kEntries; ++i) {
        if (img_file[i][0] != '\0') {
            entries[i].file = upfw::platform::rooted(img_file[i]);
            entries[i].shown = img_file[i];
        }
        entries[i].version = ver_hex[i];
        entries[i].flag = load_flag[i];
        entries[i].addr = load_addr[i];
    }
    return build_image(entries, upfw::platform::rooted(kOutput), kOutput, true);
}

}  // extern "C"
