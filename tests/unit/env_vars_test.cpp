#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "env/store.h"
#include "fixture.h"
#include "upfw/env.h"

namespace {

using upfw::test::capture;
using upfw::test::read_env_copy;
using upfw::test::TempRoot;
using upfw::test::write_env_copy;

// A board whose environment holds exactly the given entries, in both copies.
struct VarsTest : ::testing::Test {
    std::unique_ptr<TempRoot> root;
    void load(const std::vector<std::string> &entries) {
        upfw::test::board_with(root, entries);
        ASSERT_EQ(env_init(), 0);
    }
    std::vector<std::string> on_flash() { return read_env_copy(root->path(), 0).entries; }
    void TearDown() override { env_deinit(); }
};

TEST_F(VarsTest, SetMovesTheVariableToTheEndAndLookupMatchesWholeNames) {
    load({"a=1", "b=2", "bootcmd=bootm"});
    ASSERT_EQ(hs_setenv("a", "3"), 0);
    EXPECT_EQ(on_flash(), (std::vector<std::string>{"b=2", "bootcmd=bootm", "a=3"}));
    EXPECT_EQ(read_env_copy(root->path(), 1).entries, on_flash());
    EXPECT_EQ(capture([] { return hs_printenv(); }).out, "b=2\nbootcmd=bootm\na=3\n");
    EXPECT_EQ(hs_getenv("boot"), nullptr);
    EXPECT_STREQ(hs_getenv("bootcmd"), "bootm");
    EXPECT_EQ(hs_getenv("bootcmd2"), nullptr);
    ASSERT_EQ(hs_setenv("e", ""), 0);
    ASSERT_NE(hs_getenv("e"), nullptr);
    EXPECT_STREQ(hs_getenv("e"), "");
    // A name holding '=' matches the entries beginning with it.
    EXPECT_STREQ(hs_getenv("a=x"), "3");
    EXPECT_STREQ(hs_getenv("b="), "2");
}

TEST_F(VarsTest, EmptyEnvironmentSetAndDelete) {
    load({});
    ASSERT_EQ(hs_setenv("x", "y"), 0);
    const unsigned char *d = upfw::env::data();
    EXPECT_EQ(std::memcmp(d, "x=y\0\0", 5), 0);
    char *argv[] = {const_cast<char *>("fw_setenv"), const_cast<char *>("x")};
    ASSERT_EQ(fw_setenv(2, argv), 0);
    d = upfw::env::data();
    EXPECT_EQ(d[0], 0);
    EXPECT_EQ(d[1], 0);
    EXPECT_TRUE(on_flash().empty());
}

TEST_F(VarsTest, CapacityBoundaryNeverReachesTheFlagByte) {
    load({});
    const uint32_t text_area = 65531;
    // In an empty environment name + value may reach 65,528 characters.
    std::string value(text_area - 3 - 1, 'v');
    ASSERT_EQ(hs_setenv("n", value.c_str()), 0);
    EXPECT_EQ(upfw::env::data()[65531], read_env_copy(root->path(), 0).flag);
    auto big = capture([&] { return hs_setenv("n", (value + "w").c_str()); });
    EXPECT_EQ(big.result, -1);
    EXPECT_EQ(big.err, "Error: environment overflow, \"n\" deleted\n");
    // The refused set keeps the old definition, in memory and on flash.
    EXPECT_EQ(std::strlen(hs_getenv("n")), value.size());
    EXPECT_EQ(capture([] { return hs_setenv("other", "1"); }).result, -1);
    EXPECT_EQ(read_env_copy(root->path(), 0).get("n"), value);
}

TEST_F(VarsTest, OverflowKeepsTheOldDefinitionForLaterSaves) {
    load({"bootargs=console=ttyAMA0", "pad=" + std::string(65000, 'p')});
    auto out = capture([] { return hs_setenv("bootargs", std::string(2000, 'x').c_str()); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "Error: environment overflow, \"bootargs\" deleted\n");
    EXPECT_STREQ(hs_getenv("bootargs"), "console=ttyAMA0");
    ASSERT_EQ(hs_setenv("sn", "1"), 0);
    EXPECT_EQ(read_env_copy(root->path(), 0).get("bootargs"), "console=ttyAMA0");
}

TEST_F(VarsTest, AppendPositionArithmetic) {
    // With the append position p, a set fits while p + name + value + 3 <= 65,531.
    const std::string filler = "f=" + std::string(1000, 'f');
    load({filler});
    const size_t p = filler.size() + 1;
    std::string fits(65531 - p - 3 - 1, 'v');
    EXPECT_EQ(hs_setenv("n", fits.c_str()), 0);
    load({filler});
    auto out = capture([&] { return hs_setenv("n", (fits + "v").c_str()); });
    EXPECT_EQ(out.result, -1);
}

TEST_F(VarsTest, UnterminatedTextFailsEveryScanThatReachesIt) {
    load({"a=1"});
    unsigned char *d = upfw::env::data();
    std::memset(d + 4, 'z', 65532 - 4);  // the second entry runs to the end of the data area
    EXPECT_STREQ(hs_getenv("a"), "1");   // found before the broken entry
    auto get = capture([] { return hs_getenv("b") == nullptr ? 0 : 1; });
    EXPECT_EQ(get.result, 0);
    EXPECT_EQ(get.err, "## Error: environment not terminated\n");
    auto print = capture([] { return hs_printenv(); });
    EXPECT_EQ(print.result, -1);
    EXPECT_EQ(print.out, "a=1\n");
    errno = 0;
    auto set = capture([] { return hs_setenv("b", "2"); });
    EXPECT_EQ(set.result, -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(VarsTest, FwPrintenv) {
    load({"a=1", "b=2"});
    auto run = [](std::vector<std::string> args) {
        return capture([&] {
            std::vector<char *> argv;
            for (auto &s : args) argv.push_back(&s[0]);
            return fw_printenv(static_cast<int>(argv.size()), argv.data());
        });
    };
    auto all = run({"p"});
    EXPECT_EQ(all.out, "a=1\nb=2\n");
    EXPECT_EQ(run({"p", "-n", "b"}).out, "2\n");
    auto two = run({"p", "-n", "a", "b"});
    EXPECT_EQ(two.result, -1);
    EXPECT_EQ(two.out, "");
    EXPECT_EQ(two.err, "## Error: `-n' option requires exactly one argument\n");
    auto mixed = run({"p", "a", "zz", "b"});
    EXPECT_EQ(mixed.result, -1);
    EXPECT_EQ(mixed.out, "a=1\nb=2\n");
    EXPECT_EQ(mixed.err, "## Error: \"zz\" not defined\n");
}

TEST_F(VarsTest, FwSetenvJoinsWordsProtectsSerialAndAlwaysSaves) {
    load({"a=1"});
    auto set = [](std::vector<std::string> args) {
        std::vector<char *> argv;
        for (auto &s : args) argv.push_back(&s[0]);
        return capture([&] { return fw_setenv(static_cast<int>(argv.size()), argv.data()); });
    };
    errno = 0;
    EXPECT_EQ(set({"s"}).result, -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(set({"s", "x", "1", "2"}).result, 0);
    EXPECT_STREQ(fw_getenv("x"), "1 2");
    EXPECT_EQ(set({"s", "serial#", "abc"}).result, 0);
    auto again = set({"s", "serial#", "def"});
    EXPECT_EQ(again.result, -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(again.err, "Can't overwrite \"serial#\"\n");
    EXPECT_EQ(set({"s", "serial#"}).result, -1);
    EXPECT_EQ(hs_setenv("serial#", "free"), 0);  // only fw_setenv protects it

    const uint8_t flag = read_env_copy(root->path(), 0).flag;
    EXPECT_EQ(set({"s", "missing"}).result, 0);
    EXPECT_EQ(read_env_copy(root->path(), 0).flag, static_cast<uint8_t>(flag + 2));
}

TEST_F(VarsTest, NullArgumentsAreRefusedWithEinvalAndTouchNothing) {
    load({"a=1"});
    const std::string before = upfw::test::read_file(root->at("/dev/mtd1"));
    char prog[] = "p", name[] = "a", value[] = "2";
    struct Case {
        std::vector<char *> argv;
        bool set;
    };
    const Case cases[] = {
        {{prog, nullptr, value}, true},
        {{prog, name, nullptr}, true},
        {{prog, name, value, nullptr}, true},
        {{prog, nullptr}, false},
        {{prog, name, nullptr}, false},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv = c.argv;
        errno = 0;
        const int argc = static_cast<int>(argv.size());
        EXPECT_EQ(c.set ? fw_setenv(argc, argv.data()) : fw_printenv(argc, argv.data()), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    errno = 0;
    EXPECT_EQ(fw_printenv(2, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(upfw::test::read_file(root->at("/dev/mtd1")), before);
}

}  // namespace
