#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fixture.h"
#include "upfw/update.h"

namespace {

using upfw::test::capture;
using upfw::test::EnvCopy;
using upfw::test::read_env_copy;
using upfw::test::read_file;
using upfw::test::run_update;
using upfw::test::TempRoot;
using upfw::test::write_file;

const std::string kUsage = read_file(UPFW_TEST_FIXTURES "/usage.txt");

std::map<std::string, std::string> vars(const EnvCopy &c) {
    std::map<std::string, std::string> m;
    for (const auto &e : c.entries) m[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
    return m;
}

TEST(UpdateCli, UsageTextAndHelpGoesOn) {
    TempRoot r;
    auto help = run_update({"--help"});
    EXPECT_EQ(help.result, 0);
    EXPECT_EQ(help.out, kUsage);
    EXPECT_EQ(help.err, "");
    // --help prints and parsing goes on: the serial number after it is stored.
    auto more = run_update({"--he", "-N", "AFTER"});
    EXPECT_EQ(more.result, 0);
    EXPECT_EQ(more.out, kUsage);
    EXPECT_EQ(read_env_copy(r.path(), 0).get("sn"), "AFTER");
}

TEST(UpdateCli, NoArgumentsDoNothing) {
    TempRoot r;
    write_file(r.at("/mnt/nand/upfw.log"), "-9\nold\n");
    const std::string before = read_file(r.at("/dev/mtd1"));
    auto out = run_update({});
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(read_file(r.at("/dev/mtd1")), before);
    EXPECT_EQ(read_file(r.at("/mnt/nand/upfw.log")), "-9\nold\n");
}

struct SettingCase {
    std::vector<std::string> args;
    std::string var, value;
};

TEST(UpdateCli, EachSettingChangesExactlyItsVariableInBothCopies) {
    const SettingCase cases[] = {
        {{"-N", "VH99"}, "sn", "VH99"},
        {{"--sn=VH98"}, "sn", "VH98"},
        {{"-C", "console=ttyAMA0 ubi.mtd=fs1"}, "bootargs", "console=ttyAMA0 ubi.mtd=fs1"},
        {{"-D", "5"}, "bootdelay", "5"},
        {{"--delay", "0x10"}, "bootdelay", "16"},
        {{"--del", "010"}, "bootdelay", "8"},
        {{"--pri_file", "kernel.img"}, "bootfile", "kernel.img"},
        {{"--serverip", "10.0.0.2"}, "serverip", "10.0.0.2"},
        {{"-E", "00:11:22:33:44:55"}, "ethaddr", "00:11:22:33:44:55"},
        {{"--eth0_mac", "00:11:22:33:44:56"}, "ethaddr", "00:11:22:33:44:56"},
        {{"--eth0_ip", "10.0.0.9"}, "ipaddr", "10.0.0.9"},
        {{"--eth0_mask", "255.0.0.0"}, "netmask", "255.0.0.0"},
        {{"--eth0_gw", "10.0.0.1"}, "gateway", "10.0.0.1"},
        {{"-W", "00:aa:bb:cc:dd:ee"}, "wifimac", "00:aa:bb:cc:dd:ee"},
        {{"--wifi0_ip", "10.1.0.9"}, "wifiip", "10.1.0.9"},
        {{"--wifi0_mask", "255.255.0.0"}, "wifinm", "255.255.0.0"},
        {{"--wifi0_g=10.1.0.1"}, "wifigw", "10.1.0.1"},
        {{"-B", "1"}, "bootState", "Done"},
        {{"--uboot_ver", "72.1.2.3"}, "uboot", "name:uboot\tver:0x48010203\tsize:262144\tdate:0x07e80111 "},
    };
    for (const auto &c : cases) {
        TempRoot r;
        const EnvCopy before = read_env_copy(r.path(), 0);
        auto out = run_update(c.args);
        EXPECT_EQ(out.result, 0) << c.args[0] << out.err;
        EXPECT_EQ(out.out, "");
        EXPECT_EQ(out.err, "");
        const EnvCopy c0 = read_env_copy(r.path(), 0), c1 = read_env_copy(r.path(), 1);
        EXPECT_TRUE(c0.crc_ok && c1.crc_ok) << c.args[0];
        EXPECT_EQ(c1.flag, static_cast<uint8_t>(before.flag + 1));
        EXPECT_EQ(c0.flag, static_cast<uint8_t>(before.flag + 2));
        EXPECT_EQ(c0.entries, c1.entries);
        auto want = vars(before);
        want[c.var] = c.value;
        EXPECT_EQ(vars(c0), want) << c.args[0];
        EXPECT_EQ(c0.entries.back(), c.var + "=" + c.value);  // a set moves it to the end
    }
}

TEST(UpdateCli, SettingsWithoutEffectWriteNothing) {
    TempRoot r;
    const std::string before = read_file(r.at("/dev/mtd1"));
    auto out = run_update({"--auto_boot", "1", "--auto_dl", "0", "--pri_addr", "0x81000000", "-B", "0x0"});
    EXPECT_EQ(out.result, 0);
    // What they are given is never refused: they store nothing, so nothing needs protecting.
    auto odd = run_update({"--auto_boot", "256", "--auto_dl", "x", "--pri_addr", "0x100000000"});
    EXPECT_EQ(odd.result, 0);
    EXPECT_EQ(odd.err, "");
    // bootState holds None, so asking for None writes nothing either.
    EXPECT_EQ(read_file(r.at("/dev/mtd1")), before);
}

struct RefusalCase {
    std::vector<std::string> args;
    std::string err;
};

TEST(UpdateCli, BadArgumentsAreRefusedAndChangeNothing) {
    const RefusalCase cases[] = {
        {{"-S", "x"}, "Error: -S takes 0, 1 or 2\nswitch system faild.\n"},
        {{"-S", "3"}, "Error: -S takes 0, 1 or 2\nUnknown fs index, please choose 1 or 2\nswitch system faild.\n"},
        {{"-S", ""}, "Error: -S takes 0, 1 or 2\nswitch system faild.\n"},
        {{"-D", "abc"}, "Error: -D takes a whole number from 0 to 255\nupdate bootdelay faild.\n"},
        {{"--delay", "300"}, "Error: -D takes a whole number from 0 to 255\nupdate bootdelay faild.\n"},
        {{"-D", "-1"}, "Error: -D takes a whole number from 0 to 255\nupdate bootdelay faild.\n"},
        {{"-D", "5x"}, "Error: -D takes a whole number from 0 to 255\nupdate bootdelay faild.\n"},
        {{"-B", "none"}, "Error: -B takes a whole number: 0 for None, any other for Done\nset boot state faild.\n"},
        {{"-N", std::string(32, 's')}, "Error: -N takes at most 31 characters\nupdate sn faild.\n"},
        {{"--pri_file", std::string(32, 'f')}, "Error: --pri_file takes at most 31 characters\nupdate pri_file faild.\n"},
        {{"-C", std::string(512, 'c')}, "Error: -C takes at most 511 characters\nupdate cmdline faild.\n"},
        {{"--uboot_ver", "1.2"}, "update uboot version faild.\n"},
        {{std::string(128, 'p')}, "Error: image path longer than 127 characters\n"},
    };
    for (const auto &c : cases) {
        TempRoot r;
        const std::string before = read_file(r.at("/dev/mtd1"));
        auto out = run_update(c.args);
        EXPECT_EQ(out.result, 255) << c.args[0];
        EXPECT_EQ(out.err, c.err) << c.args[0];
        EXPECT_EQ(read_file(r.at("/dev/mtd1")), before) << c.args[0];
        EXPECT_EQ(read_file(r.at("/sim/reboot.log")), "") << c.args[0];
        EXPECT_EQ(out.out.substr(out.out.size() - kUsage.size()), kUsage) << c.args[0];
    }
    // Just fitting values are taken.
    TempRoot r;
    EXPECT_EQ(run_update({"-N", std::string(31, 's'), "-D", "255", std::string(127, 'p')}).result, 0);
    EXPECT_EQ(read_env_copy(r.path(), 0).get("bootdelay"), "255");
}

TEST(UpdateCli, UnknownOptionStopsParsingAfterEarlierSettings) {
    TempRoot r;
    auto out = run_update({"-N", "KEPT", "-D", "7", "--bogus", "-C", "lost"});
    EXPECT_EQ(out.result, 255);
    const std::string prog = UPFW_TEST_UPDATE;  // the parser names the program as it was started
    EXPECT_EQ(out.err, prog + ": unrecognized option '--bogus'\nError: Unknow option\n");
    EXPECT_EQ(out.out, kUsage);
    const EnvCopy c = read_env_copy(r.path(), 0);
    EXPECT_EQ(c.get("sn"), "KEPT");
    EXPECT_EQ(c.get("bootdelay"), "7");
    EXPECT_EQ(c.get("bootargs").find("lost"), std::string::npos);

    auto q = run_update({"-?"});
    EXPECT_EQ(q.result, 255);
    EXPECT_EQ(q.err, "Error: Unknow option\n");
    auto ambiguous = run_update({"--eth0_ma", "x"});
    EXPECT_EQ(ambiguous.result, 255);
    EXPECT_NE(ambiguous.err.find("ambiguous"), std::string::npos);
    auto missing = run_update({"-N"});
    EXPECT_EQ(missing.result, 255);
    EXPECT_EQ(missing.err, prog + ": option requires an argument -- 'N'\nError: Unknow option\n");
}

TEST(UpdateCli, FailingSetterDoesNotStopLaterSetters) {
    TempRoot r;
    auto out = run_update({"-D", "abc", "-N", "LATER", "-E", "00:00:00:00:00:01"});
    EXPECT_EQ(out.result, 255);
    EXPECT_EQ(out.err, "Error: -D takes a whole number from 0 to 255\nupdate bootdelay faild.\n");
    EXPECT_EQ(out.out, kUsage);
    EXPECT_EQ(read_env_copy(r.path(), 0).get("sn"), "LATER");
    EXPECT_EQ(read_env_copy(r.path(), 0).get("ethaddr"), "00:00:00:00:00:01");
}

TEST(UpdateCli, SystemSwitchStoresBothSlotsThenReboots) {
    TempRoot r;
    auto out = run_update({"-S", "2"});
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, "\tFilesys will switch to fs2 after reboot!\n");
    EXPECT_EQ(read_file(r.at("/sim/reboot.log")), "reboot\n");
    const EnvCopy c = read_env_copy(r.path(), 0);
    EXPECT_NE(c.get("bootargs").find("ubi.mtd=fs2"), std::string::npos);
    EXPECT_NE(c.get("bootcmd").find("ker2"), std::string::npos);

    // The reboot program missing is a failed switch command.
    ::unlink(r.at("/sbin/reboot").c_str());
    auto gone = run_update({"--system", "0"});
    EXPECT_EQ(gone.result, 255);
    EXPECT_EQ(gone.err, "sh: 1: reboot: not found\nswitch system faild.\n");
    EXPECT_NE(read_env_copy(r.path(), 0).get("bootcmd").find("ker1"), std::string::npos);
}

TEST(UpdateCli, NoSwitchAndNoRebootWithoutAnEnvironment) {
    TempRoot r;
    ::unlink(r.at("/dev/mtd1").c_str());
    auto out = run_update({"-S", "2"});
    EXPECT_EQ(out.result, 255);
    EXPECT_EQ(out.err, "Cannot access MTD device /dev/mtd1: No such file or directory\n"
                       "## Error: environment not loaded\nswitch system faild.\n");
    EXPECT_EQ(read_file(r.at("/sim/reboot.log")), "");
}

TEST(UpdateCli, ListingsPrintWhileParsing) {
    TempRoot r;
    auto out = run_update({"--version", "--show"});
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out.rfind("Varnholt update version: 0.1.0.1\nuboot:\n\tversion = 72.1.1.5\n\tsize    = 256 K\n", 0), 0u);
    EXPECT_NE(out.out.find("Varnholt update version: 1.0.1 \n"), std::string::npos);
    EXPECT_NE(out.out.find("ker1:(current)\n"), std::string::npos);
    EXPECT_NE(out.out.find("Mtd information: \ndev:    size   erasesize  name\nmtd0: 00080000 00010000 \"uboot\"\n"),
              std::string::npos);
}

TEST(UpdateCli, BrokenEnvironmentStillParsesAndTouchesNoFlash) {
    TempRoot r;
    write_file(r.at("/dev/mtd1.mtd"), "type=9\n");
    auto out = run_update({"-N", "X", "--show"});
    EXPECT_EQ(out.result, 255);
    EXPECT_EQ(out.err.find("Unsupported flash type 9\n"), 0u);
    EXPECT_NE(out.err.find("update sn faild.\n"), std::string::npos);
    EXPECT_NE(out.err.find("hs_printenv faild!\n"), std::string::npos);
}

// A board and an image that suits it (9.x onto 9.x) or not (8.x onto 9.x).
struct Jobs {
    TempRoot root;
    std::string image(bool compatible, const std::string &name = "/dev/shm/updateFM.bin") {
        std::vector<upfw::test::TestEntry> e(8);
        e[0] = {"bld", "B", 0x4801011A};
        e[1] = {"ker", "kernel", 0x4801000A};
        e[2] = {"fs", "rootfs", compatible ? 0x4809010Au : 0x4808010Au};
        e[3] = {"cmd", "#!/bin/sh\n"};
        write_file(root.at(name), upfw::test::make_image(e));
        return root.at(name);
    }
    std::string log() { return read_file(root.at("/mnt/nand/upfw.log")); }
};

TEST(UpdateCli, CheckComesFirstAndARefusalIsLogged) {
    Jobs j;
    j.image(false);
    auto out = run_update({"-l", "-u"});
    EXPECT_EQ(out.result, 242);
    EXPECT_EQ(out.out, "version = 8.1.10\ndo not support back to < 9.0.1 form 9.0.x. \n");  // no listing
    EXPECT_EQ(out.err, "firmware mismatch!\n");
    EXPECT_EQ(j.log(), "-14\nfirmware mismatch!\n");

    auto extract = run_update({"-a"});
    EXPECT_EQ(extract.result, 242);
    struct stat st;
    EXPECT_NE(::stat(j.root.at("/dev/shm/update").c_str(), &st), 0);
}

TEST(UpdateCli, OemExtractionSkipsTheCheck) {
    Jobs j;
    const std::string img = j.image(false, "/tmp-image");
    auto out = run_update({img, "-e"});
    EXPECT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.out, "Analysis image " + img + " \n==============name " + img + "=\nCreate file: /dev/shm/update \n");
    EXPECT_EQ(read_file(j.root.at("/dev/shm/update")), "#!/bin/sh\n");
    struct stat st;
    EXPECT_NE(::stat(j.root.at("/mnt/nand/upfw.log").c_str(), &st), 0);  // success writes no log
}

TEST(UpdateCli, ListingThenExtractionOfTheDefaultImage) {
    Jobs j;
    j.image(true);
    auto out = run_update({"-a", "--list"});
    EXPECT_EQ(out.result, 0) << out.err;
    const std::string shown = "/dev/shm/updateFM.bin";
    EXPECT_EQ(out.out.rfind("version = 9.1.10\nList upfw " + shown + " infomation.\nImage info: \nbld: \n", 0), 0u);
    EXPECT_NE(out.out.find("Analysis image " + shown + " \n"), std::string::npos);
    EXPECT_EQ(read_file(j.root.at("/dev/shm/update")), "#!/bin/sh\n");
}

TEST(UpdateCli, JobFailures) {
    Jobs j;
    // A listing failure exits with its result and writes no log.
    auto list = run_update({"-l", j.root.at("/missing")});
    EXPECT_EQ(list.result, 255);
    EXPECT_EQ(list.err, "open output imager: No such file or directory\nList upfw " + j.root.at("/missing") +
                            " infomation failed!\n");
    struct stat st;
    EXPECT_NE(::stat(j.root.at("/mnt/nand/upfw.log").c_str(), &st), 0);

    // A failed extraction is logged with its own code and message.
    std::vector<upfw::test::TestEntry> e(8);
    e[3] = {"cmd", "x"};
    e[3].size = 5000;
    const std::string bad = j.root.at("/bad.img");
    write_file(bad, upfw::test::make_image(e));
    auto ex = run_update({"-e", bad});
    EXPECT_EQ(ex.result, 255);
    EXPECT_EQ(ex.err, "read input imager: No data available\nwrite /dev/shm/update faild\nAnalysis " + bad + " faild!\n");
    EXPECT_EQ(j.log(), "-1\nAnalysis " + bad + " faild!\n");
}

TEST(UpdateCli, UpdateInstallsTheOtherSlotAndLogsTheResult) {
    Jobs j;
    j.image(true);
    auto out = run_update({"-u"});
    EXPECT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.err, "update success!\n");
    EXPECT_EQ(j.log(), "0\nupdate success!\n");
    EXPECT_NE(out.out.find("Begin update /dev/shm/updateFM.bin \n"), std::string::npos);
    EXPECT_NE(out.out.find("Update ker2 partition:\ndev \t    = /dev/mtd5\n"), std::string::npos);
    EXPECT_EQ(out.out.substr(out.out.size() - 16), "Update Success:\n");
    const EnvCopy c = read_env_copy(j.root.path(), 0);
    EXPECT_NE(c.get("bootargs").find("ubi.mtd=fs2"), std::string::npos);
    EXPECT_NE(c.get("bootcmd").find("ker2"), std::string::npos);
    EXPECT_EQ(read_file(j.root.at("/dev/mtd5")).substr(0, 6), "kernel");
    EXPECT_EQ(read_file(j.root.at("/dev/mtd7")).substr(0, 6), "rootfs");

    // A failing update exits with its code and logs its text.
    std::vector<upfw::test::TestEntry> e(8);
    e[0] = {"bld", "B", 0x4801011A};
    e[2] = {"fs", "rootfs", 0x4809010A};
    const std::string no_ker = j.root.at("/no-ker.img");
    write_file(no_ker, upfw::test::make_image(e));
    auto bad = run_update({"-u", no_ker});
    EXPECT_EQ(bad.result, 256 - 8);
    EXPECT_EQ(bad.err, "update kernel partition faild!\n");
    EXPECT_EQ(j.log(), "-8\nupdate kernel partition faild!\n");
}

// Runs update with its standard error on a terminal (a pseudo-terminal read here) and its
// standard output discarded; returns what the terminal showed.
std::string run_update_on_terminal(const std::vector<std::string> &args) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(::grantpt(master), 0);
    EXPECT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    std::vector<std::string> argv;
    const std::string emulator = UPFW_TEST_EMULATOR;
    if (!emulator.empty()) argv.push_back(emulator);
    argv.push_back(UPFW_TEST_UPDATE);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, slave.c_str(), O_RDWR | O_NOCTTY, 0);
    pid_t pid;
    EXPECT_EQ(::posix_spawnp(&pid, cargv[0], &fa, nullptr, cargv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    std::string shown;
    char buf[4096];
    ssize_t n;
    // The terminal reads end (EIO) once the program has closed it, at its exit.
    while ((n = ::read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) shown.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    return shown;
}

TEST(UpdateCli, ProgressIsDrawnOnATerminalAndClearedOnlyThere) {
    Jobs j;
    j.image(true);
    const std::string shown = run_update_on_terminal({"-u"});
    for (const char *part : {"\rker2: ", "\rfs2: "})
        EXPECT_NE(shown.find(part), std::string::npos) << part << "\n" << shown;
    EXPECT_NE(shown.find(" KiB written and verified, "), std::string::npos) << shown;
    // Each line is cleared before the result, which stands alone at the end.
    EXPECT_NE(shown.find("\r\033[K"), std::string::npos);
    EXPECT_EQ(shown.substr(shown.size() - std::strlen("\r\033[Kupdate success!\r\n")), "\r\033[Kupdate success!\r\n");
}

// Runs UPFW_log in a child with a file size limit, so that its log writes fail part-way;
// its stderr is a pipe, which the limit does not cover.
upfw::test::Output log_with_limit(rlim_t limit, const char *message) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 2);
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &rl);
        ::_exit(UPFW_log(-9, message) & 0xFF);
    }
    ::close(fds[1]);
    upfw::test::Output out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.err.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    out.result = WEXITSTATUS(status);
    return out;
}

TEST(ResultLog, WritesCodeAndMessageAndReportsFailures) {
    TempRoot r;
    write_file(r.at("/mnt/nand/upfw.log"), std::string(1000, 'o'));
    auto ok = capture([] { return UPFW_log(0, "update success!\n"); });
    EXPECT_EQ(ok.result, 16);
    EXPECT_EQ(ok.err, "update success!\n");
    EXPECT_EQ(read_file(r.at("/mnt/nand/upfw.log")), "0\nupdate success!\n");

    const std::string long_msg(300, 'm');
    auto cut = capture([&] { return UPFW_log(-14, long_msg.c_str()); });
    EXPECT_EQ(cut.result, 255);
    EXPECT_EQ(cut.err, long_msg);
    EXPECT_EQ(read_file(r.at("/mnt/nand/upfw.log")), "-14\n" + std::string(255, 'm'));

    auto head = log_with_limit(1, "msg\n");
    EXPECT_EQ(head.result, 255);
    EXPECT_EQ(head.err, "write /mnt/nand/upfw.log: File too large\n");
    auto body = log_with_limit(4, "msg\n");
    EXPECT_EQ(body.result, 255);
    EXPECT_EQ(body.err, "msg\nwrite upfw.log: File too large\n");

    ::unlink(r.at("/mnt/nand/upfw.log").c_str());
    ::rmdir(r.at("/mnt/nand").c_str());
    auto no_dir = capture([] { return UPFW_log(-1, "update faild!\n"); });
    EXPECT_EQ(no_dir.result, -1);
    EXPECT_EQ(no_dir.err, "open /mnt/nand/upfw.log: No such file or directory\n");
}

}  // namespace
