// Flash faults during whole updates on the simulated device: bad blocks, failing erases and
// writes, a partition too small, and a power cut after every single flash operation.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "upfw/env.h"

namespace {

using upfw::test::append_file;
using upfw::test::capture;
using upfw::test::make_image;
using upfw::test::read_env_copy;
using upfw::test::read_file;
using upfw::test::run_update;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

const std::string kKernel = "KERNEL" + std::string(3 * 2048 + 94, 'k');  // 3 pages and 100 bytes
const std::string kRootfs = "ROOTFS" + std::string(5 * 2048 - 6, 'f');   // 5 pages

upfw::sim::Options small_board() {
    upfw::sim::Options opt;
    for (const char *p : {"ker1", "ker2", "fs1", "fs2"}) opt.sizes[p] = 0x40000;
    return opt;
}

void put_image(const TempRoot &r, const std::string &fs = kRootfs) {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", "", 0x4801011A};  // names the platform, carries no boot loader
    e[1] = {"ker", kKernel, 0x4801000A};
    e[2] = {"fs", fs, 0x4809010A};
    write_file(r.at("/dev/shm/updateFM.bin"), make_image(e));
}

bool on_new_slot(const TempRoot &r) {
    return read_env_copy(r.path(), 0).get("bootargs").find("=fs2") != std::string::npos;
}

struct FaultCase {
    const char *what;
    const char *dev;      // description to extend
    const char *fault;
    int result;
    bool switched;
};

TEST(UpdateFaults, FlashFaultsNeverSwitchToAnUnwrittenSlot) {
    const FaultCase cases[] = {
        {"factory bad block in the target", "/dev/mtd7.mtd", "bad=0\n", 0, true},
        {"block going bad while written", "/dev/mtd7.mtd", "weak=0\n", 0, true},
        {"kernel erase fails", "/dev/mtd5.mtd", "fail_erase=1\n", 248, false},
        {"root filesystem write fails", "/dev/mtd7.mtd", "fail_write=0\n", 247, false},
        {"too few good blocks", "/dev/mtd7.mtd", "bad=0,1\n", 247, false},
    };
    for (const auto &c : cases) {
        TempRoot r(small_board());
        put_image(r);
        append_file(r.at(c.dev), c.fault);
        const std::string ker1 = read_file(r.at("/dev/mtd4")), fs1 = read_file(r.at("/dev/mtd6"));
        auto out = run_update({"-u"});
        EXPECT_EQ(out.result, c.result) << c.what << "\n" << out.err;
        EXPECT_EQ(on_new_slot(r), c.switched) << c.what;
        EXPECT_EQ(read_file(r.at("/dev/mtd4")), ker1) << c.what;
        EXPECT_EQ(read_file(r.at("/dev/mtd6")), fs1) << c.what;
        if (c.switched) {
            const std::string fs2 = read_file(r.at("/dev/mtd7"));
            EXPECT_NE(fs2.find(kRootfs), std::string::npos) << c.what;
        }
    }
    // A root filesystem larger than its partition is refused before the partition is erased.
    TempRoot r(small_board());
    put_image(r, std::string(0x40000 + 1, 'F'));
    const std::string fs2 = read_file(r.at("/dev/mtd7"));
    auto out = run_update({"-u"});
    EXPECT_EQ(out.result, 247);
    EXPECT_EQ(read_file(r.at("/dev/mtd7")), fs2);
    EXPECT_FALSE(on_new_slot(r));
}

// Number of flash operations of a whole update of the small image.
int count_operations() {
    TempRoot r(small_board());
    put_image(r);
    write_file(r.at("/sim/flash.log"), "");
    EXPECT_EQ(run_update({"-u"}).result, 0);
    const std::string log = read_file(r.at("/sim/flash.log"));
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

TEST(UpdateFaults, PowerCutAfterEveryFlashOperation) {
    const int total = count_operations();
    ASSERT_GT(total, 20);
    std::printf("power cut after each of %d flash operations, plain and torn\n", total);
    int switched_runs = 0;
    for (bool tear : {false, true}) {
        for (int n = 0; n < total; ++n) {
            TempRoot r(small_board());
            put_image(r);
            const std::string ker1 = read_file(r.at("/dev/mtd4")), fs1 = read_file(r.at("/dev/mtd6"));
            write_file(r.at("/sim/powercut"), "after=" + std::to_string(n) + (tear ? "\ntear=1\n" : "\n"));
            auto out = run_update({"-u"});
            ::unlink(r.at("/sim/powercut").c_str());
            ::unlink(r.at("/sim/poweroff").c_str());
            const std::string at = "cut after operation " + std::to_string(n) + (tear ? ", torn" : "");
            EXPECT_EQ(out.result, 128 + 9) << at;  // the power failed: killed mid-run

            // The next boot finds a valid environment, naming the old slot or, only once both
            // new partitions are complete, the new one, never a mix.
            auto load = capture([] { return env_init(); });
            EXPECT_EQ(load.result, 0) << at;
            EXPECT_EQ(load.err, "") << at;
            const std::string args = hs_getenv("bootargs") ? hs_getenv("bootargs") : "";
            const std::string cmd = hs_getenv("bootcmd") ? hs_getenv("bootcmd") : "";
            const bool new_fs = args.find("=fs2") != std::string::npos;
            const bool new_ker = cmd.find("ker2") != std::string::npos;
            EXPECT_EQ(new_fs, new_ker) << at;
            if (new_fs) {
                ++switched_runs;
                EXPECT_EQ(read_file(r.at("/dev/mtd5")).substr(0, kKernel.size()), kKernel) << at;
                EXPECT_EQ(read_file(r.at("/dev/mtd7")).substr(0, kRootfs.size()), kRootfs) << at;
            } else {
                EXPECT_NE(args.find("=fs1"), std::string::npos) << at;
            }
            env_deinit();
            EXPECT_EQ(read_file(r.at("/dev/mtd4")), ker1) << at;
            EXPECT_EQ(read_file(r.at("/dev/mtd6")), fs1) << at;
        }
    }
    // Only a cut within the last save can already have switched (its first copy written).
    EXPECT_LE(switched_runs, 4);
}

}  // namespace
