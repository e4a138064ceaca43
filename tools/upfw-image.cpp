// upfw-image: makes, lists and verifies update images on the build host.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/builder.h"
#include "upfw/image.h"
#include "util/version.h"

namespace {

constexpr const char *kUsage =
    "Usage:\n"
    "  upfw-image                      build update_IMG from the fixed build-tree paths\n"
    "                                  (under UPFW_ROOT when it is set)\n"
    "  upfw-image create OUT [NAME=FILE[@VERSION]]...\n"
    "                                  build OUT; NAME is bld, ker, fs, cmd, param, jpg, bld2\n"
    "                                  or tool; VERSION is a.b.c.d or a 0x word; entries not\n"
    "                                  given, or given without FILE, keep their built-in\n"
    "                                  version and carry no data; input files are not changed\n"
    "  upfw-image list IMG             list the header of IMG\n"
    "  upfw-image verify IMG           check the CRC-32 of every component of IMG\n";

int create(int argc, char **argv) {
    if (argc < 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    upfw::image::BuildEntry entries[UPFW_ENTRY_COUNT];
    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i) {
        entries[i].version = ver_hex[i];
        entries[i].flag = load_flag[i];
        entries[i].addr = load_addr[i];
    }
    for (int a = 3; a < argc; ++a) {
        std::string arg = argv[a];
        size_t eq = arg.find('=');
        int index = -1;
        for (int i = 0; eq != std::string::npos && i < UPFW_ENTRY_COUNT; ++i)
            if (arg.compare(0, eq, img_name[i]) == 0 && std::strlen(img_name[i]) == eq) index = i;
        if (index < 0) {
            std::fprintf(stderr, "upfw-image: %s: expected NAME=FILE[@VERSION] with a component name\n", argv[a]);
            return 2;
        }
        std::string file = arg.substr(eq + 1);
        size_t at = file.rfind('@');
        if (at != std::string::npos) {
            if (!upfw::util::parse_version(file.substr(at + 1), &entries[index].version)) {
                std::fprintf(stderr, "upfw-image: %s: bad version\n", argv[a]);
                return 2;
            }
            file.erase(at);
        }
        entries[index].file = entries[index].shown = file;
    }
    if (upfw::image::build_image(entries, argv[2], argv[2], false) != 0) return 1;
    std::printf("%s: image written\n", argv[2]);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 1) return UPFW_creat_img() == 0 ? 0 : 1;
    const std::string cmd = argv[1];
    if (cmd == "create") return create(argc, argv);
    if (cmd == "list" && argc == 3) return UPFW_list_intfo(argv[2]) == 0 ? 0 : 1;
    if (cmd == "verify" && argc == 3) {
        if (UPFW_verify(argv[2], nullptr) != 0) return 1;
        std::printf("%s: every component matches its CRC-32\n", argv[2]);
        return 0;
    }
    const bool help = cmd == "--help" || cmd == "-h";
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
}
