// Writes a newc cpio archive (an initramfs) of a staging directory, adding /dev/console.
// Usage: mkcpio STAGING OUTPUT
#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::ofstream out;
std::string base;
unsigned ino = 1;

void pad4() {
    while (out.tellp() % 4) out.put('\0');
}

void entry(const std::string &name, unsigned mode, unsigned rdev_major, unsigned rdev_minor, const std::string &data) {
    char head[111];
    std::snprintf(head, sizeof head, "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", ino++, mode, 0u, 0u,
                  1u, 0u, static_cast<unsigned>(data.size()), 0u, 0u, rdev_major, rdev_minor,
                  static_cast<unsigned>(name.size() + 1), 0u);
    out.write(head, 110);
    out.write(name.c_str(), static_cast<std::streamsize>(name.size() + 1));
    pad4();
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    pad4();
}

int visit(const char *path, const struct stat *st, int type, struct FTW *) {
    std::string name = std::string(path).substr(base.size());
    if (name.empty()) return 0;
    name = name.substr(1);
    std::string data;
    if (type == FTW_F) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        data = ss.str();
    } else if (type == FTW_SL) {
        char target[4096];
        ssize_t n = ::readlink(path, target, sizeof target);
        data.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    entry(name, st->st_mode, 0, 0, data);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mkcpio STAGING OUTPUT\n");
        return 2;
    }
    base = argv[1];
    out.open(argv[2], std::ios::binary | std::ios::trunc);
    entry("dev", S_IFDIR | 0755, 0, 0, "");
    entry("dev/console", S_IFCHR | 0600, 5, 1, "");
    if (::nftw(argv[1], visit, 16, FTW_PHYS) != 0) return 1;
    entry("TRAILER!!!", 0, 0, 0, "");
    return out.good() ? 0 : 1;
}
