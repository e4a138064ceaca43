// --show and --version: what is installed, the MTD table and the whole environment.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/root.h"
#include "ptb/ptb.h"
#include "util/words.h"
#include "upfw/env.h"
#include "upfw/ptb.h"

namespace upfw::ptb {

namespace {

enum class Listing { kInfo, kVersion };

void list_records(Listing kind) {
    if (kind == Listing::kInfo) std::printf("Varnholt update version: %s \n", "1.0.1");
    else std::printf("Varnholt update version: %s\n", "0.1.0.1");
    env_mtd_table table;
    get_env_mtd_table(&table);
    for (const env_partition &rec : table.records) {
        if ((kind == Listing::kInfo ? rec.size : rec.ver) == 0) continue;
        if (std::strstr(table.bootargs, rec.name) || std::strstr(table.bootcmd, rec.name))
            std::printf("%s:(current)\n", rec.name);
        else if (std::strstr(table.bootargs, "nfs") && std::strstr(rec.name, "fs"))
            std::printf("%s:(nfs)\n", rec.name);
        else
            std::printf("%s:\n", rec.name);
        std::printf("\tversion = %s\n", upfw::util::version_text(rec.ver).c_str());
        if (kind == Listing::kInfo)
            std::printf("\tsize    = 0x%08X (%d K)\n", rec.size, static_cast<int>(rec.size / 1024));
        else
            std::printf("\tsize    = %d K\n", static_cast<int>(rec.size / 1024));
        std::printf("\tdate    = %s\n", upfw::util::date_text(rec.date).c_str());
    }
}

// Copies the kernel's MTD table to stdout, as `cat /proc/mtd` would.
void print_proc_mtd() {
    std::FILE *f = std::fopen(upfw::platform::rooted("/proc/mtd").c_str(), "re");
    if (!f) {
        std::fflush(stdout);
        std::fprintf(stderr, "cat: /proc/mtd: %s\n", std::strerror(errno));
        return;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) std::fwrite(buf, 1, n, stdout);
    std::fclose(f);
}

}  // namespace

void display_version() { list_records(Listing::kVersion); }

}  // namespace upfw::ptb

extern "C" UPFW_API int display_info(void) {
    using namespace upfw::ptb;
    list_records(Listing::kInfo);
    std::printf("\nMore details:\n\n");
    std::printf("Mtd information: \n");
    print_proc_mtd();
    int r = hs_printenv();
    if (r < 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "hs_printenv faild!\n");
        return r;
    }
    return 0;
}
