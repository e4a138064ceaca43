// The update: verify the image, write the inactive slot and the components whose version
// rules call for it, and only then point the boot arguments at the new slot.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "image/authenticity.h"
#include "image/image.h"
#include "platform/fd.h"
#include "platform/root.h"
#include "ptb/ptb.h"
#include "update/writer.h"
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

// The slot digit after the first marker in text: nullptr when the marker is missing.
char *slot_digit(char *text, const char *marker) {
    char *at = std::strstr(text, marker);
    return at ? at + std::strlen(marker) : nullptr;
}

bool is_slot(char c) { return c == '1' || c == '2'; }
char other(char slot) { return slot == '1' ? '2' : '1'; }

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
    // The header verified is the one the update goes on with, and the signature's digests (on a
    // device that trusts keys) what every written component must match.
    upfw::image::SignedDigests digests;
    if (upfw::image::verify_image(image_path, &h, &digests) != 0) return fail("Verify update firmware faild!\n", -2);

    std::printf("Get mtd device information!\n");
    mtd_part_info map[UPFW_PART_COUNT];
    if (get_mtd_info(map) != 0) return fail("get_mtd_info faild!\n", -4);

    char *fs_digit = slot_digit(table.bootargs, "=fs");
    if (!fs_digit) {
        std::fflush(stdout);
        std::fprintf(stderr, "cmdline: %s \n", table.bootargs);
        return fail("bootargs not find fs, maybe NFS!\n", -4);
    }
    if (!is_slot(*fs_digit)) return fail("unknow fs partition!\n", -4);
    // The running system is the one the booted kernel was given. The stored bootargs may name
    // the other slot already: an update or a switch since the boot, not yet rebooted into.
    const char booted = upfw::ptb::booted_slot();
    const char running_fs = booted ? booted : *fs_digit;
    const bool pending = running_fs != *fs_digit;
    std::printf("  current is fs%c \n", running_fs);

    char *ker_digit = slot_digit(table.bootcmd, "ker");
    if (!ker_digit) return fail(" bootcmd is null!\n", -4);
    if (!is_slot(*ker_digit)) return fail("  unknow bootcmd!\n", -4);
    // A pending switch turned both digits over, so the kernel that runs is the one in step with
    // the booted root filesystem. A bootcmd not turned over with the bootargs (bootargs edited
    // by hand, or a switch made from slots out of step) leaves that kernel unknown, and no
    // kernel partition can be written safely.
    if (pending && *ker_digit != *fs_digit) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "Error: bootargs name fs%c and bootcmd ker%c while fs%c runs: the kernel that runs is unknown\n",
                     *fs_digit, *ker_digit, running_fs);
        return fail("  unknow bootcmd!\n", -4);
    }
    const char running_ker = pending ? running_fs : *ker_digit;
    std::printf("  current is ker%c \n", running_ker);

    // The boot variables as they must stand while the other slot is written (naming the system
    // that runs), and as they are stored at the end (naming the slot written). Each partition
    // goes to the slot that is not running; slots out of step keep their own kernel.
    env_mtd_table running = table;
    running.bootargs[fs_digit - table.bootargs] = running_fs;
    running.bootcmd[ker_digit - table.bootcmd] = running_ker;
    *fs_digit = other(running_fs);
    *ker_digit = other(running_ker);
    const int target_fs = *fs_digit == '1' ? kFs1 : kFs2;
    const int target_ker = *ker_digit == '1' ? kKer1 : kKer2;

    update_part req[UPFW_ENTRY_COUNT];
    std::memset(req, 0, sizeof req);
    int part_of[UPFW_ENTRY_COUNT] = {};
    bool mark[UPFW_ENTRY_COUNT] = {};
    const upfw_entry *e = h.entries;
    using upfw::image::has_data;
    auto choose = [&](int entry, int part) {
        mark[entry] = true;
        part_of[entry] = part;
        fill(req[entry], map[part]);
    };
    // A single-copy partition whose last write never finished is written again whatever the
    // versions say; the variant byte it held before still decides which boot loader suits it.
    bool incomplete = false;
    const uint32_t uboot = upfw::ptb::installed_version(table, kUboot, &incomplete);
    for (int i : {kBld, kBld2}) {
        if (has_data(e[i]) && variant(e[i].version) == variant(uboot) && (incomplete || e[i].version > uboot))
            choose(i, kUboot);
    }
    const std::pair<int, int> single[] = {{kParam, kBaseparam}, {kJpg, kLogo}};
    for (const auto &s : single) {
        const upfw_entry &x = e[s.first];
        const uint32_t installed = upfw::ptb::installed_version(table, s.second, &incomplete);
        if (has_data(x) && variant(x.version) == variant(installed) && (incomplete || x.version != installed))
            choose(s.first, s.second);
    }
    if (!has_data(e[kFs])) return fail("No filesys image!\n", -9);
    choose(kFs, target_fs);
    if (!has_data(e[kKer])) return -8;
    choose(kKer, target_ker);

    // Everything that could keep the switch from being stored is found out before anything
    // is erased: a boot variable too long for its copy.
    if (!upfw::ptb::boot_copies_storable(table)) return fail("set_env_cmdline faild!\n", -4);
    // No partition written may be a device of the running system (a device map naming one
    // node twice).
    const int keep[] = {running_fs == '1' ? kFs1 : kFs2, running_ker == '1' ? kKer1 : kKer2};
    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i)
        for (int k : keep)
            if (mark[i] && std::strcmp(map[part_of[i]].dev, map[k].dev) == 0) {
                std::fflush(stdout);
                std::fprintf(stderr, "Error: %s is the running system's %s, not written\n", map[k].dev, g_part_str[k]);
                return fail("get_mtd_info faild!\n", -4);
            }
    // One save before the first erase: every partition about to be written is recorded as
    // incomplete, and a pending switch to the slot about to be erased is taken back, so that
    // a failure or a power cut from here on leaves the running system booting and no record
    // claiming data that are not on flash.
    std::vector<std::pair<int, uint32_t>> marks;
    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i) {
        if (!mark[i]) continue;
        const int part = part_of[i];
        bool seen = false;
        for (const auto &m : marks) seen = seen || m.first == part;
        if (!seen) marks.emplace_back(part, upfw::ptb::installed_version(table, part));
    }
    if (upfw::ptb::mark_incomplete(marks, pending ? &running : nullptr) != 0)
        return fail("set_env_partition faild!\n", -4);

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
        // The writers check what they wrote against this header's CRC-32, the one verified, and
        // the signed digest: a file changed since is never recorded or booted.
        const Expected want = expected_of(e[i].crc32, digests, i);
        const int result = spi ? spi_write(image_path, &r, &want) : nand_write(image_path, &r, &want);
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
