#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/command.h"
#include "platform/mtd.h"
#include "platform/root.h"

namespace {

using upfw::platform::MtdDevice;
using upfw::platform::MtdInfo;
using upfw::test::read_file;
using upfw::test::TempRoot;
using upfw::test::write_file;

// A small emulated device of its own: 4 blocks of 4 pages of 512 bytes.
struct Flash {
    TempRoot root;
    std::string path;
    explicit Flash(const std::string &desc) : path(root.at("/dev/mtd20")) {
        write_file(path, std::string(4 * 2048, '\xff'));
        write_file(path + ".mtd", desc);
    }
    MtdDevice open() {
        MtdDevice d;
        EXPECT_TRUE(d.open(path, O_RDWR)) << std::strerror(errno);
        return d;
    }
};

const char *kNand = "type=nand\nerasesize=2048\nwritesize=512\noobsize=16\n";
const char *kNor = "type = nor   # SPI flash\nerasesize=0x800\nwritesize=1\n";

TEST(EmulatedFlash, GeometryFromDescription) {
    Flash f(kNand);
    MtdDevice d = f.open();
    MtdInfo info;
    ASSERT_EQ(d.info(&info), 0);
    EXPECT_TRUE(d.emulated());
    EXPECT_EQ(info.type, 4);
    EXPECT_EQ(info.flags, 0x400u);
    EXPECT_EQ(info.size, 8192u);
    EXPECT_EQ(info.erasesize, 2048u);
    EXPECT_EQ(info.writesize, 512u);
    EXPECT_EQ(info.oobsize, 16u);

    Flash nor(kNor);
    MtdDevice n = nor.open();
    ASSERT_EQ(n.info(&info), 0);
    EXPECT_EQ(info.type, 3);
    EXPECT_EQ(info.flags, 0xC00u);
}

TEST(EmulatedFlash, MalformedDescriptionIsRefusedNamingTheKey) {
    const std::pair<const char *, const char *> cases[] = {
        {"type=nand\nerasesize=3000\nwritesize=512\n", "bad value \"3000\" for key \"erasesize\""},
        {"erasesize=2048\nwritesize=0x300\n", "bad value \"0x300\" for key \"writesize\""},
        {"colour=blue\n", "unknown key \"colour\""},
        {"bad=x\n", "bad value \"x\" for key \"bad\""},
        {"type=mlc\n", "bad value \"mlc\" for key \"type\""},
        {"type\n", "line \"type\" is not key=value"},
    };
    for (const auto &c : cases) {
        Flash f(c.first);
        MtdDevice d;
        int err = 0;
        auto out = upfw::test::capture([&] {
            const bool opened = d.open(f.path, O_RDWR);
            err = errno;
            return opened ? 1 : 0;
        });
        EXPECT_EQ(out.result, 0) << c.first;
        EXPECT_EQ(err, EINVAL) << c.first;
        // Shown as the device sees it, without the root.
        EXPECT_EQ(out.err, std::string("upfw: /dev/mtd20.mtd: ") + c.second + "\n");
    }
}

TEST(EmulatedFlash, KernelSemantics) {
    Flash f(kNand + std::string("bad=2\n"));
    MtdDevice d = f.open();
    std::string page(512, '\x0f');

    // Erase: block aligned and inside the device; a bad block fails with EIO.
    EXPECT_EQ(d.erase(0, 0), 0);
    EXPECT_EQ(d.erase(100, 2048), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(d.erase(6144, 4096), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(d.erase(4096, 2048), -1);
    EXPECT_EQ(errno, EIO);

    // Writes: whole pages at page starts; programming only clears bits.
    d.seek(0, SEEK_SET);
    EXPECT_EQ(d.write("abc", 3), -1);
    EXPECT_EQ(errno, EINVAL);
    d.seek(100, SEEK_SET);
    EXPECT_EQ(d.write(page.data(), 512), -1);
    EXPECT_EQ(errno, EINVAL);
    d.seek(0, SEEK_SET);
    ASSERT_EQ(d.write(page.data(), 512), 512);
    std::string again(512, '\x3c');
    d.seek(0, SEEK_SET);
    ASSERT_EQ(d.write(again.data(), 512), 512);
    char got[4];
    d.seek(1, SEEK_SET);
    ASSERT_EQ(d.read(got, 4), 4);
    EXPECT_EQ(got[0], '\x0c');
    // Writing into a bad block is refused as a writer's bug.
    d.seek(4096, SEEK_SET);
    EXPECT_EQ(d.write(page.data(), 512), -1);
    // Reads stop at the end; writes at the end have no space.
    d.seek(8190, SEEK_SET);
    EXPECT_EQ(d.read(got, 4), 2);
    d.seek(8192, SEEK_SET);
    EXPECT_EQ(d.write(page.data(), 512), -1);
    EXPECT_EQ(errno, ENOSPC);
    // A position outside the device is refused, as the kernel's character device refuses it.
    EXPECT_EQ(d.seek(8193, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(d.seek(1, SEEK_END), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(d.seek(-1, SEEK_END), 8191);
    EXPECT_EQ(d.seek(-8192, SEEK_CUR), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(d.seek(-8191, SEEK_CUR), 0);

    // Lock answers like the kernel's NAND; bad blocks are queried and marked persistently.
    EXPECT_EQ(d.lock(0, 2048), -1);
    EXPECT_EQ(errno, 524);
    EXPECT_EQ(d.block_is_bad(4096 + 10), 1);
    EXPECT_EQ(d.block_is_bad(2048), 0);
    EXPECT_EQ(d.block_is_bad(8192), -1);
    EXPECT_EQ(d.mark_bad(2048), 0);
    MtdDevice again_open = f.open();
    EXPECT_EQ(again_open.block_is_bad(2048), 1);
    EXPECT_NE(read_file(f.path + ".mtd").find("bad=1,2"), std::string::npos);
    EXPECT_NE(read_file(f.path + ".mtd").find("type=nand"), std::string::npos);
}

TEST(EmulatedFlash, NorSemantics) {
    Flash f(kNor);
    MtdDevice d = f.open();
    EXPECT_EQ(d.lock(0, 2048), 0);
    EXPECT_EQ(d.unlock(0, 2048), 0);
    EXPECT_EQ(d.block_is_bad(0), 0);
    EXPECT_EQ(d.mark_bad(0), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    d.seek(3, SEEK_SET);
    EXPECT_EQ(d.write("\x01", 1), 1);  // NOR takes single bytes
    char c = 0;
    EXPECT_EQ(d.pread(&c, 1, 3), 1);
    EXPECT_EQ(c, '\x01');
    // The file holds the write once the process hands the flash over (a command, a close).
    EXPECT_EQ(upfw::platform::settle_emulated_flash(), 0);
    EXPECT_EQ(read_file(f.path)[3], '\x01');
    EXPECT_EQ(d.erase(0, 2048), 0);
    EXPECT_EQ(d.close(), 0);
    EXPECT_EQ(read_file(f.path)[3], '\xff');
}

TEST(EmulatedFlash, FaultKeys) {
    Flash f(kNand + std::string("fail_erase=1\nfail_write=2\nweak=3\nread_flip=5\n"));
    MtdDevice d = f.open();
    std::string page(512, '\x55');
    EXPECT_EQ(d.erase(0, 2048), 0);
    EXPECT_EQ(d.erase(2048, 2048), -1);
    EXPECT_EQ(errno, EIO);
    d.seek(4096, SEEK_SET);
    EXPECT_EQ(d.write(page.data(), 512), -1);
    EXPECT_EQ(errno, EIO);
    d.seek(6144, SEEK_SET);
    ASSERT_EQ(d.write(page.data(), 512), 512);  // accepted, but stored wrong
    ASSERT_EQ(upfw::platform::settle_emulated_flash(), 0);
    EXPECT_NE(read_file(f.path).substr(6144, 512), page);
    char got[8];
    d.seek(0, SEEK_SET);
    ASSERT_EQ(d.read(got, 8), 8);
    EXPECT_EQ(got[5], '\xfe');  // the flipped byte reads back wrong, the flash holds 0xff
    EXPECT_EQ(read_file(f.path)[5], '\xff');
}

TEST(EmulatedFlash, OperationLogAndPowerCut) {
    Flash f(kNand);
    write_file(f.root.at("/sim/flash.log"), "");
    write_file(f.root.at("/sim/powercut"), "after=2\ntear=1\n");
    pid_t pid = ::fork();
    if (pid == 0) {
        MtdDevice d;
        if (!d.open(f.path, O_RDWR)) ::_exit(10);
        std::string data(2048, '\0');
        d.erase(0, 2048);                         // 1
        d.write(data.data(), 2048);               // 2
        d.write(data.data(), 2048);               // 3: torn half-way, then the power fails
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(read_file(f.root.at("/sim/flash.log")),
              "1 erase /dev/mtd20 0x0 0x800\n2 write /dev/mtd20 0x0 0x800\n3 write /dev/mtd20 0x800 0x800\n");
    // Operations before the cut stand; the cut one is half done.
    std::string flash = read_file(f.path);
    EXPECT_EQ(flash.substr(0, 3072), std::string(3072, '\0'));
    EXPECT_EQ(flash.substr(3072, 1024), std::string(1024, '\xff'));
}

TEST(SimulatedCommands, EraseAllLeavesBadBlocksAlone) {
    upfw::sim::Options opt;
    opt.bad["ker2"] = {1};
    TempRoot r(opt);
    const std::string dev = r.at("/dev/mtd5");
    write_file(dev, std::string(0x100000, '\0'));
    EXPECT_EQ(upfw::platform::run_command({"flash_eraseall", dev}), 0);
    const std::string after = read_file(dev);
    EXPECT_EQ(after.substr(0, 0x20000), std::string(0x20000, '\xff'));
    EXPECT_EQ(after.substr(0x20000, 0x20000), std::string(0x20000, '\0'));
    EXPECT_EQ(after.substr(0x40000), std::string(0x100000 - 0x40000, '\xff'));

    upfw::test::append_file(dev + ".mtd", "fail_erase=3\n");
    auto failed = upfw::test::capture([&] { return upfw::platform::run_command({"flash_eraseall", dev}); });
    EXPECT_NE(failed.result, 0);
    EXPECT_NE(failed.err.find("erase at 0x60000: Input/output error"), std::string::npos);
}

TEST(Root, FixedPathsAndCommandsStayInsideTheRoot) {
    TempRoot r;
    EXPECT_EQ(upfw::platform::rooted("/dev/mtd1"), r.at("/dev/mtd1"));
    EXPECT_EQ(upfw::platform::find_command("reboot"), r.at("/sbin/reboot"));
    // sh, ls and the like exist on the host but not under the root: not found.
    EXPECT_EQ(upfw::platform::find_command("sh"), "");
    auto out = upfw::test::capture([] { return upfw::platform::run_command({"ls"}); });
    EXPECT_EQ(out.result, 127 << 8);
    EXPECT_EQ(out.err, "sh: 1: ls: not found\n");

    EXPECT_EQ(upfw::platform::run_command({"reboot"}), 0);
    EXPECT_EQ(read_file(r.at("/sim/reboot.log")), "reboot\n");
}

}  // namespace
