#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "upfw/env.h"
#include "upfw/update.h"

namespace {

using upfw::test::append_file;
using upfw::test::capture;
using upfw::test::make_image;
using upfw::test::read_env_copy;
using upfw::test::read_file;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

constexpr uint32_t v(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

struct UpdateTest : ::testing::Test {
    std::unique_ptr<TempRoot> root;
    std::vector<TestEntry> e = std::vector<TestEntry>(8);
    std::string image;

    void SetUp() override {
        e = std::vector<TestEntry>(8);
        e[1] = {"ker", "KERNEL" + std::string(3000, 'k'), v(72, 1, 0, 10)};
        e[2] = {"fs", "ROOTFS" + std::string(5000, 'f'), v(72, 9, 1, 10)};
        e[3] = {"cmd", "#!/bin/sh\n", v(0, 1, 0, 1)};
        e[7] = {"tool", "tool data", v(0, 0, 1, 0)};
    }
    void board(upfw::sim::Options opt = {}) {
        root.reset();
        root = std::make_unique<TempRoot>(opt);
        ASSERT_EQ(root->error(), "");
    }
    upfw::test::Output run() {
        if (!root) board();
        image = root->at("/dev/shm/updateFM.bin");
        write_file(image, make_image(e));
        EXPECT_EQ(env_init(), 0);
        write_file(root->at("/sim/flash.log"), "");
        return capture([&] { return UPFW_run_update(image.c_str()); });
    }
    std::string var(const char *name) { return read_env_copy(root->path(), 0).get(name); }
    std::string flash(int n) { return read_file(root->at("/dev/mtd" + std::to_string(n))); }
    bool written(int n) { return read_file(root->at("/sim/flash.log")).find("/dev/mtd" + std::to_string(n) + " ") != std::string::npos; }
    void TearDown() override { env_deinit(); }
};

TEST_F(UpdateTest, WritesTheInactiveSlotThenSwitchesBoth) {
    board();
    const std::string args = var("bootargs"), cmd = var("bootcmd");
    const std::string ker1 = flash(4), fs1 = flash(6);
    auto out = run();
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.err, "");
    EXPECT_NE(out.out.find("  current is fs1 \n  current is ker1 \nUpdate ker2 partition:\ndev \t    = /dev/mtd5\n"
                           "offset   = 0x00000800\nsize\t    = 0x00000BBE (2 K)\naddr\t    = 0x00000000\n"
                           "flag\t    = 0x00000000\ndate\t    = 2024/1/17\nversion = 72.1.0.10\nimage_length = 0x00000bbe\n"),
              std::string::npos);
    EXPECT_EQ(out.out.substr(out.out.size() - 16), "Update Success:\n");
    EXPECT_EQ(flash(5).substr(0, e[1].data.size()), e[1].data);
    EXPECT_EQ(flash(7).substr(0, e[2].data.size()), e[2].data);
    EXPECT_EQ(flash(4), ker1);  // the running slot is never touched
    EXPECT_EQ(flash(6), fs1);
    std::string want_args = args, want_cmd = cmd;
    want_args[want_args.find("=fs1") + 3] = '2';
    want_cmd[want_cmd.find("ker1") + 3] = '2';
    EXPECT_EQ(var("bootargs"), want_args);
    EXPECT_EQ(var("bootcmd"), want_cmd);
    EXPECT_EQ(var("ker2"), "name:ker2\tver:0x4801000a\tsize:3006\tdate:0x07e80111 ");
    for (int n : {0, 2, 3}) EXPECT_FALSE(written(n)) << n;  // cmd and tool are never written
    // The boot arguments come last, in one save: the record of fs2 and then exactly one more
    // save (two erases and two writes of /dev/mtd1).
    const std::string log = read_file(root->at("/sim/flash.log"));
    const std::string tail = log.substr(log.rfind("/dev/mtd7 "));
    size_t saves = 0;
    for (size_t p = tail.find("write /dev/mtd1 "); p != std::string::npos; p = tail.find("write /dev/mtd1 ", p + 1)) ++saves;
    EXPECT_EQ(saves, 4u);  // fs2's record save, then the boot arguments' save
}

TEST_F(UpdateTest, SlotsOutOfStepNeverOverwriteTheRunningKernel) {
    upfw::sim::Options opt;
    opt.set = {{"bootcmd", "nand read 0x1ffffc0 ker2 0x600000;bootm 0x1ffffc0"}};
    board(opt);
    const std::string ker2 = flash(5);
    auto out = run();
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(flash(5), ker2);
    EXPECT_EQ(flash(4).substr(0, e[1].data.size()), e[1].data);
    EXPECT_EQ(flash(7).substr(0, e[2].data.size()), e[2].data);
    EXPECT_NE(var("bootargs").find("ubi.mtd=fs2"), std::string::npos);
    EXPECT_NE(var("bootcmd").find(" ker1 "), std::string::npos);  // boots the kernel just written
}

TEST_F(UpdateTest, RefusalsWriteNothing) {
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, std::string>> set;
        bool drop_ker, drop_fs, bad_crc;
        int result;
        std::string err;
    };
    const Case cases[] = {
        {"network root", {{"bootargs", "root=/dev/nfs nfsroot=x"}}, false, false, false, -4,
         "cmdline: root=/dev/nfs nfsroot=x \nbootargs not find fs, maybe NFS!\n"},
        {"odd fs digit", {{"bootargs", "ubi.mtd=fs3"}}, false, false, false, -4, "unknow fs partition!\n"},
        {"no kernel name", {{"bootcmd", "bootm"}}, false, false, false, -4, " bootcmd is null!\n"},
        {"odd kernel digit", {{"bootcmd", "ker9"}}, false, false, false, -4, "  unknow bootcmd!\n"},
        {"neither component", {}, true, true, false, -9, "No filesys image!\n"},
        {"no kernel", {}, true, false, false, -8, ""},
        {"bad CRC", {}, false, false, true, -2, "check_img_crc fs failed\nVerify update firmware faild!\n"},
    };
    for (const auto &c : cases) {
        SetUp();
        if (c.drop_ker) e[1] = {};
        if (c.drop_fs) e[2] = {};
        if (c.bad_crc) e[2].crc = 7;
        upfw::sim::Options opt;
        opt.set = c.set;
        board(opt);
        auto out = run();
        EXPECT_EQ(out.result, c.result) << c.what;
        EXPECT_EQ(out.err, c.err) << c.what;
        EXPECT_EQ(read_file(root->at("/sim/flash.log")), "") << c.what;
        env_deinit();
    }
}

TEST_F(UpdateTest, BootLoaderParametersAndLogoFollowTheirVersionRules) {
    struct Case {
        uint32_t bld, bld2, param, logo;
        bool bld_w, bld2_w, param_w, logo_w;
    };
    // Installed: boot loader 72.1.1.5 (variant 1), base parameters and logo 72.0.0.1.
    const Case cases[] = {
        {v(72, 1, 1, 5), v(72, 1, 1, 4), v(72, 0, 0, 1), v(72, 0, 1, 9), false, false, false, false},
        {v(72, 1, 2, 9), v(72, 1, 1, 6), v(72, 0, 0, 0), v(72, 0, 0, 2), false, true, true, true},
        {v(72, 1, 1, 6), v(72, 1, 1, 7), 0, 0, true, true, false, false},
    };
    for (const auto &c : cases) {
        SetUp();
        e[0] = {"bld", "BLD1", c.bld};
        e[6] = {"bld2", "BLD2", c.bld2};
        if (c.param) e[4] = {"param", "PARAM", c.param};
        if (c.logo) e[5] = {"jpg", "LOGO", c.logo};
        board();
        auto out = run();
        ASSERT_EQ(out.result, 0) << out.err;
        const bool uboot = c.bld_w || c.bld2_w;
        EXPECT_EQ(written(0), uboot);
        if (uboot) {
            EXPECT_EQ(flash(0).substr(0, 4), c.bld2_w ? "BLD2" : "BLD1");  // bld2 goes last
        }
        EXPECT_EQ(written(2), c.param_w);
        EXPECT_EQ(written(3), c.logo_w);
        if (c.bld_w && c.bld2_w) {
            EXPECT_LT(out.out.find("Update uboot"), out.out.find("Update ker2"));
        }
        env_deinit();
    }
}

TEST_F(UpdateTest, ParametersWithoutARecordAreWrittenAndRecorded) {
    upfw::sim::Options opt;
    opt.unset = {"baseparam"};
    board(opt);
    e[4] = {"param", "PARAM", v(72, 1, 0, 1)};
    e[4].version = v(72, 1, 0, 1) & ~0xFF00u;  // variant 0, as the missing record reads
    auto out = run();
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_NE(out.out.find("Update baseparam partition:"), std::string::npos);
    EXPECT_EQ(var("baseparam"), "name:baseparam\tver:0x48010001\tsize:5\tdate:0x07e80111 ");
}

TEST_F(UpdateTest, LateFailureKeepsTheOldSlotBooting) {
    board();
    append_file(root->at("/dev/mtd3.mtd"), "fail_erase=0\n");
    e[5] = {"jpg", "LOGO", v(72, 0, 0, 2)};
    const std::string args = var("bootargs"), cmd = var("bootcmd");
    auto out = run();
    EXPECT_EQ(out.result, -1);
    EXPECT_NE(out.err.find("Fail on erase mtd device!\nData was only partially written due to error\n"
                           "nand_flash_write_file unkown parttition faild!\n"),
              std::string::npos);
    EXPECT_EQ(var("bootargs"), args);
    EXPECT_EQ(var("bootcmd"), cmd);
    EXPECT_EQ(var("ker2"), "name:ker2\tver:0x4801000a\tsize:3006\tdate:0x07e80111 ");
    EXPECT_EQ(var("fs2"), "name:fs2\tver:0x4809010a\tsize:5006\tdate:0x07e80111 ");
}

TEST_F(UpdateTest, CacheDropFailureIsReportedButDoesNotStop) {
    board();
    ::unlink(root->at("/proc/sys/vm/drop_caches").c_str());
    auto out = run();
    EXPECT_EQ(out.result, 0);
    EXPECT_NE(out.err.find("sh: 1: cannot create /proc/sys/vm/drop_caches: No such file or directory\n"
                           "clean memory error!\n"),
              std::string::npos);
}

}  // namespace
