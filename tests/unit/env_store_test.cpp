#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "env/store.h"
#include "fixture.h"
#include "upfw/env.h"

namespace {

using upfw::test::capture;
using upfw::test::read_env_copy;
using upfw::test::read_file;
using upfw::test::TempRoot;
using upfw::test::write_env_copy;
using upfw::test::write_file;
using upfw::test::append_file;

struct StoreTest : ::testing::Test {
    void TearDown() override { env_deinit(); }
};

struct Choice {
    bool good0, good1;
    uint8_t g0, g1;
    int chosen;
};

class CopyChoice : public ::testing::TestWithParam<Choice> {
    void TearDown() override { env_deinit(); }
};

TEST_P(CopyChoice, LoadsTheExpectedCopy) {
    const Choice c = GetParam();
    TempRoot r;
    write_env_copy(r.path(), 0, {"which=zero"}, c.g0, !c.good0);
    write_env_copy(r.path(), 1, {"which=one"}, c.g1, !c.good1);
    const std::string before = read_file(r.at("/dev/mtd1"));
    auto out = capture([] { return env_init(); });
    ASSERT_EQ(out.result, 0);
    EXPECT_EQ(upfw::env::current(), c.chosen);
    if (!c.good0 && !c.good1) {
        EXPECT_EQ(out.err, "Warning: Bad CRC, using default environment\n");
        EXPECT_STREQ(hs_getenv("bootdelay"), "5");
        EXPECT_STREQ(hs_getenv("baudrate"), "115200");
        EXPECT_EQ(hs_getenv("which"), nullptr);
    } else {
        EXPECT_EQ(out.err, "");
        EXPECT_STREQ(hs_getenv("which"), c.chosen == 0 ? "zero" : "one");
    }
    EXPECT_EQ(read_file(r.at("/dev/mtd1")), before);  // reading never writes
}

INSTANTIATE_TEST_SUITE_P(Table, CopyChoice,
                         ::testing::Values(Choice{true, false, 9, 3, 0}, Choice{false, true, 9, 3, 1},
                                           Choice{false, false, 9, 3, 0}, Choice{true, true, 5, 6, 1},
                                           Choice{true, true, 6, 5, 0}, Choice{true, true, 7, 7, 0},
                                           Choice{true, true, 255, 0, 1}, Choice{true, true, 0, 255, 0},
                                           Choice{true, true, 254, 255, 1}));

TEST_F(StoreTest, DefaultEnvironmentIsWrittenOnlyBySaveWithFlagsAboveCopyZero) {
    TempRoot r;
    write_env_copy(r.path(), 0, {"x=1"}, 40, true);
    write_env_copy(r.path(), 1, {"x=2"}, 90, true);
    capture([] { return env_init(); });
    EXPECT_EQ(std::string(hs_getenv("bootcmd")).substr(0, 6), "bootp;");
    write_file(r.at("/sim/flash.log"), "");
    ASSERT_EQ(capture([] { return hs_setenv("sn", "A1"); }).result, 0);
    const std::string log = read_file(r.at("/sim/flash.log"));
    EXPECT_LT(log.find("write /dev/mtd1 0x10000"), log.find("write /dev/mtd1 0x0 "));
    auto c0 = read_env_copy(r.path(), 0), c1 = read_env_copy(r.path(), 1);
    EXPECT_TRUE(c0.crc_ok && c1.crc_ok);
    EXPECT_EQ(c1.flag, 41);
    EXPECT_EQ(c0.flag, 42);
    EXPECT_EQ(c0.entries, c1.entries);
    EXPECT_EQ(c0.entries.size(), 4u);
    EXPECT_EQ(c0.get("bootdelay"), "5");
    EXPECT_EQ(c0.get("sn"), "A1");
}

TEST_F(StoreTest, SaveWritesTheOtherCopyFirstAndRaisesFlagsWrapping) {
    TempRoot r;
    write_env_copy(r.path(), 0, {"a=1"}, 254);
    write_env_copy(r.path(), 1, {"a=0"}, 200);
    ASSERT_EQ(env_init(), 0);
    ASSERT_EQ(upfw::env::current(), 0);
    write_file(r.at("/sim/flash.log"), "");
    ASSERT_EQ(hs_setenv("a", "2"), 0);
    // One erase and one write of a whole 64 KiB copy each, copy 1 first.
    EXPECT_EQ(read_file(r.at("/sim/flash.log")),
              "1 erase /dev/mtd1 0x10000 0x10000\n2 write /dev/mtd1 0x10000 0x10000\n"
              "3 erase /dev/mtd1 0x0 0x10000\n4 write /dev/mtd1 0x0 0x10000\n");
    EXPECT_EQ(read_env_copy(r.path(), 1).flag, 255);
    EXPECT_EQ(read_env_copy(r.path(), 0).flag, 0);
    ASSERT_EQ(env_init(), 0);
    EXPECT_EQ(upfw::env::current(), 0);  // 0 after 255 is the newer one
    EXPECT_STREQ(hs_getenv("a"), "2");

    for (int i = 0; i < 3; ++i) ASSERT_EQ(hs_setenv("a", std::to_string(i).c_str()), 0);
    EXPECT_EQ(read_env_copy(r.path(), 1).flag, 5);
    EXPECT_EQ(read_env_copy(r.path(), 0).flag, 6);
}

TEST_F(StoreTest, CopyOneLoadedIsSavedSecond) {
    TempRoot r;
    write_env_copy(r.path(), 0, {"a=1"}, 3, true);
    write_env_copy(r.path(), 1, {"a=2"}, 3);
    ASSERT_EQ(env_init(), 0);
    write_file(r.at("/sim/flash.log"), "");
    ASSERT_EQ(hs_setenv("b", "1"), 0);
    const std::string log = read_file(r.at("/sim/flash.log"));
    EXPECT_EQ(log.find("1 erase /dev/mtd1 0x0 "), 0u) << log;
    EXPECT_EQ(read_env_copy(r.path(), 0).flag, 4);
    EXPECT_EQ(read_env_copy(r.path(), 1).flag, 5);
    EXPECT_EQ(read_env_copy(r.path(), 0).entries, (std::vector<std::string>{"a=2", "b=1"}));
}

TEST_F(StoreTest, SaveWhoseFirstCopyFailsStillSucceedsOnTheCurrentCopy) {
    TempRoot r;
    append_file(r.at("/dev/mtd1.mtd"), "fail_erase=1\n");  // the block under copy 1
    ASSERT_EQ(env_init(), 0);
    ASSERT_EQ(upfw::env::current(), 0);
    auto out = capture([] { return hs_setenv("sn", "NEW"); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.err, "MTD erase error on /dev/mtd1: Input/output error\n");
    EXPECT_EQ(read_env_copy(r.path(), 0).get("sn"), "NEW");
    EXPECT_EQ(read_env_copy(r.path(), 1).get("sn"), "VH2024000001");
    ASSERT_EQ(env_init(), 0);
    EXPECT_STREQ(hs_getenv("sn"), "NEW");
}

TEST_F(StoreTest, ACopyThatCanNoLongerBeRewrittenNeverWinsAfterTheFlagWraps) {
    TempRoot r;
    append_file(r.at("/dev/mtd1.mtd"), "fail_erase=1\n");  // copy 1 keeps its factory contents
    ASSERT_EQ(env_init(), 0);
    // Enough saves for copy 0's flag to pass copy 1's stale one after wrapping, twice over.
    for (int i = 0; i < 300; ++i) {
        const std::string sn = "SN" + std::to_string(i);
        ASSERT_EQ(capture([&] { return hs_setenv("sn", sn.c_str()); }).result, 0);
        ASSERT_EQ(env_init(), 0);
        ASSERT_STREQ(hs_getenv("sn"), sn.c_str()) << "after save " << i;
        ASSERT_EQ(upfw::test::boot_env(r.path()).get("sn"), sn) << "after save " << i;
    }
}

TEST_F(StoreTest, ACopyCutShortIsAnIoError) {
    TempRoot r;
    ASSERT_EQ(::truncate(r.at("/dev/mtd1").c_str(), 0x18000), 0);  // copy 1 ends half-way
    write_file(r.at("/dev/mtd1.mtd"), "type=nor\nerasesize=0x8000\nwritesize=1\n");
    errno = ENOENT;  // a stale error must not be reported
    auto out = capture([] { return env_init(); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "Read error on /dev/mtd1: Input/output error\n");
}

TEST_F(StoreTest, FailedSaveOfTheCurrentCopyReportsFailureButOtherCopyWins) {
    TempRoot r;
    append_file(r.at("/dev/mtd1.mtd"), "fail_erase=0\n");
    ASSERT_EQ(env_init(), 0);
    auto out = capture([] { return hs_setenv("sn", "NEW"); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err,
              "MTD erase error on /dev/mtd1: Input/output error\nError: can't write environment to flash\n");
    ASSERT_EQ(env_init(), 0);
    EXPECT_EQ(upfw::env::current(), 1);
    EXPECT_STREQ(hs_getenv("sn"), "NEW");
}

TEST_F(StoreTest, NandBadBlockUnderEitherCopyFailsTheRead) {
    for (const char *bad : {"0", "1"}) {
        upfw::sim::Options opt;
        opt.env_nand = true;
        opt.bad["env"] = {static_cast<uint32_t>(bad[0] - '0')};
        TempRoot r(opt);
        ASSERT_EQ(r.error(), "");
        write_file(r.at("/sim/flash.log"), "");
        auto out = capture([] { return env_init(); });
        EXPECT_EQ(out.result, -1) << bad;
        EXPECT_EQ(out.err, "Too few good blocks within range\n") << bad;
        EXPECT_EQ(hs_getenv("sn"), nullptr);
    }
}

TEST_F(StoreTest, NandEnvironmentSavesAndReloads) {
    upfw::sim::Options opt;
    opt.env_nand = true;
    TempRoot r(opt);
    ASSERT_EQ(env_init(), 0);
    ASSERT_EQ(hs_setenv("sn", "NAND1"), 0);
    ASSERT_EQ(env_init(), 0);
    EXPECT_STREQ(hs_getenv("sn"), "NAND1");
    EXPECT_EQ(read_env_copy(r.path(), 1).get("sn"), "NAND1");
}

TEST_F(StoreTest, NandBadBlockAppearingBeforeSaveAbortsThatCopy) {
    upfw::sim::Options opt;
    opt.env_nand = true;
    TempRoot r(opt);
    ASSERT_EQ(env_init(), 0);
    append_file(r.at("/dev/mtd1.mtd"), "bad=1\n");
    auto out = capture([] { return hs_setenv("sn", "X"); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.err, "End of range reached, aborting\n");
    EXPECT_EQ(read_env_copy(r.path(), 0).get("sn"), "X");
}

TEST_F(StoreTest, DeviceProblemsFailInit) {
    {
        TempRoot r;
        ::unlink(r.at("/dev/mtd1").c_str());
        auto out = capture([] { return env_init(); });
        EXPECT_EQ(out.result, -1);
        EXPECT_EQ(out.err, "Cannot access MTD device /dev/mtd1: No such file or directory\n");
    }
    {
        TempRoot r;
        write_file(r.at("/dev/mtd1.mtd"), "type=7\nerasesize=0x10000\nwritesize=1\n");
        auto out = capture([] { return env_init(); });
        EXPECT_EQ(out.result, -1);
        EXPECT_EQ(out.err, "Unsupported flash type 7\n");
    }
}

TEST_F(StoreTest, NothingTouchesFlashWhileTheStoreIsClosed) {
    TempRoot r;
    write_file(r.at("/dev/mtd1.mtd"), "type=7\nerasesize=0x10000\nwritesize=1\n");
    capture([] { return env_init(); });
    write_file(r.at("/sim/flash.log"), "");
    const std::string before = read_file(r.at("/dev/mtd1"));
    EXPECT_EQ(hs_getenv("sn"), nullptr);
    auto set = capture([] { return hs_setenv("sn", "X"); });
    EXPECT_EQ(set.result, -1);
    EXPECT_EQ(set.err, "## Error: environment not loaded\n");
    EXPECT_EQ(capture([] { return hs_printenv(); }).result, -1);
    EXPECT_EQ(vh_setenv("a", "b"), -1);
    EXPECT_EQ(read_file(r.at("/dev/mtd1")), before);
    EXPECT_EQ(read_file(r.at("/sim/flash.log")), "");
    EXPECT_EQ(env_deinit(), 0);
    EXPECT_EQ(env_deinit(), 0);
}

}  // namespace
