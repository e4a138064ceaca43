// The init of the kernel tier's guest: loads the kernel's MTD modules and its NAND simulator,
// lays out a board root whose device nodes are the kernel's own, checks what the tool relies
// on from the kernel, runs a whole update, and reports through QEMU's isa-debug-exit port.
#include <fcntl.h>
#include <spawn.h>
#include <sys/io.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    if (::ioperm(0xf4, 4, 1) == 0) outb(static_cast<unsigned char>(failures ? 1 : 0), 0xf4);
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

// nandsim: 256 MiB SLC, 2 KiB pages, 64-byte OOB and 64 KiB blocks (4th ID byte 0x05).
// Partitions in erase blocks; block 2 (envbad's first) and block 140 (fs2's first) are bad.
constexpr const char *kNandsim = "id_bytes=0x20,0xaa,0x00,0x05 parts=2,2,4,4,32,32,64,64,4,4,4 badblocks=2,140";
// Kernel partition of each board partition: nandsim gives mtd0-mtd11, mtdram mtd12.
constexpr int kKernelNode[11] = {12, 0, 2, 3, 4, 5, 6, 7, 8, 9, 10};
constexpr int kEnvBadNode = 1;
constexpr const char *kBoard = "/board";

std::string node(int n) { return "/dev/mtd" + std::to_string(n); }

void lay_out_board() {
    for (const char *d : {"/board", "/board/dev", "/board/dev/shm", "/board/proc", "/board/proc/sys",
                          "/board/proc/sys/vm", "/board/mnt", "/board/mnt/nand", "/board/mnt/nand2", "/board/sbin",
                          "/board/usr", "/board/usr/sbin", "/board/usr/bin", "/board/sim"})
        ::mkdir(d, 0755);
    std::string proc = "dev:    size   erasesize  name\n";
    for (int i = 0; i < 11; ++i) {
        ::symlink(node(kKernelNode[i]).c_str(), (std::string(kBoard) + "/dev/mtd" + std::to_string(i)).c_str());
        MtdDevice d;
        MtdInfo info;
        if (d.open(node(kKernelNode[i]), O_RDONLY) && d.info(&info) == 0) {
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
    MtdDevice bad;
    check(bad.open(node(kEnvBadNode), O_RDONLY) && bad.block_is_bad(0) == 1, "the simulator's badblocks= mark");
    MtdDevice ram;
    MtdInfo ri;
    const bool ram_ok = ram.open(node(12), O_RDWR) && ram.info(&ri) == 0;
    check(ram_ok && ri.size == 0x100000 && ri.erasesize == 0x10000,
          "mtdram: 1 MiB, 64 KiB blocks (MTD type " + std::to_string(ri.type) + ")");
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
    write_env(kKernelNode[1], upfw::sim::default_environment(opt));
    check(env_init() == 0, "env_init on NAND");
    check(hs_getenv("bootcmd") && std::strstr(hs_getenv("bootcmd"), "ker1"), "the environment is read");
    check(hs_setenv("sn", "KERNEL-TIER") == 0, "a save on NAND");
    check(env_init() == 0 && hs_getenv("sn") && std::strcmp(hs_getenv("sn"), "KERNEL-TIER") == 0,
          "the save reloads");
    // The same environment on a partition whose first block the simulator marked bad.
    write_env(kEnvBadNode, upfw::sim::default_environment(opt));
    ::unlink("/board/dev/mtd1");
    ::symlink(node(kEnvBadNode).c_str(), "/board/dev/mtd1");
    check(env_init() == -1, "a bad block under copy 0 fails env_init");
    ::unlink("/board/dev/mtd1");
    ::symlink(node(kKernelNode[1]).c_str(), "/board/dev/mtd1");
    check(env_init() == 0, "env_init again on the good partition");
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

void check_spi_writer() {
    const std::string data = pattern(10241, 3);
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
    check(spi_flash_write_file("/board/spi.img", &req) == 0, "the SPI flash writer on the kernel's mtdram");
    check(read_dev(12, 0, data.size()) == data, "the written range reads back");
    check(read_dev(12, data.size(), 16) == std::string(16, '\xff'), "the rest of the block is erased");
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
    const std::pair<const char *, const char *> modules[] = {
        {"bch", ""}, {"mtd", ""}, {"nandcore", ""}, {"nand", ""}, {"nandsim", kNandsim},
        {"mtdram", "total_size=1024 erase_size=64"},
    };
    for (const auto &m : modules) check(load_module(m.first, m.second), std::string("load ") + m.first);
    for (int i = 0; i < 100 && ::access(node(12).c_str(), F_OK) != 0; ++i) ::usleep(20000);
    std::ifstream mtd("/proc/mtd");
    std::stringstream ss;
    ss << mtd.rdbuf();
    std::printf("%s", ss.str().c_str());
    if (failures) report();

    lay_out_board();
    ::setenv("UPFW_ROOT", kBoard, 1);
    check_ioctls();
    check_environment();
    check_spi_writer();
    check_update();
    report();
}
