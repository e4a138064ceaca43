// The init of the kernel tier's guest: loads the kernel's MTD modules and its NAND simulator,
// lays out a board root whose device nodes are the kernel's own, checks what the tool relies
// on from the kernel, runs a whole update, and checks the CRC-32 on this CPU. It reports
// through QEMU's isa-debug-exit port on x86-64; on ARM the host reads the closing line from
// the console and the guest powers the machine off (or halts it, where the board cannot). Given
// tier=crc on the kernel command line (the kernel hands it to init as an environment variable)
// it checks the CRC-32 alone; given tier=nor, on an i.MX6 board, the SPI NOR flash.
#include <fcntl.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <sys/io.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "env/crc32.h"
#include "image/builder.h"
#include "platform/mtd.h"
#include "sim/device.h"
#include "upfw/crc32.h"
#include "upfw/env.h"
#include "upfw/image.h"
#include "upfw/ptb.h"
#include "upfw/update.h"

extern char **environ;

namespace {

using upfw::platform::MtdDevice;
using upfw::platform::MtdInfo;

int failures = 0;

void check(bool ok, const std::string &what) {
    std::printf("%s - %s\n", ok ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

[[noreturn]] void report() {
    std::printf("kernel tier: %d failure(s)\n", failures);
    std::fflush(stdout);
    ::sync();
#if defined(__x86_64__)
    if (::ioperm(0xf4, 4, 1) == 0) outb(static_cast<unsigned char>(failures ? 1 : 0), 0xf4);
#else
    ::reboot(RB_POWER_OFF);
#endif
    for (;;) ::pause();
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::trunc) << text;
}

bool load_module(const std::string &name, const char *params) {
    int fd = ::open(("/modules/" + name + ".ko").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    long r = ::syscall(SYS_finit_module, fd, params, 0);
    ::close(fd);
    return r == 0;
}

#if defined(__arm__)
// The device's own ABI, on a kernel that has the MTD core, the character devices and raw NAND
// built in, nandsim as its only module and no RAM-backed MTD driver. nandsim: 4 GiB SLC, 2 KiB
// pages, 64-byte OOB and 64 KiB blocks, so that its last partition runs past 2 GiB and a 32-bit
// process meets offsets that need a 64-bit off_t and loff_t. Partitions in erase blocks; block
// 2 (envbad's first), block 140 (fs2's first) and block 37080 (kFar into mtd11) are bad.
const std::pair<const char *, const char *> kModules[] = {
    {"nandsim", "id_bytes=0x20,0xd7,0x00,0x05 parts=2,2,4,4,32,32,64,64,4,4,4 badblocks=2,140,37080"},
};
// The chip's last partition stands in for the SPI flash: the writer's calls are the same, but
// it is NAND, so the component is written in whole pages.
constexpr int kSpiNode = 11;
constexpr size_t kSpiSize = 17 * 2048;
constexpr uint64_t kFar = 0x90000000;
// The SPI NOR flash of the i.MX6 SABRE Lite board (SST25VF016B on the first eCSPI bus, its chip
// select a GPIO), loaded after nandsim so that it is mtd12.
const std::pair<const char *, const char *> kNorModules[] = {{"gpio-mxc", ""}, {"spi-imx", ""}, {"spi-nor", ""}};
#else
// nandsim: 256 MiB SLC, 2 KiB pages, 64-byte OOB and 64 KiB blocks (4th ID byte 0x05).
// Partitions in erase blocks; block 2 (envbad's first) and block 140 (fs2's first) are bad.
// mtdram is the NOR-like device of the SPI flash.
const std::pair<const char *, const char *> kModules[] = {
    {"bch", ""}, {"mtd", ""}, {"nandcore", ""}, {"nand", ""},
    {"nandsim", "id_bytes=0x20,0xaa,0x00,0x05 parts=2,2,4,4,32,32,64,64,4,4,4 badblocks=2,140"},
    {"mtdram", "total_size=1024 erase_size=64"},
};
constexpr int kSpiNode = 12;
constexpr size_t kSpiSize = 10241;
constexpr uint64_t kFar = 0;
#endif
// Kernel partition of each board partition: nandsim gives mtd0-mtd11. The SPI flash's is set
// by the boot.
int kernel_nodes[11] = {kSpiNode, 0, 2, 3, 4, 5, 6, 7, 8, 9, 10};
size_t spi_size = kSpiSize;
constexpr int kEnvBadNode = 1;
constexpr int kNorNode = 12;
constexpr const char *kBoard = "/board";

std::string node(int n) { return "/dev/mtd" + std::to_string(n); }

void lay_out_board() {
    for (const char *d : {"/board", "/board/dev", "/board/dev/shm", "/board/proc", "/board/proc/sys",
                          "/board/proc/sys/vm", "/board/mnt", "/board/mnt/nand", "/board/mnt/nand2", "/board/sbin",
                          "/board/usr", "/board/usr/sbin", "/board/usr/bin", "/board/sim"})
        ::mkdir(d, 0755);
    std::string proc = "dev:    size   erasesize  name\n";
    for (int i = 0; i < 11; ++i) {
        ::symlink(node(kernel_nodes[i]).c_str(), (std::string(kBoard) + "/dev/mtd" + std::to_string(i)).c_str());
        MtdDevice d;
        MtdInfo info;
        if (d.open(node(kernel_nodes[i]), O_RDONLY) && d.info(&info) == 0) {
            char line[96];
            std::snprintf(line, sizeof line, "mtd%d: %08x %08x \"%s\"\n", i, info.size, info.erasesize, g_part_str[i]);
            proc += line;
        }
    }
    write_text("/board/proc/mtd", proc);
    // The running system was booted from slot 1.
    write_text("/board/proc/cmdline", "console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs\n");
    write_text("/board/proc/sys/vm/drop_caches", "");
    write_text("/board/dev/mem", "phy4.reg2=0x004d\n");
    write_text("/board/dev/hi_i2c", "bus2.dev0x40.reg0x43=0x00\n");
    write_text("/board/sim/model", "VHN7216 board\n");
    ::symlink("/bin/upfw-sim", "/board/usr/sbin/flash_eraseall");
    ::symlink("/bin/upfw-sim", "/board/sbin/reboot");
    ::symlink("/bin/upfw-sim", "/board/usr/bin/vhchip_update");
}

std::string read_dev(int kernel_node, uint64_t off, size_t n) {
    MtdDevice d;
    std::string s(n, '\0');
    if (!d.open(node(kernel_node), O_RDONLY) || d.pread(&s[0], n, off) != static_cast<ssize_t>(n)) return "";
    return s;
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7919 + seed) >> 5);
    return s;
}

// Points the board's /dev/mtdN at the kernel's /dev/mtdK.
void point_board(int board, int kernel) {
    const std::string link = std::string(kBoard) + "/dev/mtd" + std::to_string(board);
    ::unlink(link.c_str());
    ::symlink(node(kernel).c_str(), link.c_str());
}

// A seek outside the device: the kernel refuses it, and the emulated flash must too.
void check_seek_past_end(MtdDevice &d, uint64_t size) {
    errno = 0;
    const bool refused = d.seek(static_cast<int64_t>(size) + 1, SEEK_SET) == -1 && errno == EINVAL;
    errno = 0;
    const bool refused_neg = d.seek(-1, SEEK_SET) == -1 && errno == EINVAL;
    check(refused && refused_neg && d.seek(static_cast<int64_t>(size), SEEK_SET) == static_cast<int64_t>(size),
          "lseek past the end or before the start: EINVAL; to the end: taken");
}

void check_ioctls() {
    MtdDevice d;
    check(d.open(node(2), O_RDWR), "open the kernel's /dev/mtd2");
    check(!d.emulated(), "a character device is driven with the real ioctls");
    MtdInfo info;
    check(d.info(&info) == 0, "MEMGETINFO");
    check(info.type == 4 && info.flags == 0x400, "NAND type 4, flags 0x400 (" + std::to_string(info.type) + ", " +
                                                     std::to_string(info.flags) + ")");
    check(info.erasesize == 0x10000 && info.writesize == 2048 && info.oobsize == 64 && info.size == 0x40000,
          "geometry 64 KiB blocks, 2 KiB pages, 64-byte OOB, 256 KiB");
    check(d.erase(0, 0x10000) == 0, "MEMERASE of a block");
    errno = 0;
    check(d.erase(100, 0x10000) == -1 && errno == EINVAL, "MEMERASE off a block boundary: EINVAL");
    std::string page(2048, '\x0f'), again(2048, '\x3c');
    d.seek(0, SEEK_SET);
    errno = 0;
    check(d.write(page.data(), 100) == -1 && errno == EINVAL, "a write shorter than a page: EINVAL");
    check(d.pwrite(page.data(), 2048, 0) == 2048 && d.pwrite(again.data(), 2048, 0) == 2048, "a page programmed twice");
    char got[4] = {};
    check(d.pread(got, 4, 0) == 4 && got[0] == '\x0c', "programming again ANDs the bits");
    errno = 0;
    check(d.lock(0, 0x10000) == -1 && errno == 524, "MEMLOCK on NAND: errno 524");
    errno = 0;
    check(d.unlock(0, 0x10000) == -1 && errno == 524, "MEMUNLOCK on NAND: errno 524");
    check(d.block_is_bad(0) == 0, "MEMGETBADBLOCK of a good block: 0");
    check(d.mark_bad(0x30000) == 0 && d.block_is_bad(0x30000) == 1, "MEMSETBADBLOCK, then MEMGETBADBLOCK: 1");
    errno = 0;
    check(d.erase(0x30000, 0x10000) == -1 && errno == EIO, "MEMERASE of a bad block: EIO");
    check(d.pwrite(page.data(), 2048, 0x30000) == 2048, "a write into a bad block is accepted by the kernel");
    errno = 0;
    check(d.block_is_bad(0x40000) == -1 && errno == EINVAL, "MEMGETBADBLOCK past the end: EINVAL");
    check_seek_past_end(d, 0x40000);
    MtdDevice bad;
    check(bad.open(node(kEnvBadNode), O_RDONLY) && bad.block_is_bad(0) == 1, "the simulator's badblocks= mark");
    if (kSpiNode == 12) {
        MtdDevice ram;
        MtdInfo ri;
        const bool ram_ok = ram.open(node(12), O_RDWR) && ram.info(&ri) == 0;
        check(ram_ok && ri.size == 0x100000 && ri.erasesize == 0x10000,
              "mtdram: 1 MiB, 64 KiB blocks (MTD type " + std::to_string(ri.type) + ")");
    }
}

// Offsets past 2 GiB inside one partition: a 32-bit off_t or loff_t cut anywhere on the way
// would turn them negative or fold them onto the partition's first 2 GiB.
void check_far_offsets() {
    MtdDevice d;
    MtdInfo info;
    check(d.open(node(11), O_RDWR) && d.info(&info) == 0 && info.size == 0xff280000u,
          "MEMGETINFO of a partition past 2 GiB: size 0xff280000");
    check(d.block_is_bad(kFar) == 1 && d.block_is_bad(kFar + 0x10000) == 0,
          "MEMGETBADBLOCK past 2 GiB finds the simulator's mark and the good block after it");
    check(d.erase(kFar + 0x10000, 0x20000) == 0, "MEMERASE past 2 GiB");
    const std::string page = pattern(2048, 9);
    check(d.pwrite(page.data(), page.size(), kFar + 0x10000) == 2048, "pwrite past 2 GiB");
    std::string got(2048, '\0');
    check(d.pread(&got[0], got.size(), kFar + 0x10000) == 2048 && got == page, "pread past 2 GiB reads it back");
    check(d.pread(&got[0], got.size(), (kFar + 0x10000) & 0x7fffffff) == 2048 && got == std::string(2048, '\xff'),
          "the offset folded to 31 bits holds nothing of it");
    const std::string next = pattern(2048, 10);
    check(d.seek(static_cast<int64_t>(kFar + 0x20000), SEEK_SET) == static_cast<int64_t>(kFar + 0x20000) &&
              d.write(next.data(), next.size()) == 2048 &&
              d.seek(0, SEEK_CUR) == static_cast<int64_t>(kFar + 0x20800),
          "lseek and write past 2 GiB advance the position");
    check(d.seek(static_cast<int64_t>(kFar + 0x20000), SEEK_SET) >= 0 && d.read(&got[0], got.size()) == 2048 &&
              got == next,
          "lseek and read past 2 GiB");
    check(d.mark_bad(kFar + 0x30000) == 0 && d.block_is_bad(kFar + 0x30000) == 1,
          "MEMSETBADBLOCK past 2 GiB, then MEMGETBADBLOCK: 1");
    errno = 0;
    check(d.erase(kFar + 0x30000, 0x10000) == -1 && errno == EIO, "MEMERASE of a bad block past 2 GiB: EIO");
}

// The standard CRC-32 one bit at a time, as the reference of the library's.
uint32_t bitwise_crc(uint32_t crc, const unsigned char *p, size_t n) {
    crc = ~crc;
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The library's CRC-32 on this CPU, whichever way it computes it here: every length up to a
// few words from every start address within 8 bytes, longer runs, and continued CRCs, against
// the bitwise reference.
void check_crc() {
#if defined(__arm__)
    // AT_HWCAP2's CRC32 bit (HWCAP2_CRC32) on 32-bit ARM.
    constexpr unsigned long kHwcap2Crc32 = 1ul << 4;
    const bool has = (::getauxval(AT_HWCAP2) & kHwcap2Crc32) != 0;
    const char *want = std::getenv("crc32hw");
    char text[96];
    std::snprintf(text, sizeof text, "AT_HWCAP2 0x%lx: CRC32 instructions %s", ::getauxval(AT_HWCAP2),
                  has ? "present" : "absent");
    check(!want || (want[0] == '1') == has, text + std::string(want ? "" : " (nothing expected)"));
#endif
    std::vector<unsigned char> buf((1u << 16) + 64);
    uint32_t x = 0x2545F491u;
    for (auto &b : buf) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 72; ++n) lengths.push_back(n);
    for (size_t n : {255u, 256u, 1000u, 4093u, 4096u, 65536u}) lengths.push_back(n);
    int cases = 0, wrong = 0;
    for (size_t off = 0; off < 8; ++off)
        for (size_t n : lengths) {
            const unsigned char *p = buf.data() + off;
            const uint32_t seed = static_cast<uint32_t>(n * 2654435761u);
            const uint32_t want_crc = bitwise_crc(0, p, n), want_cont = bitwise_crc(seed, p, n);
            ++cases;
            if (crc32(0, p, static_cast<uint32_t>(n)) != want_crc || crc32(seed, p, static_cast<uint32_t>(n)) != want_cont ||
                crc32_no_comp(~seed, p, static_cast<uint32_t>(n)) != ~want_cont ||
                upfw::env::crc32_update(seed, p, n) != want_cont)
                ++wrong;
        }
    const auto *digits = reinterpret_cast<const unsigned char *>("123456789");
    check(crc32(0, digits, 9) == 0xCBF43926u, "crc32 of \"123456789\" is 0xCBF43926");
    check(wrong == 0, "crc32, crc32_no_comp and the writers' CRC-32 equal a bitwise CRC-32 in " +
                          std::to_string(cases) + " cases (" + std::to_string(wrong) + " wrong)");
}

void write_env(int kernel_node, const std::vector<std::pair<std::string, std::string>> &vars) {
    MtdDevice d;
    d.open(node(kernel_node), O_RDWR);
    d.erase(0, 0x20000);
    auto c0 = upfw::sim::make_copy(vars, 2), c1 = upfw::sim::make_copy(vars, 1);
    d.pwrite(c0.data(), c0.size(), 0);
    d.pwrite(c1.data(), c1.size(), 0x10000);
}

void check_environment() {
    upfw::sim::Options opt;
    write_env(kernel_nodes[1], upfw::sim::default_environment(opt));
    check(env_init() == 0, "env_init on NAND");
    check(hs_getenv("bootcmd") && std::strstr(hs_getenv("bootcmd"), "ker1"), "the environment is read");
    check(hs_setenv("sn", "KERNEL-TIER") == 0, "a save on NAND");
    check(env_init() == 0 && hs_getenv("sn") && std::strcmp(hs_getenv("sn"), "KERNEL-TIER") == 0,
          "the save reloads");
    // The same environment on a partition whose first block the simulator marked bad.
    write_env(kEnvBadNode, upfw::sim::default_environment(opt));
    point_board(1, kEnvBadNode);
    check(env_init() == -1, "a bad block under copy 0 fails env_init");
    point_board(1, kernel_nodes[1]);
    check(env_init() == 0, "env_init again on the good partition");
}

// What the environment store and the SPI flash writer rely on from a NOR device, and the
// environment saved and reloaded on it.
void check_nor() {
    MtdDevice d;
    MtdInfo info;
    check(d.open(node(kNorNode), O_RDWR) && d.info(&info) == 0, "MEMGETINFO of the SPI NOR flash");
    char text[128];
    std::snprintf(text, sizeof text, "NOR type 3, flags 0xc00, byte writes, 2 MiB in 4 KiB sectors (%u, %#x, %u, %#x, %#x)",
                  info.type, info.flags, info.writesize, info.size, info.erasesize);
    check(info.type == 3 && info.flags == 0xc00 && info.writesize == 1 && info.size == 0x200000 &&
              info.erasesize == 0x1000,
          text);
    // The store unlocks before it erases and locks after it writes, and examines neither answer.
    errno = 0;
    const int locked = d.lock(0, 0x10000);
    std::printf("note - MEMLOCK of the first 64 KiB answers %s\n",
                locked == 0 ? "0" : ("errno " + std::to_string(errno)).c_str());
    check(d.unlock(0, 0x10000) == 0, "MEMUNLOCK");
    check(d.erase(0, 0x10000) == 0, "MEMERASE of 64 KiB, sixteen sectors");
    errno = 0;
    check(d.erase(0x10000, 0x800) == -1 && errno == EINVAL, "MEMERASE of part of a sector: EINVAL");
    check(d.block_is_bad(0) == 0, "MEMGETBADBLOCK on NOR: 0");
    errno = 0;
    check(d.mark_bad(0) == -1 && errno == EOPNOTSUPP, "MEMSETBADBLOCK on NOR: EOPNOTSUPP");
    char got = 0;
    check(d.pwrite("\x0f", 1, 4097) == 1 && d.pwrite("\x3c", 1, 4097) == 1 && d.pread(&got, 1, 4097) == 1 && got == 0x0c,
          "a single byte programmed twice ANDs the bits");
    check_seek_past_end(d, info.size);
    d.close();

    upfw::sim::Options opt;
    write_env(kNorNode, upfw::sim::default_environment(opt));
    point_board(1, kNorNode);
    check(env_init() == 0 && hs_getenv("bootcmd") && std::strstr(hs_getenv("bootcmd"), "ker1"), "env_init on NOR");
    check(hs_setenv("sn", "KERNEL-TIER-NOR") == 0, "a save on NOR");
    check(env_init() == 0 && hs_getenv("sn") && std::strcmp(hs_getenv("sn"), "KERNEL-TIER-NOR") == 0,
          "the save reloads from NOR");
    point_board(1, kernel_nodes[1]);
}

void check_spi_writer() {
    const std::string data = pattern(spi_size, 3);
    // The image's header describes the component: the writer checks what it wrote against it.
    upfw_header h;
    std::memset(&h, 0, sizeof h);
    h.entries[0].offset = 4096;
    h.entries[0].size = static_cast<uint32_t>(data.size());
    h.entries[0].crc32 = crc32(0, reinterpret_cast<const unsigned char *>(data.data()), h.entries[0].size);
    write_text("/board/spi.img",
               std::string(reinterpret_cast<const char *>(&h), sizeof h) + std::string(2048, 'h') + data);
    update_part req;
    std::memset(&req, 0, sizeof req);
    std::strcpy(req.dev, "/dev/mtd0");
    std::strcpy(req.name, "uboot");
    req.offset = 4096;
    req.size = static_cast<uint32_t>(data.size());
    req.version = 0x4801011A;
    req.date = 0x07E80111;
    check(spi_flash_write_file("/board/spi.img", &req) == 0, "the SPI flash writer on the kernel's " + node(kernel_nodes[0]));
    check(read_dev(kernel_nodes[0], 0, data.size()) == data, "the written range reads back");
    check(read_dev(kernel_nodes[0], data.size(), 16) == std::string(16, '\xff'), "the rest of the block is erased");
    env_mtd_table t;
    get_env_mtd_table(&t);
    check(t.records[0].size == data.size() && t.records[0].ver == 0x4801011A, "the uboot record is stored");
}

void check_update() {
    const std::string ker = pattern(300000, 5), fs = pattern(900000, 6);
    write_text("/board/ker", ker);
    write_text("/board/fs", fs);
    upfw::image::BuildEntry entries[UPFW_ENTRY_COUNT];
    for (int i = 0; i < UPFW_ENTRY_COUNT; ++i) entries[i].version = ver_hex[i];
    entries[1].file = entries[1].shown = "/board/ker";
    entries[2].file = entries[2].shown = "/board/fs";
    entries[2].version = 0x4809010A;
    check(upfw::image::build_image(entries, "/board/dev/shm/updateFM.bin", "updateFM.bin", false) == 0,
          "an image is built");
    const std::string fs1_before = read_dev(6, 0, 0x10000);
    char *argv[] = {const_cast<char *>("update"), const_cast<char *>("-u"), nullptr};
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, "/bin/update", nullptr, nullptr, argv, environ) == 0) ::waitpid(pid, &status, 0);
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "update -u from slot 1 to slot 2 succeeds");
    check(env_init() == 0, "the environment reloads after the update");
    const char *args = hs_getenv("bootargs"), *cmd = hs_getenv("bootcmd");
    check(args && std::strstr(args, "ubi.mtd=fs2") && cmd && std::strstr(cmd, "ker2"), "the boot arguments name slot 2");
    check(read_dev(5, 0, ker.size()) == ker, "the kernel is in ker2");
    // fs2's first block is a factory bad block: the root filesystem starts at the second.
    check(read_dev(7, 0x10000, fs.size()) == fs, "the root filesystem is in fs2, past its bad block");
    check(read_dev(6, 0, 0x10000) == fs1_before, "fs1 is untouched");
    env_mtd_table t;
    get_env_mtd_table(&t);
    check(t.records[7].size == 901120 && t.records[7].ver == 0x4809010A, "the fs2 record describes what was written");
}

}  // namespace

int main() {
    ::mkdir("/dev", 0755);
    ::mkdir("/proc", 0755);
    ::mkdir("/sys", 0755);
    ::mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
    ::mount("proc", "/proc", "proc", 0, nullptr);
    ::mount("sysfs", "/sys", "sysfs", 0, nullptr);
    std::printf("kernel tier: guest up\n");
    const char *tier = std::getenv("tier");
    if (tier && std::strcmp(tier, "crc") == 0) {
        check_crc();
        report();
    }
    const bool nor = tier && std::strcmp(tier, "nor") == 0;
    for (const auto &m : kModules) check(load_module(m.first, m.second), std::string("load ") + m.first);
#if defined(__arm__)
    if (nor) {
        for (const auto &m : kNorModules) check(load_module(m.first, m.second), std::string("load ") + m.first);
        kernel_nodes[0] = kNorNode;
        spi_size = 10241;
    }
#endif
    // Drivers may bind after their module has loaded.
    for (int i = 0; i < 250 && ::access(node(kernel_nodes[0]).c_str(), F_OK) != 0; ++i) ::usleep(20000);
    std::ifstream mtd("/proc/mtd");
    std::stringstream ss;
    ss << mtd.rdbuf();
    std::printf("%s", ss.str().c_str());
    if (failures) report();

    lay_out_board();
    ::setenv("UPFW_ROOT", kBoard, 1);
    if (nor) {
        check_nor();
        check_environment();
        check_spi_writer();
        report();
    }
    check_ioctls();
    if (kFar) check_far_offsets();
    check_environment();
    check_spi_writer();
    check_update();
    check_crc();
    report();
}
