// upfw-sim end to end: a board laid out from any directory, its help, the options it refuses,
// the flash descriptions it reads, and the device's power coming back after a cut.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using upfw::test::append_file;
using upfw::test::make_image;
using upfw::test::Output;
using upfw::test::read_file;
using upfw::test::run_program;
using upfw::test::run_update;
using upfw::test::TempDir;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

Output sim(const std::vector<std::string> &args) { return run_program(UPFW_TEST_SIM, args); }

// "create ROOT ARGS...", with the emulator the command stubs need in a cross build.
std::vector<std::string> create_args(const std::string &root, const std::vector<std::string> &args = {}) {
    std::vector<std::string> all = {"create", root};
    if (!std::string(UPFW_TEST_EMULATOR).empty()) all.insert(all.end(), {"--emulator", UPFW_TEST_EMULATOR});
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The names in a directory.
std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (const dirent *e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

// Works in another directory while it lives.
class InDirectory {
public:
    explicit InDirectory(const std::string &dir) {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) was_ = cwd;
        EXPECT_EQ(::chdir(dir.c_str()), 0) << dir;
    }
    ~InDirectory() {
        if (::chdir(was_.c_str()) != 0) std::abort();
    }
    InDirectory(const InDirectory &) = delete;
    InDirectory &operator=(const InDirectory &) = delete;

private:
    std::string was_ = "/";
};

std::string first_line(const std::string &s) { return s.substr(0, s.find('\n')); }

// A kernel and a root filesystem for the board, at the default image path.
void put_image(const TempRoot &r) {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", "", 0x4801011A};  // names the platform, carries no boot loader
    e[1] = {"ker", "KERNEL" + std::string(2048, 'k'), 0x4801000A};
    e[2] = {"fs", "ROOTFS" + std::string(4096, 'f'), 0x4809010A};
    write_file(r.at("/dev/shm/updateFM.bin"), make_image(e));
}

TEST(SimTool, ARelativeRootServesAnUpdateRunFromAnotherDirectory) {
    TempDir d;
    ASSERT_EQ(::mkdir(d.at("/elsewhere").c_str(), 0755), 0);
    {
        InDirectory here(d.path());
        auto made = sim(create_args("rr"));
        ASSERT_EQ(made.result, 0) << made.err;
    }
    // The switch runs the board's reboot command, a stub that names the root.
    InDirectory there(d.at("/elsewhere"));
    ::setenv("UPFW_ROOT", d.at("/rr").c_str(), 1);
    auto out = run_update({"-S", "2"});
    ::unsetenv("UPFW_ROOT");
    EXPECT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(read_file(d.at("/rr/sim/reboot.log")), "reboot\n");
    EXPECT_NE(read_file(d.at("/rr/proc/cmdline")).find(" ubi.mtd=fs2 "), std::string::npos);
}

struct CallCase {
    std::vector<std::string> args;
    int result;
    std::string out;  // what stdout starts with ("" = nothing at all)
    std::string err;  // the first line of stderr ("" = nothing at all)
};

TEST(SimTool, HelpGoesToStdoutUsageErrorsToStderrAndNeitherTouchesAnything) {
    const CallCase cases[] = {
        {{"--help"}, 0, "Usage:\n  upfw-sim create ROOT [OPTION]...", ""},
        {{"create", "--help"}, 0, "Usage: upfw-sim create ROOT [OPTION]...\n", ""},
        {{"create", "rr", "--slot", "2", "--help"}, 0, "Usage: upfw-sim create ROOT [OPTION]...\n", ""},
        {{"reboot", "--help"}, 0, "Usage: upfw-sim --root ROOT reboot\n", ""},
        {{"--root", "rr", "flash_eraseall", "--help"}, 0, "Usage: upfw-sim --root ROOT flash_eraseall DEV\n", ""},
        {{"--root", "rr", "poweron", "--help"}, 0, "Usage: upfw-sim --root ROOT poweron\n", ""},
        {{}, 2, "", "Usage:"},
        {{"frobnicate"}, 2, "", "upfw-sim: unknown command frobnicate"},
        {{"create"}, 2, "", "upfw-sim: create needs a ROOT first"},
        {{"create", "--slot", "2"}, 2, "", "upfw-sim: create needs a ROOT first"},
        {{"create", "rr", "--slot"}, 2, "", "upfw-sim: --slot needs N"},
        {{"create", "rr", "--colour", "blue"}, 2, "", "upfw-sim: unknown option --colour"},
        {{"--root", "rr"}, 2, "", "upfw-sim: --root needs a ROOT and a COMMAND"},
        {{"--root", "rr", "halt"}, 2, "", "upfw-sim: unknown command halt"},
        {{"reboot"}, 2, "", "upfw-sim: reboot needs --root ROOT before it"},
        {{"--root", "rr", "reboot", "now"}, 2, "", "upfw-sim: reboot takes no arguments"},
        {{"--root", "rr", "poweron"}, 2, "", "upfw-sim: rr: not a simulated device (it has no sim/ directory)"},
    };
    for (const CallCase &c : cases) {
        TempDir d;
        InDirectory here(d.path());
        const std::string call = ::testing::PrintToString(c.args);
        auto out = sim(c.args);
        EXPECT_EQ(out.result, c.result) << call;
        EXPECT_EQ(out.out.substr(0, c.out.size()), c.out) << call;
        if (c.out.empty()) {
            EXPECT_EQ(out.out, "") << call;
        }
        EXPECT_EQ(first_line(out.err), c.err) << call;
        EXPECT_EQ(entries(d.path()), std::vector<std::string>{}) << call;
    }
}

struct Refusal {
    std::vector<std::string> args;
    std::string err;  // the whole of stderr, or the start of its one line when it ends in no '\n'
};

TEST(SimTool, OptionsThatDescribeNoBoardAreRefusedNamingOptionAndValue) {
    const Refusal cases[] = {
        {{"--size", "foo=0x20000"}, "upfw-sim: --size foo=0x20000: no partition \"foo\"\n"},
        {{"--size", "fs1=0x1000"}, "upfw-sim: --size fs1=0x1000: not a non-zero multiple of the erase block of fs1 (0x20000)\n"},
        {{"--size", "env=0x10000"}, "upfw-sim: --size env=0x10000: too small for the two environment copies (0x20000)\n"},
        {{"--size", "fs1=4G"}, "upfw-sim: --size fs1=4G: expected NAME=BYTES\n"},
        {{"--bad", "logo=99"}, "upfw-sim: --bad logo=99: block 99 is beyond the end of logo (2 blocks)\n"},
        // Blocks are checked against the size given, wherever it stands.
        {{"--bad", "fs1=15", "--size", "fs1=0x100000"},
         "upfw-sim: --bad fs1=15: block 15 is beyond the end of fs1 (8 blocks)\n"},
        {{"--bad", "uboot=1"}, "upfw-sim: --bad uboot=1: uboot is NOR flash, which has no bad blocks\n"},
        {{"--bad", "nosuch=1"}, "upfw-sim: --bad nosuch=1: no partition \"nosuch\"\n"},
        {{"--bad", "fs1="}, "upfw-sim: --bad fs1=: expected NAME=B[,B...]\n"},
        {{"--record", "nosuch=1.2.3.4"}, "upfw-sim: --record nosuch=1.2.3.4: no partition \"nosuch\"\n"},
        {{"--record", "fs1=1.2.3"}, "upfw-sim: --record fs1=1.2.3: expected NAME=VER\n"},
        {{"--poe-id", "0x1e3"}, "upfw-sim: --poe-id 0x1e3: the PoE identifier is one byte (0 to 0xff)\n"},
        {{"--phy-id", "0x10000"}, "upfw-sim: --phy-id 0x10000: the PHY identifier register holds 16 bits (0 to 0xffff)\n"},
        {{"--phy-id", "-1"}, "upfw-sim: --phy-id -1: expected N\n"},
        {{"--set", "=x"}, "upfw-sim: --set =x: expected NAME=VALUE\n"},
        {{"--set", "sn=" + std::string(70000, 'x')}, "upfw-sim: --set: the environment takes "},
        {{"--unset", "bootarg"}, "upfw-sim: --unset bootarg: no variable \"bootarg\" in the environment\n"},
        {{"--slot", "3"}, "upfw-sim: --slot 3: the slot is 1 or 2\n"},
        {{"--mdio", "slow"}, "upfw-sim: --mdio slow: not stuck, hang or fail\n"},
    };
    for (const Refusal &c : cases) {
        TempDir d;
        const std::string call = ::testing::PrintToString(c.args).substr(0, 80);
        auto out = sim(create_args(d.at("/rr"), c.args));
        EXPECT_EQ(out.result, 2) << call;
        EXPECT_EQ(out.err.substr(0, c.err.size()), c.err) << call;
        EXPECT_EQ(std::count(out.err.begin(), out.err.end(), '\n'), 1) << call << "\n" << out.err;
        EXPECT_FALSE(exists(d.at("/rr"))) << call;
    }
}

TEST(SimTool, ABoardIsLaidOutOnlyWhereNothingElseLives) {
    TempDir d;
    write_file(d.at("/notes"), "mine\n");
    auto out = sim(create_args(d.path()));
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(out.err, "upfw-sim: " + d.path() + ": a directory that holds other files than a simulated device\n");
    EXPECT_EQ(entries(d.path()), std::vector<std::string>{"notes"});

    // A board laid out before is laid out again.
    ASSERT_EQ(::unlink(d.at("/notes").c_str()), 0);
    ASSERT_EQ(sim(create_args(d.path())).result, 0);
    auto again = sim(create_args(d.path(), {"--slot", "2"}));
    EXPECT_EQ(again.result, 0) << again.err;
    EXPECT_NE(read_file(d.at("/proc/cmdline")).find(" ubi.mtd=fs2 "), std::string::npos);
}

TEST(SimTool, TheEraseCommandErasesOnlyPartitionsOfItsDevice) {
    TempRoot r;
    TempDir other;
    const std::string victim = other.at("/data");
    write_file(victim, std::string(0x20000, '\0'));
    const std::string escape = r.at("/dev/../../") + other.path().substr(other.path().rfind('/') + 1) + "/data";
    for (const std::string &path : {victim, escape}) {
        auto out = sim({"--root", r.path(), "flash_eraseall", path});
        EXPECT_EQ(out.result, 1) << path;
        EXPECT_EQ(out.err, "flash_eraseall: " + path + ": not a partition of the simulated device under " + r.path() + "\n");
    }
    EXPECT_EQ(read_file(victim), std::string(0x20000, '\0'));
}

TEST(SimTool, AFlashDescriptionThatCannotBeReadNamesTheFileAndTheKey) {
    const std::pair<const char *, const char *> cases[] = {
        {"fail_wirte=1\n", "upfw: /dev/mtd7.mtd: unknown key \"fail_wirte\"\n"},
        {"fail_write=1,x\n", "upfw: /dev/mtd7.mtd: bad value \"1,x\" for key \"fail_write\"\n"},
        {"weak\n", "upfw: /dev/mtd7.mtd: line \"weak\" is not key=value\n"},
    };
    for (const auto &c : cases) {
        TempRoot r;
        put_image(r);
        append_file(r.at("/dev/mtd7.mtd"), c.first);
        const std::string fs2 = read_file(r.at("/dev/mtd7"));
        auto out = run_update({"-u"});
        // Still a refusal: the partition does not open and is left as it was.
        EXPECT_EQ(out.result, 256 - 9) << c.first;
        EXPECT_EQ(out.err, std::string(c.second) + "open flash: Invalid argument\nupdate filesys partition faild!\n");
        EXPECT_EQ(read_file(r.at("/dev/mtd7")), fs2) << c.first;
    }
}

TEST(SimTool, PowerOnAfterACutClearsItAndBootsWhatIsStored) {
    TempRoot r;
    put_image(r);
    ASSERT_EQ(run_update({"-u"}).result, 0);  // a switch to slot 2 is stored; slot 1 runs
    write_file(r.at("/sim/flash.log"), "");
    write_file(r.at("/sim/powercut"), "after=0\n");
    ASSERT_EQ(run_update({"-u"}).result, 128 + 9);  // cut at its first flash operation
    ASSERT_TRUE(exists(r.at("/sim/poweroff")));
    // While the power is off nothing happens, and the tool says how to bring it back.
    auto off = run_update({"-u"});
    EXPECT_EQ(off.result, 128 + 9);
    EXPECT_NE(off.err.find("upfw: the simulated device is powered off (upfw-sim --root " + r.path() + " poweron)\n"),
              std::string::npos)
        << off.err;

    auto on = sim({"--root", r.path(), "poweron"});
    EXPECT_EQ(on.result, 0) << on.err;
    EXPECT_EQ(on.out + on.err, "");
    for (const char *f : {"/sim/powercut", "/sim/poweroff", "/sim/flashops"}) EXPECT_FALSE(exists(r.at(f))) << f;
    EXPECT_TRUE(exists(r.at("/sim/flash.log")));
    EXPECT_FALSE(exists(r.at("/sim/reboot.log")));  // a power cycle, not a reboot that was asked for
    EXPECT_NE(read_file(r.at("/proc/cmdline")).find(" ubi.mtd=fs2 "), std::string::npos);

    // Slot 2 runs now: the next update writes slot 1 and switches to it.
    auto again = run_update({"-u"});
    EXPECT_EQ(again.result, 0) << again.err;
    EXPECT_NE(upfw::test::boot_env(r.path()).get("bootargs").find(" ubi.mtd=fs1 "), std::string::npos);
}

}  // namespace
