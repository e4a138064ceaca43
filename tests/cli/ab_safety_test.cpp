// The promise of A/B updates as a device in the field meets it: updates back to back without
// a reboot, boot variables longer than their copies, writes that fail half-way, an image file
// changed while the tool runs, records whose text names another partition, and links planted
// where the update program is extracted.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"

namespace {

using upfw::test::append_file;
using upfw::test::boot_env;
using upfw::test::make_image;
using upfw::test::parse_record;
using upfw::test::read_file;
using upfw::test::run_update;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

constexpr uint32_t v(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

upfw::sim::Options small_board() {
    upfw::sim::Options opt;
    for (const char *p : {"ker1", "ker2", "fs1", "fs2"}) opt.sizes[p] = 0x40000;
    return opt;
}

// A release: kernel and root filesystem of a few pages, told apart by tag; the boot-loader
// entry carries no data and only names the platform.
struct Release {
    std::string kernel, rootfs;
    explicit Release(char tag)
        : kernel("KER" + std::string(1, tag) + std::string(2 * 2048 + 300, tag)),
          rootfs("FS" + std::string(1, tag) + std::string(3 * 2048 + 17, tag)) {}
    std::vector<TestEntry> entries() const {
        std::vector<TestEntry> e(8);
        e[0] = {"bld", "", v(72, 1, 1, 26)};
        e[1] = {"ker", kernel, v(72, 1, 0, 10)};
        e[2] = {"fs", rootfs, v(72, 9, 1, 10)};
        return e;
    }
};

std::string put(const TempRoot &r, const std::string &rel, const std::vector<TestEntry> &e) {
    write_file(r.at(rel), make_image(e));
    return r.at(rel);
}

std::string flash(const TempRoot &r, int n) { return read_file(r.at("/dev/mtd" + std::to_string(n))); }
bool holds(const TempRoot &r, int n, const std::string &data) { return flash(r, n).compare(0, data.size(), data) == 0; }
std::string var(const TempRoot &r, const char *name) { return boot_env(r.path()).get(name); }
bool names_slot(const TempRoot &r, char slot) {
    return var(r, "bootargs").find(std::string("=fs") + slot) != std::string::npos &&
           var(r, "bootcmd").find(std::string("ker") + slot) != std::string::npos;
}

TEST(AbSafety, UpdatesBeforeTheRebootRewriteTheSameInactiveSlot) {
    TempRoot r(small_board());
    const Release a('a'), b('b'), c('c');
    const std::string ker1 = flash(r, 4), fs1 = flash(r, 6);
    EXPECT_NE(read_file(r.at("/proc/cmdline")).find("ubi.mtd=fs1 "), std::string::npos);

    ASSERT_EQ(run_update({"-u", put(r, "/a.img", a.entries())}).result, 0);
    auto second = run_update({"-u", put(r, "/b.img", b.entries())});
    ASSERT_EQ(second.result, 0) << second.err;
    // The system running is still slot 1: the second update goes to slot 2 again.
    EXPECT_NE(second.out.find("  current is fs1 \n  current is ker1 \nUpdate ker2 partition:"), std::string::npos);
    EXPECT_EQ(flash(r, 4), ker1);
    EXPECT_EQ(flash(r, 6), fs1);
    EXPECT_TRUE(holds(r, 5, b.kernel) && holds(r, 7, b.rootfs));
    EXPECT_TRUE(names_slot(r, '2'));

    // The simulated reboot boots what is stored; the next update then writes slot 1.
    ASSERT_EQ(run_update({"-S", "2"}).result, 0);
    EXPECT_NE(read_file(r.at("/proc/cmdline")).find("ubi.mtd=fs2 "), std::string::npos);
    const std::string ker2 = flash(r, 5), fs2 = flash(r, 7);
    auto third = run_update({"-u", put(r, "/c.img", c.entries())});
    ASSERT_EQ(third.result, 0) << third.err;
    EXPECT_NE(third.out.find("  current is fs2 \n  current is ker2 \n"), std::string::npos);
    EXPECT_EQ(flash(r, 5), ker2);
    EXPECT_EQ(flash(r, 7), fs2);
    EXPECT_TRUE(holds(r, 4, c.kernel) && holds(r, 6, c.rootfs));
    EXPECT_TRUE(names_slot(r, '1'));
}

TEST(AbSafety, ASecondUpdateFailingBeforeTheRebootLeavesTheRunningSlotBooting) {
    TempRoot r(small_board());
    const Release a('a'), b('b');
    const std::string ker1 = flash(r, 4), fs1 = flash(r, 6);
    ASSERT_EQ(run_update({"-u", put(r, "/a.img", a.entries())}).result, 0);
    ASSERT_TRUE(names_slot(r, '2'));
    // Slot 2 is complete but about to be rewritten; its write fails half-way.
    append_file(r.at("/dev/mtd7.mtd"), "fail_write=1\n");
    const std::string big = std::string(0x30000, 'B');
    auto e = b.entries();
    e[2].data = big;
    auto out = run_update({"-u", put(r, "/b.img", e)});
    EXPECT_EQ(out.result, 256 - 9);
    // The switch to slot 2 was taken back before slot 2 was erased.
    EXPECT_TRUE(names_slot(r, '1'));
    EXPECT_EQ(flash(r, 4), ker1);
    EXPECT_EQ(flash(r, 6), fs1);
    EXPECT_TRUE(parse_record(var(r, "fs2")).incomplete);
}

TEST(AbSafety, WithoutASlotOnTheKernelCommandLineTheStoredBootargsDecide) {
    // An NFS root during development: /proc/cmdline names no slot; the stored bootargs do.
    for (const char *cmdline : {"root=/dev/nfs nfsroot=10.0.0.2:/srv/rootfs\n", static_cast<const char *>(nullptr)}) {
        TempRoot r(small_board());
        ASSERT_EQ(run_update({"-u", put(r, "/a.img", Release('a').entries())}).result, 0);
        if (cmdline) write_file(r.at("/proc/cmdline"), cmdline);
        else ::unlink(r.at("/proc/cmdline").c_str());
        auto out = run_update({"-u", put(r, "/b.img", Release('b').entries())});
        ASSERT_EQ(out.result, 0) << out.err;
        EXPECT_NE(out.out.find("  current is fs2 \n  current is ker2 \nUpdate ker1 partition:"), std::string::npos);
        EXPECT_TRUE(names_slot(r, '1'));
    }
}

TEST(AbSafety, WhenTheRunningKernelCannotBeToldNothingIsWritten) {
    // bootargs switched by hand to slot 2, bootcmd not: the kernel that runs is ker1, or ker2
    // had an update made that switch from slots out of step.
    {
        TempRoot r(small_board());
        ASSERT_EQ(run_update({"-C", "console=ttyAMA0,115200 ubi.mtd=fs2 root=ubi0:rootfs rw"}).result, 0);
        write_file(r.at("/sim/flash.log"), "");
        put(r, "/dev/shm/updateFM.bin", Release('a').entries());
        auto out = run_update({"-u"});
        EXPECT_EQ(out.result, 256 - 4);
        EXPECT_EQ(out.err, "Error: bootargs name fs2 and bootcmd ker1 while fs1 runs: the kernel that runs is unknown\n"
                           "  unknow bootcmd!\nupdate ptb partition faild!\n");
        EXPECT_EQ(read_file(r.at("/sim/flash.log")), "");
    }
    // Only ubi.mtd= on the kernel command line names the root filesystem that runs.
    upfw::sim::Options opt = small_board();
    opt.set = {{"bootargs", "console=ttyAMA0,115200 initrd=fs2 ubi.mtd=fs1 root=ubi0:rootfs rw"}};
    TempRoot r(opt);
    const std::string fs1 = flash(r, 6);
    put(r, "/dev/shm/updateFM.bin", Release('a').entries());
    EXPECT_NE(run_update({"-u"}).result, 0);
    EXPECT_EQ(flash(r, 6), fs1);
}

TEST(AbSafety, BootVariablesTooLongForTheirCopiesSwitchNeitherAndUpdateWritesNothing) {
    const std::string args = "mem=1024M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs";
    const std::string cmd = "nand read 0x1ffffc0 ker1 0x600000;bootm 0x1ffffc0";
    struct Case {
        const char *var;
        std::string value;
    };
    const Case cases[] = {
        {"bootargs", args + " extra=" + std::string(622 - args.size() - 7, 'x')},
        {"bootcmd", cmd + ";echo " + std::string(600 - cmd.size() - 6, 'y')},
    };
    for (const auto &c : cases) {
        upfw::sim::Options opt = small_board();
        opt.set = {{c.var, c.value}};
        TempRoot r(opt);
        const std::string env = flash(r, 1);
        const std::string error = std::string("Error: ") + c.var + " is longer than 511 characters, not stored\n";

        // Refused before anything is stored: no switch is announced and no reboot follows.
        auto sw = run_update({"-S", "2"});
        EXPECT_EQ(sw.result, 255) << c.var;
        EXPECT_EQ(sw.err, error + "switch system faild.\n") << c.var;
        EXPECT_EQ(sw.out.find("Filesys will switch"), std::string::npos) << c.var;
        EXPECT_EQ(flash(r, 1), env) << c.var;  // neither variable stored
        struct stat st;
        EXPECT_NE(::stat(r.at("/sim/reboot.log").c_str(), &st), 0) << c.var;

        write_file(r.at("/sim/flash.log"), "");
        put(r, "/dev/shm/updateFM.bin", Release('a').entries());
        auto up = run_update({"-u"});
        EXPECT_EQ(up.result, 256 - 4) << c.var;
        EXPECT_EQ(up.err, error + "set_env_cmdline faild!\nupdate ptb partition faild!\n") << c.var;
        EXPECT_EQ(read_file(r.at("/sim/flash.log")), "") << c.var;  // nothing erased or written
        EXPECT_EQ(flash(r, 1), env) << c.var;
    }
}

TEST(AbSafety, AnUnfinishedWriteIsNeitherClaimedNorBooted) {
    TempRoot r(small_board());
    append_file(r.at("/dev/mtd7.mtd"), "fail_write=0\n");
    put(r, "/dev/shm/updateFM.bin", Release('a').entries());
    ASSERT_EQ(run_update({"-u"}).result, 256 - 9);
    const auto fs2 = parse_record(var(r, "fs2"));
    EXPECT_TRUE(fs2.incomplete);
    EXPECT_EQ(fs2.fields, 4);
    EXPECT_EQ(fs2.ver, 0u);
    EXPECT_EQ(fs2.size, 0u);
    EXPECT_EQ(run_update({"--show"}).out.find("fs2:"), std::string::npos);

    const std::string env = flash(r, 1);
    auto sw = run_update({"-S", "2"});
    EXPECT_EQ(sw.result, 255);
    EXPECT_EQ(sw.err, "Error: fs2 holds an unfinished write; not switching to it\nswitch system faild.\n");
    EXPECT_EQ(flash(r, 1), env);
    struct stat st;
    EXPECT_NE(::stat(r.at("/sim/reboot.log").c_str(), &st), 0);  // no reboot

    // With the fault gone the same image completes the slot, which can then be switched to.
    write_file(r.at("/dev/mtd7.mtd"), "type=nand\nerasesize=0x20000\nwritesize=2048\noobsize=64\n");
    ASSERT_EQ(run_update({"-u"}).result, 0);
    EXPECT_FALSE(parse_record(var(r, "fs2")).incomplete);
    EXPECT_EQ(run_update({"-S", "1"}).result, 0);
    EXPECT_EQ(run_update({"-S", "2"}).result, 0);
}

TEST(AbSafety, AnInterruptedSingleCopyIsWrittenAgainByTheSameImage) {
    struct Case {
        const char *part;
        int mtd, entry, result;
        TestEntry component;
    };
    // Installed: boot loader 72.1.1.5, logo 72.0.1.1 (variant 1, which a marker that zeroed
    // the version would lose).
    const Case cases[] = {
        {"uboot", 0, 0, 256 - 5, {"bld", std::string(20000, 'u'), v(72, 1, 1, 26)}},
        {"logo", 3, 5, 255, {"jpg", std::string(3 * 2048, 'l'), v(72, 0, 1, 2)}},
    };
    for (const auto &c : cases) {
        upfw::sim::Options opt = small_board();
        opt.versions["logo"] = v(72, 0, 1, 1);
        TempRoot r(opt);
        const std::string desc = read_file(r.at("/dev/mtd" + std::to_string(c.mtd) + ".mtd"));
        append_file(r.at("/dev/mtd" + std::to_string(c.mtd) + ".mtd"), "fail_write=0\n");
        auto e = Release('a').entries();
        e[c.entry] = c.component;
        put(r, "/dev/shm/updateFM.bin", e);
        EXPECT_EQ(run_update({"-u"}).result, c.result) << c.part;
        EXPECT_TRUE(parse_record(var(r, c.part)).incomplete) << c.part;

        write_file(r.at("/dev/mtd" + std::to_string(c.mtd) + ".mtd"), desc);
        auto again = run_update({"-u"});
        ASSERT_EQ(again.result, 0) << c.part << again.err;
        EXPECT_NE(again.out.find(std::string("Update ") + c.part + " partition:"), std::string::npos) << c.part;
        const auto rec = parse_record(var(r, c.part));
        EXPECT_FALSE(rec.incomplete);
        EXPECT_EQ(rec.ver, c.component.version) << c.part;
        EXPECT_TRUE(holds(r, c.mtd, c.component.data)) << c.part;
    }
}

TEST(AbSafety, AnImageChangedAfterItsVerificationIsNeitherRecordedNorBooted) {
    TempRoot r(small_board());
    const std::string image = put(r, "/dev/shm/updateFM.bin", Release('a').entries());
    // The erase utility stands in for anyone who rewrites the file while the update runs: on
    // its first call it changes one byte of the kernel (the first component, at 2048).
    const std::string stub = read_file(r.at("/usr/sbin/flash_eraseall"));
    write_file(r.at("/usr/sbin/flash_eraseall"),
               "#!/bin/sh\n[ -e '" + r.at("/sim/changed") + "' ] || { printf Z | dd of='" + image +
                   "' bs=1 seek=2100 conv=notrunc 2>/dev/null; : > '" + r.at("/sim/changed") + "'; }\n" +
                   stub.substr(stub.find('\n') + 1));
    auto out = run_update({"-u"});
    EXPECT_EQ(out.result, 256 - 8);
    EXPECT_NE(out.err.find("Error: the data written to /dev/mtd5 have CRC-32 0x"), std::string::npos) << out.err;
    EXPECT_TRUE(parse_record(var(r, "ker2")).incomplete);
    EXPECT_TRUE(names_slot(r, '1'));
}

TEST(AbSafety, ARecordIsStoredUnderThePartitionWritten) {
    upfw::sim::Options opt = small_board();
    opt.set = {{"logo", "name:ker1\tver:0x48000001\tsize:65536\tdate:0x07e80111 "}};
    TempRoot r(opt);
    const std::string ker1 = var(r, "ker1");
    auto e = Release('a').entries();
    e[5] = {"jpg", "LOGO", v(72, 0, 0, 2)};
    put(r, "/dev/shm/updateFM.bin", e);
    ASSERT_EQ(run_update({"-u"}).result, 0);
    EXPECT_EQ(var(r, "logo"), "name:logo\tver:0x48000002\tsize:4\tdate:0x07e80111 ");
    EXPECT_EQ(var(r, "ker1"), ker1);
}

TEST(AbSafety, ExtractionReplacesAPlantedLinkAndNeverLosesTheImage) {
    TempRoot r;
    std::vector<TestEntry> e(8);
    e[3] = {"cmd", "#!/bin/sh\n"};
    const std::string image = put(r, "/image.bin", e);
    const std::string victim = r.at("/shadow");
    write_file(victim, "root:secret\n");
    ::chmod(victim.c_str(), 0640);
    ASSERT_EQ(::symlink(victim.c_str(), r.at("/dev/shm/update").c_str()), 0);
    ASSERT_EQ(run_update({"-e", image}).result, 0);
    struct stat st;
    ASSERT_EQ(::lstat(r.at("/dev/shm/update").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_EQ(read_file(r.at("/dev/shm/update")), "#!/bin/sh\n");
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(victim), "root:secret\n");

    // The image at the output path itself is refused and kept, whole.
    const std::string at_output = put(r, "/dev/shm/update", e);
    const std::string bytes = read_file(at_output);
    auto same = run_update({"-e", at_output});
    EXPECT_EQ(same.result, 255);
    EXPECT_EQ(same.err.rfind("Error: /dev/shm/update is the image itself, not overwritten\nwrite /dev/shm/update faild\n", 0),
              0u);
    EXPECT_EQ(read_file(at_output), bytes);

    // A copy that fails leaves the earlier output as it was, and no stray file beside it.
    write_file(r.at("/dev/shm/update"), "old helper\n");
    e[3].size = 5000;
    EXPECT_EQ(run_update({"-e", put(r, "/short.bin", e)}).result, 255);
    EXPECT_EQ(read_file(r.at("/dev/shm/update")), "old helper\n");
    std::vector<std::string> names;
    if (DIR *d = ::opendir(r.at("/dev/shm").c_str())) {
        while (const dirent *de = ::readdir(d))
            if (de->d_name[0] != '.' || (std::string(de->d_name) != "." && std::string(de->d_name) != ".."))
                names.push_back(de->d_name);
        ::closedir(d);
    }
    EXPECT_EQ(names, std::vector<std::string>{"update"});
}

}  // namespace
