// The update: verify the image, write the inactive slot and the components whose version
// rules call for it, and only then point the boot arguments at the new slot.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "platform/fd.h"
#include "platform/root.h"
#include "util/words.h"
#include "upfw/image.h"
#include "upfw/ptb.h"
#include "upfw/update.h"

namespace upfw::update {

namespace {

enum Entry { kBld = 0, kKer = 1, kFs = 2, kParam = 4, kJpg = 5, kBld2 = 6 };
enum Part { kUboot = 0, kBaseparam = 2, kLogo = 3, kKer1 = 4, kKer2 = 5, kFs1 = 6, kFs2 = 7 };

constexpr const char *kDropCaches = "/proc/sys/vm/drop_caches";

unsigned variant(uint32_t v) { return (v >> 8) & 0xFF; }

// The digit after marker in text, switched between 1 and 2 in place; the running digit, or 0
// when the marker is missing or its digit is neither.
char flip_after(char *text, const char *marker, bool *found) {
    char *at = std::strstr(text, marker);
    *found = at != nullptr;
    if (!at) return 0;
    char *c = at + std::strlen(marker);
    if (*c != '1' && *c != '2') return 0;
    const char running = *c;
    *c = running == '1' ? '2' : '1';
    return running;
}

void fill(update_part &req, const mtd_part_info &part) {
    std::snprintf(req.dev, sizeof req.dev, "%s", part.dev);
    // The partition's own name, so that a partition without a record yet still gets one.
    std::snprintf(req.name, sizeof req.name, "%s", part.name);
    req.pad = 1;
}

void print_request(const update_part &r) {
    std::printf("Update %s partition:\n", r.name);
    std::printf("dev \t    = %s\n", r.dev);
    std::printf("offset   = 0x%08X\n", r.offset);
    std::printf("size\t    = 0x%08X (%d K)\n", r.size, static_cast<int>(r.size / 1024));
    std::printf("addr\t    = 0x%08X\n", r.addr);
    std::printf("flag\t    = 0x%08X\n", r.flag);
    std::printf("date\t    = %s\n", upfw::util::date_text(r.date).c_str());
    std::printf("version = %s\n", upfw::util::version_text(r.version).c_str());
}

int fail(const char *message, int code) {
    std::fflush(stdout);
    std::fputs(message, stderr);
    return code;
}

}  // namespace

}  // namespace upfw::update

using namespace upfw::update;

extern "C" {

UPFW_API int clean_memory_and_sync(void) {
    char command[128];
    std::snprintf(command, sizeof command, "%s", kDropCaches);
    upfw::platform::UniqueFd fd(::open(upfw::platform::rooted(command).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.valid() || upfw::platform::write_full(fd.get(), "3\n", 2) != 2) {
        std::fflush(stdout);
        std::fprintf(stderr, "sh: 1: cannot create %s: %s\n", kDropCaches, std::strerror(errno));
        std::fprintf(stderr, "clean memory error!\n");
        return -1;
    }
    fd.close();
    upfw::platform::sync_all();
    return 0;
}

UPFW_API int UPFW_run_update(const char *image_path) {
    upfw_header h;
    if (upfw::image::image_get_header_info(image_path, &h) != 0) return fail("image_get_header_info faild!\n", -1);

    std::printf("Get old ptb information!\n");
    env_mtd_table table;
    get_env_mtd_table(&table);

    std::printf("Verify image %s \n", image_path);
    if (UPFW_verify(image_path, &table) != 0) return fail("Verify update firmware faild!\n", -2);

    std::printf("Get mtd device information!\n");
    mtd_part_info map[UPFW_PART_COUNT];
    if (get_mtd_info(map) != 0) return fail("get_mtd_info faild!\n", -4);

    bool found = false;
    const char fs_running = flip_after(table.bootargs, "=fs", &found);
    if (!found) {
        std::fflush(stdout);
        std::fprintf(stderr, "cmdline: %s \n", table.bootargs);
        return fail("bootargs not find fs, maybe NFS!\n", -4);
    }
    if (!fs_running) return fail("unknow fs partition!\n", -4);
    std::printf("  current is fs%c \n", fs_running);

    const char ker_running = flip_after(table.bootcmd, "ker", &found);
    if (!found) return fail(" bootcmd is null!\n", -4);
    if (!ker_running) return fail("  unknow bootcmd!\n", -4);
    std::printf("  current is ker%c \n", ker_running);

    update_part req[UPFW_ENTRY_COUNT];
    std::memset(req, 0, sizeof req);
    bool mark[UPFW_ENTRY_COUNT] = {};
    const upfw_entry *e = h.entries;
    const env_partition *rec = table.records;
    using upfw::image::has_data;
    for (int i : {kBld, kBld2}) {
        if (has_data(e[i]) && variant(e[i].version) == variant(rec[kUboot].ver) && e[i].version > rec[kUboot].ver) {
            mark[i] = true;
            fill(req[i], map[kUboot]);
        }
    }
    const std::pair<int, int> single[] = {{kParam, kBaseparam}, {kJpg, kLogo}};
    for (const auto &s : single) {
        const upfw_entry &x = e[s.first];
        if (has_data(x) && variant(x.version) == variant(rec[s.second].ver) && x.version != rec[s.second].ver) {
            mark[s.first] = true;
            fill(req[s.first], map[s.second]);
        }
    }
    if (!has_data(e[kFs])) return fail("No filesys image!\n", -9);
    mark[kFs] = true;
    fill(req[kFs], map[fs_running == '1' ? kFs2 : kFs1]);
    if (!has_data(e[kKer])) return -8;
    mark[kKer] = true;
    // The kernel goes to the kernel partition that is not booting, whatever the root
    // filesystem slot says: slots out of step must never overwrite the running kernel.
    fill(req[kKer], map[ker_running == '1' ? kKer2 : kKer1]);

    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i) {
        if (!mark[i]) continue;
        update_part &r = req[i];
        r.offset = e[i].offset;
        r.size = e[i].size;
        r.flag = e[i].flag;
        r.addr = e[i].addr;
        r.version = e[i].version;
        r.date = e[i].date;
        print_request(r);
        clean_memory_and_sync();
        const bool spi = i == kBld || i == kBld2;
        const int result = spi ? spi_flash_write_file(image_path, &r) : nand_flash_write_file(image_path, &r);
        if (result != 0) {
            if (spi) return -5;
            if (i == kKer) return -8;
            if (i == kFs) return -9;
            return fail("nand_flash_write_file unkown parttition faild!\n", -1);
        }
        clean_memory_and_sync();
    }

    if (set_env_cmdline(&table) < 0) return fail("set_env_cmdline faild!\n", -4);
    std::printf("Update Success:\n");
    return 0;
}

}  // extern "C"
