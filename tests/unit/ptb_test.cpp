#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"
#include "ptb/ptb.h"
#include "upfw/env.h"
#include "upfw/ptb.h"

namespace {

using upfw::test::capture;
using upfw::test::read_env_copy;
using upfw::test::read_file;
using upfw::test::TempRoot;
using upfw::test::write_env_copy;
using upfw::test::write_file;

struct PtbTest : ::testing::Test {
    using EnvCopy = upfw::test::EnvCopy;
    std::unique_ptr<TempRoot> root;
    // A board whose environment holds exactly these entries.
    void load(const std::vector<std::string> &entries) {
        upfw::test::board_with(root, entries);
        ASSERT_EQ(env_init(), 0);
        write_file(root->at("/sim/flash.log"), "");
    }
    std::string flash_log() { return read_file(root->at("/sim/flash.log")); }
    EnvCopy flash() { return read_env_copy(root->path(), 0); }
    env_mtd_table table() {
        env_mtd_table t;
        get_env_mtd_table(&t);
        return t;
    }
    void TearDown() override { env_deinit(); }
};

struct RecordCase {
    const char *text;
    const char *name;
    uint32_t ver, size, date;
};

TEST_F(PtbTest, RecordTextsAreReadFieldByField) {
    const RecordCase cases[] = {
        {"name:ker1\tver:0x48010001\tsize:4194304\tdate:0x07e80111 ", "ker1", 0x48010001, 4194304, 0x07e80111},
        {"name:ker1 ver:0x48010001 size:4194304 date:0x07e80111", "ker1", 0x48010001, 4194304, 0x07e80111},
        {"name:ker1ver:0x1size:2date:0x3", "ker1ver:0x1size:2date:0x3", 0, 0, 0},
        {"name:cfg", "cfg", 0, 0, 0},
        {"name:cfg\tver:0x12\tsize:x", "cfg", 0x12, 0, 0},
        {"ker1\tver:0x48010001\tsize:1\tdate:0x2 ", "", 0, 0, 0},
        {" name:ker1\tver:0x48010001\tsize:1\tdate:0x2 ", "", 0, 0, 0},
        {"name:abcdefghijklmnopqrstuvwxyz0123456789\tver:0x1", "abcdefghijklmnopqrstuvwxyz01234", 0, 0, 0},
        {"name:fs1\tver:0x123456789\tsize:1", "fs1", 0x12345678, 0, 0},
    };
    for (const auto &c : cases) {
        load({std::string("ker1=") + c.text});
        env_mtd_table t = table();
        const env_partition &r = t.records[4];
        EXPECT_STREQ(r.name, c.name) << c.text;
        EXPECT_EQ(r.ver, c.ver) << c.text;
        EXPECT_EQ(r.size, c.size) << c.text;
        EXPECT_EQ(r.date, c.date) << c.text;
        env_deinit();
    }
}

TEST_F(PtbTest, EmptyEnvironmentGivesZeroRecordsAndEmptyCopies) {
    load({});
    env_mtd_table t = table();
    env_mtd_table zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&t, &zero, sizeof t), 0);
    EXPECT_EQ(flash_log(), "");
}

TEST_F(PtbTest, StoredRecordReadsBackAndNamelessOneIsRefused) {
    load({"ver=none"});
    env_partition rec{};
    std::strcpy(rec.name, "ker1");
    rec.ver = 0x48010001;
    rec.size = 4194304;
    rec.date = 0x07e80111;
    ASSERT_EQ(set_env_partition(&rec), 0);
    EXPECT_EQ(flash().get("ker1"), "name:ker1\tver:0x48010001\tsize:4194304\tdate:0x07e80111 ");
    env_mtd_table t = table();
    EXPECT_EQ(std::memcmp(&t.records[4], &rec, sizeof rec), 0);

    env_partition nameless{};
    nameless.size = 1;
    auto out = capture([&] { return set_env_partition(&nameless); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(flash().get(""), "<absent>");
}

TEST_F(PtbTest, BootLoaderVersionMigration) {
    // A version with a variant number is never migrated.
    load({"uboot=name:uboot\tver:0x4801011a\tsize:1\tdate:0x1 ", "ver=boot 72.2.2.2"});
    EXPECT_EQ(table().records[0].ver, 0x4801011au);
    EXPECT_EQ(flash_log(), "");
    env_deinit();

    // Without one, every reading takes it from `ver` and stores the record again.
    load({"uboot=name:uboot\tver:0x4801001a\tsize:1\tdate:0x1 ", "ver=Loader 2024 72.1.0.26 (Jan)"});
    EXPECT_EQ(table().records[0].ver, 0x4801001au);
    EXPECT_EQ(flash().flag, 3);
    table();
    EXPECT_EQ(flash().flag, 5);
    env_deinit();

    // A version text it cannot read is reported and stores nothing, on every reading.
    load({"uboot=name:uboot\tver:0x4801001a\tsize:1\tdate:0x1 ", "ver=x 72.1"});
    auto out = capture([&] { return table().records[0].ver; });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, "uboot version format invalid, eg: xx.xx.xx.xx\n");
    EXPECT_EQ(flash_log(), "");
    EXPECT_EQ(flash().get("uboot"), "name:uboot\tver:0x4801001a\tsize:1\tdate:0x1 ");
    env_deinit();

    // A readable one on a board without a uboot record gives it one under its own name.
    load({"ver=x 72.1.0.3"});
    table();
    EXPECT_EQ(flash().get("uboot"), "name:uboot\tver:0x48010003\tsize:0\tdate:0x00000000 ");
    env_deinit();

    load({"ver=no platform code"});
    table();
    EXPECT_EQ(flash_log(), "");
}

TEST_F(PtbTest, StoringTheTableAndTheBootVariables) {
    load({"uboot=name:uboot\tver:0x48010100\tsize:1\tdate:0x1 ", "ker1=name:ker1\tver:0x1\tsize:2\tdate:0x3 ",
          "fs1=name:xfs\tver:0x1\tsize:2\tdate:0x3 ", "bootargs=a=fs1", "bootcmd=ker1"});
    env_mtd_table t = table();
    t.records[4].size = 99;
    ASSERT_EQ(set_env_mtd_table(&t), 0);
    EXPECT_EQ(flash().get("ker1"), "name:ker1\tver:0x00000001\tsize:99\tdate:0x00000003 ");
    EXPECT_EQ(flash().get("rsd"), "<absent>");
    EXPECT_EQ(flash().get("xfs"), "<absent>");  // a record under a foreign name is skipped

    env_mtd_table empty{};
    write_file(root->at("/sim/flash.log"), "");
    EXPECT_EQ(set_env_cmdline(&empty), 0);
    EXPECT_EQ(flash_log(), "");
    std::strcpy(t.bootargs, "b=fs2");
    std::strcpy(t.bootcmd, "ker2");
    ASSERT_EQ(set_env_cmdline(&t), 0);
    EXPECT_EQ(flash().get("bootargs"), "b=fs2");
    EXPECT_EQ(flash().get("bootcmd"), "ker2");
}

TEST_F(PtbTest, BootArgumentsLongerThanACopyAreNeverCutOnStore) {
    const std::string long_args = "ubi.mtd=fs1 " + std::string(600, 'a');
    load({"bootargs=" + long_args, "bootcmd=nand read ker1"});
    env_mtd_table t = table();
    EXPECT_EQ(std::strlen(t.bootargs), 511u);
    auto out = capture([&] { return set_env_cmdline(&t); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "Error: bootargs is longer than 511 characters, not stored\n");
    EXPECT_EQ(flash().get("bootargs"), long_args);
    // Both or neither: the kernel is never switched without the root filesystem.
    std::strcpy(t.bootcmd, "nand read ker2");
    EXPECT_EQ(capture([&] { return set_env_cmdline(&t); }).result, -1);
    EXPECT_EQ(capture([] { return set_env_boot(2); }).result, -1);
    EXPECT_EQ(flash().get("bootargs"), long_args);
    EXPECT_EQ(flash().get("bootcmd"), "nand read ker1");
    EXPECT_EQ(flash_log(), "");
    EXPECT_EQ(capture([] { return set_ptb_cmdline(std::string(512, 'c').c_str()); }).result, -1);

    // A copy without its terminator is refused, not read past.
    env_mtd_table open_ended = table();
    std::memset(open_ended.bootcmd, 'k', sizeof open_ended.bootcmd);
    errno = 0;
    auto unterminated = capture([&] { return set_env_cmdline(&open_ended); });
    EXPECT_EQ(unterminated.result, -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(unterminated.err.find("Error: the bootcmd copy is not terminated, not stored\n"), std::string::npos);
    EXPECT_EQ(flash_log(), "");
}

TEST_F(PtbTest, IncompleteRecordsStateNothingAndKeepTheirMark) {
    const std::string marked = "name:uboot\tver:0x00000000\tsize:0\tdate:0x00000000 incomplete:0x48010105 ";
    load({"uboot=" + marked, "ver=U-Boot 72.1.1.5", "fs2=name:fs2\tver:0x48090103\tsize:9\tdate:0x1 "});
    env_mtd_table t = table();
    // Read with the record format it states nothing, and the loader's own version text does
    // not turn it into a complete record.
    EXPECT_EQ(t.records[0].ver, 0u);
    EXPECT_EQ(t.records[0].size, 0u);
    EXPECT_EQ(flash_log(), "");
    bool incomplete = false;
    EXPECT_EQ(upfw::ptb::installed_version(t, 0, &incomplete), 0x48010105u);
    EXPECT_TRUE(incomplete);
    EXPECT_EQ(upfw::ptb::installed_version(t, 7, &incomplete), 0x48090103u);
    EXPECT_FALSE(incomplete);
    // A table stored back unchanged keeps the mark; a write of the partition lifts it.
    ASSERT_EQ(set_env_mtd_table(&t), 0);
    EXPECT_EQ(flash().get("uboot"), marked);
    ASSERT_EQ(upfw::ptb::mark_incomplete({{7, 0x48090103}}, nullptr), 0);
    EXPECT_EQ(flash().get("fs2"), "name:fs2\tver:0x00000000\tsize:0\tdate:0x00000000 incomplete:0x48090103 ");
    EXPECT_TRUE(upfw::ptb::record_incomplete(7));
    env_partition done = {"fs2", 9, 0x4809010a, 2};
    ASSERT_EQ(set_env_partition(&done), 0);
    EXPECT_FALSE(upfw::ptb::record_incomplete(7));
}

TEST_F(PtbTest, DeviceMapAndPartitionNames) {
    load({});
    write_file(root->at("/proc/mtd"),
               "dev:    size   erasesize  name\nmtd0: 00080000 00010000 \"uboot\"\nmtd1: 00020000 00010000 \"env\"\n"
               "mtd6: 00200000 00020000 \"fs1\"\nmtd_with_a_very_long_device_name: 1 2 \"ker1\"\n");
    mtd_part_info info[UPFW_PART_COUNT];
    ASSERT_EQ(get_mtd_info(info), 0);
    EXPECT_STREQ(info[0].dev, "/dev/mtd0");
    EXPECT_STREQ(info[1].dev, "/dev/mtd1");
    EXPECT_STREQ(info[6].dev, "/dev/mtd6");
    EXPECT_STREQ(info[6].name, "fs1");
    EXPECT_STREQ(info[9].dev, "/dev/");
    EXPECT_STREQ(info[9].name, "oem");
    EXPECT_STREQ(info[4].dev, "/dev/");  // too long to hold: refused, not cut

    char name[10] = "unchanged";
    EXPECT_EQ(get_part_name(11, name), -1);
    EXPECT_EQ(get_part_name(-1, name), -1);
    EXPECT_STREQ(name, "unchanged");
    EXPECT_EQ(get_part_name(2, name), 0);
    EXPECT_STREQ(name, "baseparam");
    EXPECT_STREQ(g_part_str[11], "all");
}

TEST_F(PtbTest, BootState) {
    struct Case {
        const char *before;
        int state;
        const char *after;
    };
    const Case cases[] = {
        {"None", 1, "Done"}, {"Done", 1, "Done"}, {"Done", 0, "None"},  {"None", 0, "None"},
        {"NoneX", 1, "Done"}, {"other", 1, "other"}, {nullptr, 1, "<absent>"},
    };
    for (const auto &c : cases) {
        load(c.before ? std::vector<std::string>{std::string("bootState=") + c.before} : std::vector<std::string>{});
        EXPECT_EQ(set_boot_state(c.state), 0);
        EXPECT_EQ(flash().get("bootState"), c.after);
        EXPECT_EQ(flash_log().empty(), c.before == nullptr || std::strcmp(c.before, c.after) == 0);
        env_deinit();
    }
}

TEST_F(PtbTest, SlotSwitch) {
    struct Case {
        const char *bootargs, *bootcmd;
        int slot;
        const char *args_after, *cmd_after, *out;
    };
    const std::string def = "mem=1024M console=ttyAMA0,115200 ubi.mtd=fs2 root=ubi0:rootfs rw rootfstype=ubifs mmz=ddr,0,0,150M";
    const Case cases[] = {
        {"x ubi.mtd=fs1 y", "nand read ker1", 0, "x ubi.mtd=fs2 y", "nand read ker2", "\tFilesys will switch to fs2 after reboot!\n"},
        {"ubi.mtd=fs2", "ker1", 0, "ubi.mtd=fs1", "ker2", "\tFilesys will switch to fs1 after reboot!\n"},
        {"ubi.mtd=fs1", "ker1", 2, "ubi.mtd=fs2", "ker2", "\tFilesys will switch to fs2 after reboot!\n"},
        {"ubi.mtd=fs2", "ker2", 1, "ubi.mtd=fs1", "ker1", "\tFilesys will switch to fs1 after reboot!\n"},
        {"root=/dev/nfs", "ker1", 2, def.c_str(), "ker2", "\tFilesys will switch to fs2 after reboot!\n"},
        {"root=/dev/nfs", "ker1", 0, def.c_str(), "ker2", "\tFilesys will switch to fs2 after reboot!\n"},
        // A marker that ends the text gets the digit; the rest of the text is kept.
        {"mem=512M ubi.mtd=fs", "nand read ker", 2, "mem=512M ubi.mtd=fs2", "nand read ker2",
         "\tFilesys will switch to fs2 after reboot!\n"},
    };
    for (const auto &c : cases) {
        load({std::string("bootargs=") + c.bootargs, std::string("bootcmd=") + c.bootcmd});
        auto out = capture([&] { return set_env_boot(c.slot); });
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.out, c.out);
        EXPECT_EQ(flash().get("bootargs"), c.args_after);
        EXPECT_EQ(flash().get("bootcmd"), c.cmd_after);
        env_deinit();
    }
    // No kernel slot to set, or none to turn over.
    for (const auto &c : {std::make_pair("bootm", 1), std::make_pair("nand read ker", 0)}) {
        load({"bootargs=ubi.mtd=fs1", std::string("bootcmd=") + c.first});
        auto out = capture([&] { return set_env_boot(c.second); });
        EXPECT_EQ(out.result, -1);
        EXPECT_EQ(out.err, "Can't find kernel partition!\n");
        EXPECT_EQ(flash_log(), "");
        env_deinit();
    }
}

TEST_F(PtbTest, SwitchCommandRebootsOnlyForAKnownSlot) {
    load({"bootargs=ubi.mtd=fs1", "bootcmd=ker1"});
    auto bad = capture([] { return set_switch_filesys(3); });
    EXPECT_EQ(bad.result, -1);
    EXPECT_EQ(bad.err, "Unknown fs index, please choose 1 or 2\n");
    EXPECT_EQ(flash_log(), "");
    EXPECT_EQ(read_file(root->at("/sim/reboot.log")), "");

    auto ok = capture([] { return set_switch_filesys(0); });
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(flash().get("bootcmd"), "ker2");
    EXPECT_EQ(read_file(root->at("/sim/reboot.log")), "reboot\n");

    // A switch that cannot be made still reboots, but is reported as failed.
    load({"bootargs=ubi.mtd=fs1", "bootcmd=bootm"});
    auto failed = capture([] { return set_switch_filesys(2); });
    EXPECT_EQ(failed.result, -1);
    EXPECT_EQ(failed.err, "Can't find kernel partition!\n");
    EXPECT_EQ(read_file(root->at("/sim/reboot.log")), "reboot\n");
}

TEST_F(PtbTest, MemorySizeRewrite) {
    const std::pair<int, const char *> cases[] = {{256, "a mem=256M b"}, {148, "a mem=148M b"}, {64, "a mem=128M b"}};
    for (const auto &c : cases) {
        load({"bootargs=a mem=1024M b"});
        EXPECT_EQ(set_cmdline_memory(c.first), 0);
        EXPECT_EQ(flash().get("bootargs"), c.second);
        env_deinit();
    }
    load({"bootargs=console=ttyAMA0"});
    auto out = capture([] { return set_cmdline_memory(256); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "unknow memory of env!\n");
}

TEST_F(PtbTest, BootLoaderVersionSetting) {
    load({"uboot=name:uboot\tver:0x48010105\tsize:262144\tdate:0x07e80111 "});
    ASSERT_EQ(set_ptb_uboot_version("72.2.3.4"), 0);
    EXPECT_EQ(flash().get("uboot"), "name:uboot\tver:0x48020304\tsize:262144\tdate:0x07e80111 ");
    for (const char *bad : {"72.1", "172.1.1.1", "a.b.c.d", ""}) {
        auto out = capture([&] { return set_ptb_uboot_version(bad); });
        EXPECT_EQ(out.result, -1) << bad;
        EXPECT_EQ(out.out, "uboot version format invalid, eg: xx.xx.xx.xx\n") << bad;
    }
    EXPECT_EQ(flash().get("uboot"), "name:uboot\tver:0x48020304\tsize:262144\tdate:0x07e80111 ");
    EXPECT_EQ(upfw::ptb::parse_uboot_version("72.1.1.26 trailing"), 0x4801011au);
    env_deinit();

    load({});
    ASSERT_EQ(set_ptb_uboot_version("72.1.1.1"), 0);
    EXPECT_EQ(flash().get("uboot"), "name:uboot\tver:0x48010101\tsize:0\tdate:0x00000000 ");
}

TEST_F(PtbTest, StatusListings) {
    load({"uboot=name:uboot\tver:0x48010105\tsize:1536\tdate:0x07e80111 ",
          "ker1=name:ker1\tver:0x48090103\tsize:0\tdate:0x07e80111 ",
          "ker2=name:ker2\tver:0x00000000\tsize:4096\tdate:0x07e8020a ",
          "fs1=name:fs1\tver:0x48090103\tsize:2048\tdate:0x07e80111 ",
          "fs2=name:fs2\tver:0x48090103\tsize:2048\tdate:0x07e80111 ",
          "bootargs=root=/dev/nfs nfsroot=x", "bootcmd=nand read ker2"});
    auto info = capture([] { return display_info(); });
    EXPECT_EQ(info.result, 0);
    const std::string records =
        "Varnholt update version: 1.0.1 \n"
        "uboot:\n\tversion = 72.1.1.5\n\tsize    = 0x00000600 (1 K)\n\tdate    = 2024/1/17\n"
        "ker2:(current)\n\tversion = 0.0.0.0\n\tsize    = 0x00001000 (4 K)\n\tdate    = 2024/2/10\n"
        "fs1:(nfs)\n\tversion = 72.9.1.3\n\tsize    = 0x00000800 (2 K)\n\tdate    = 2024/1/17\n"
        "fs2:(nfs)\n\tversion = 72.9.1.3\n\tsize    = 0x00000800 (2 K)\n\tdate    = 2024/1/17\n"
        "\nMore details:\n\nMtd information: \n";
    EXPECT_EQ(info.out.substr(0, records.size()), records);
    const std::string rest = info.out.substr(records.size());
    EXPECT_EQ(rest.substr(0, 31), "dev:    size   erasesize  name\n");
    EXPECT_NE(rest.find("mtd10: 00040000 00020000 \"rsd\"\nuboot=name:uboot"), std::string::npos);
    EXPECT_EQ(rest.substr(rest.size() - 23), "bootcmd=nand read ker2\n");

    auto ver = capture([] {
        upfw::ptb::display_version();
        return 0;
    });
    EXPECT_EQ(ver.out,
              "Varnholt update version: 0.1.0.1\n"
              "uboot:\n\tversion = 72.1.1.5\n\tsize    = 1 K\n\tdate    = 2024/1/17\n"
              "ker1:\n\tversion = 72.9.1.3\n\tsize    = 0 K\n\tdate    = 2024/1/17\n"
              "fs1:(nfs)\n\tversion = 72.9.1.3\n\tsize    = 2 K\n\tdate    = 2024/1/17\n"
              "fs2:(nfs)\n\tversion = 72.9.1.3\n\tsize    = 2 K\n\tdate    = 2024/1/17\n");
    EXPECT_EQ(flash_log(), "");  // listings only read
}

}  // namespace
