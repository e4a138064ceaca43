#include "image/diagnose.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "platform/fd.h"

namespace upfw::image {

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// The component name an entry's name field must hold: its own index's, or none. "" when it does.
std::string name_problem(const upfw_entry &e, int index) {
    const std::string name = entry_name(e);
    if (name.empty()) return "";
    bool text = name.size() < sizeof e.name;  // NUL-terminated inside its field
    for (char c : name) text = text && c > ' ' && c < 0x7F;
    if (!text) return format("not an update image: entry %d has no component name", index);
    if (name == img_name[index]) return "";
    for (int i = 0; i < kEntries; ++i)
        if (name == img_name[i])
            return format("not an update image: entry %d is named \"%s\", which belongs to entry %d", index,
                          name.c_str(), i);
    return format("not an update image: entry %d is named \"%s\", not a component name", index, name.c_str());
}

}  // namespace

Diagnosis diagnose_image(const std::string &path, bool crcs) {
    Diagnosis r;
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        r.problem = std::string("cannot open: ") + std::strerror(errno);
        return r;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        r.problem = std::string("cannot get its status: ") + std::strerror(errno);
        return r;
    }
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    if (length == 0) {
        r.problem = "not an update image: the file is empty";
        return r;
    }
    if (length < kHeaderSize) {
        r.problem = format("not an update image: %llu bytes, shorter than the %u-byte header",
                           static_cast<unsigned long long>(length), kHeaderSize);
        return r;
    }
    upfw_header h;
    ssize_t n = platform::read_full(fd.get(), &h, sizeof h);
    if (n != static_cast<ssize_t>(sizeof h)) {
        r.problem = n < 0 ? std::string("cannot read its header: ") + std::strerror(errno)
                          : std::string("cannot read its header: the file ended inside it");
        return r;
    }
    r.header_read = true;
    bool named = false;
    for (int i = 0; i < kEntries; ++i) {
        r.problem = name_problem(h.entries[i], i);
        if (!r.problem.empty()) return r;
        named = named || h.entries[i].name[0] != '\0';
    }
    if (!named) {
        r.problem = "not an update image: its header names no component";
        return r;
    }
    for (const upfw_entry &e : h.entries) {
        if (e.name[0] == '\0' || !has_data(e)) continue;
        const std::string name = entry_name(e);
        const uint64_t end = static_cast<uint64_t>(e.offset) + e.size;
        if (end > length) {
            r.problem = format("truncated: %s runs to byte %llu, the file has only %llu", name.c_str(),
                               static_cast<unsigned long long>(end), static_cast<unsigned long long>(length));
            return r;
        }
        uint32_t crc = 0;
        if (!crcs) continue;
        if (!crc_of_range(fd.get(), e.offset, e.size, &crc)) {
            r.problem = "cannot read " + name + ": " + std::strerror(errno);
            return r;
        }
        if (crc != e.crc32) {
            r.problem = format("%s is damaged: its data have CRC-32 0x%08X, the header says 0x%08X", name.c_str(), crc,
                               e.crc32);
            return r;
        }
    }
    return r;
}

}  // namespace upfw::image
