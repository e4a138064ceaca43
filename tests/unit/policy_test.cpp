#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "policy/policy.h"
#include "upfw/env.h"
#include "upfw/policy.h"

namespace {

using upfw::test::capture;
using upfw::test::make_image;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

struct Case {
    const char *what;
    uint32_t image_fs;           // version of the image's root filesystem entry
    uint32_t installed_fs1, installed_fs2;
    int slot = 1;
    bool oem = false, special = false;
    int phy = 0x4D, poe = 0;
    std::string model = "VHN7216";
    uint32_t uboot = 0x48010105;   // installed boot loader: platform 72, variant 1
    uint32_t image_bld = 0x4801011A, image_bld2 = 0x4801021A;
    int result = 0;
    std::string message;           // after the "version = " line
    bool updb = false;             // /mnt/nand/updb.cfg created
};

constexpr uint32_t v(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

Case make(const char *what, uint32_t img, uint32_t inst) {
    Case c;
    c.what = what;
    c.image_fs = img;
    c.installed_fs1 = inst;
    c.installed_fs2 = inst;
    return c;
}

std::vector<Case> cases() {
    std::vector<Case> t;
    Case c = make("platform code differs", v(72, 9, 1, 20), v(72, 9, 1, 3));
    c.uboot = v(71, 1, 1, 5);
    c.result = -1;
    c.message = "platform dismatch !\n";
    t.push_back(c);
    c = make("only bld2 carries the platform code", v(72, 9, 1, 20), v(72, 9, 1, 3));
    c.uboot = v(71, 1, 1, 5);
    c.image_bld = v(72, 1, 1, 26);
    c.image_bld2 = v(71, 1, 2, 26);
    t.push_back(c);

    c = make("8.x onto 7.x", v(72, 8, 1, 12), v(72, 7, 1, 12));
    c.updb = true;
    t.push_back(c);
    c.what = "8.x onto 7.x, OEM";
    c.oem = true;
    c.updb = false;
    c.result = -1;
    c.message = "OEM do not support update 7.x to 8.x \n";
    t.push_back(c);
    c.what = "8.x onto 7.x, special OEM";
    c.special = true;
    c.result = 0;
    c.message = "";
    t.push_back(c);

    c = make("7.0.x onto 7.x, special OEM", v(72, 7, 0, 12), v(72, 7, 1, 12));
    c.oem = c.special = true;
    c.result = -1;
    c.message = "OEM special do not support update 7.0.x \n";
    t.push_back(c);
    c.what = "7.1.x onto 7.x, special OEM";
    c.image_fs = v(72, 7, 1, 12);
    c.result = 0;
    c.message = "";
    t.push_back(c);

    c = make("7.x onto 8.x, OEM", v(72, 7, 1, 12), v(72, 8, 1, 12));
    c.oem = true;
    c.result = -1;
    c.message = "OEM do not support update 8.x to 7.x \n";
    t.push_back(c);
    c = make("9.x onto 8.x, OEM", v(72, 9, 1, 12), v(72, 8, 1, 12));
    c.oem = true;
    c.result = -1;
    c.message = "OEM do not support update 8.x to 9.x \n";
    t.push_back(c);
    c.what = "9.x onto 8.x, special OEM";
    c.special = true;
    c.result = 0;
    c.message = "";
    t.push_back(c);

    c = make("7.x.8 without the expected PHY", v(72, 7, 1, 8), v(72, 7, 1, 12));
    c.phy = -1;
    c.result = -1;
    c.message = "OEM do not support update < 7.x.9 \n";
    t.push_back(c);
    c.what = "7.x.8 with the expected PHY";
    c.phy = 0x4D;
    c.result = 0;
    c.message = "";
    t.push_back(c);

    c = make("8.x onto 9.x", v(72, 8, 1, 12), v(72, 9, 1, 3));
    c.result = -1;
    c.message = "do not support back to < 9.0.1 form 9.0.x. \n";
    t.push_back(c);
    c = make("installed series from the fs2 record", v(72, 8, 1, 12), v(72, 7, 1, 3));
    c.installed_fs2 = v(72, 9, 1, 3);
    c.slot = 2;
    c.result = -1;
    c.message = "do not support back to < 9.0.1 form 9.0.x. \n";
    t.push_back(c);

    c = make("7.x.9 with PoE 0xe3", v(72, 7, 1, 9), v(72, 7, 1, 12));
    c.poe = 0xE3;
    c.result = -1;
    c.message = "do not support update < 8.x.10 0xe3\n";
    t.push_back(c);
    c.what = "7.x.9 with PoE 0x44";
    c.poe = 0x44;
    c.message = "do not support update < 8.x.10 0x44\n";
    t.push_back(c);
    c.what = "7.x.9 with PoE 0x45";
    c.poe = 0x45;
    c.result = 0;
    c.message = "";
    t.push_back(c);

    c = make("new 7308 board, 9.x.5", v(72, 9, 1, 5), v(72, 9, 1, 3));
    c.model = "board VHN7308 rev B";
    c.result = -1;
    c.message = "new 7308 do not support update < 9.x.10 \n";
    t.push_back(c);
    c.what = "7308 board with variant 2";
    c.uboot = v(72, 1, 2, 5);
    c.result = 0;
    c.message = "";
    t.push_back(c);
    c.what = "new 7308 board, 9.x.10";
    c.uboot = v(72, 1, 1, 5);
    c.image_fs = v(72, 9, 1, 10);
    t.push_back(c);
    return t;
}

TEST(CompatibilityPolicy, RulesInOrder) {
    for (const Case &c : cases()) {
        upfw::sim::Options opt;
        opt.slot = c.slot;
        opt.oem = c.oem;
        opt.special_oem = c.special;
        opt.phy_id = c.phy;
        opt.poe_id = c.poe;
        opt.model = c.model;
        opt.versions = {{"uboot", c.uboot}, {"fs1", c.installed_fs1}, {"fs2", c.installed_fs2}};
        TempRoot r(opt);
        ASSERT_EQ(r.error(), "");
        std::vector<TestEntry> e(8);
        e[0] = {"bld", "B", c.image_bld};
        e[1] = {"ker", "K", v(72, 1, 0, 10)};
        e[2] = {"fs", "F", c.image_fs};
        e[6] = {"bld2", "b", c.image_bld2};
        const std::string img = r.at("/dev/shm/updateFM.bin");
        write_file(img, make_image(e));
        ASSERT_EQ(env_init(), 0);
        auto out = capture([&] { return UPFW_version_check(img.c_str()); });
        char head[64];
        std::snprintf(head, sizeof head, "version = %u.%u.%u\n", (c.image_fs >> 16) & 0xFF, (c.image_fs >> 8) & 0xFF,
                      c.image_fs & 0xFF);
        EXPECT_EQ(out.result, c.result) << c.what;
        EXPECT_EQ(out.out, head + c.message) << c.what;
        struct stat st;
        EXPECT_EQ(::stat(r.at("/mnt/nand/updb.cfg").c_str(), &st) == 0, c.updb) << c.what;
        env_deinit();
    }
}

TEST(CompatibilityPolicy, UnreadableImage) {
    TempRoot r;
    env_init();
    auto missing = capture([&] { return UPFW_version_check(r.at("/nope").c_str()); });
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.err, "open output imager: No such file or directory\n");
    write_file(r.at("/short"), std::string(100, '\0'));
    auto short_img = capture([&] { return UPFW_version_check(r.at("/short").c_str()); });
    EXPECT_EQ(short_img.result, -1);
    EXPECT_EQ(short_img.err, "read output imager: No data available\n");
    auto none = capture([] { return UPFW_version_check(nullptr); });
    EXPECT_EQ(none.result, -1);
    EXPECT_EQ(none.err, "Please input datafile\n");
    env_deinit();
}

TEST(HardwareProbes, PhyIdentifierAndItsFallbacks) {
    struct Probe {
        const char *mem;  // nullptr: no /dev/mem node
        int id;
        const char *err;
    };
    const Probe probes[] = {
        {"phy4.reg2=0x004d\nphy4.reg3=0x1234\n", 0x4D, ""},
        {"phy5.reg2=0x004d\n", 0xFFFF, ""},  // nothing answers at address 4
        {"phy4.reg2=0x004d\nmdio=stuck\n", -1, ""},
        {"phy4.reg2=0x004d\nmdio=hang\n", 0, ""},
        {"phy4.reg2=0x004d\nmdio=fail\n", 0, ""},
        {nullptr, -1, "Fail to open /dev/mem fd=ffffffff\n"},
    };
    for (const auto &p : probes) {
        upfw::sim::Options opt;
        opt.no_mem = true;
        TempRoot r(opt);
        if (p.mem) write_file(r.at("/dev/mem"), p.mem);
        auto out = capture([] { return upfw::policy::read_phy_id(); });
        EXPECT_EQ(out.result, p.id) << (p.mem ? p.mem : "none");
        EXPECT_EQ(out.out, "");
        EXPECT_EQ(out.err, p.err);
    }
}

TEST(HardwareProbes, PoeIdentifier) {
    upfw::sim::Options opt;
    opt.poe_id = 0xE3;
    {
        TempRoot r(opt);
        EXPECT_EQ(get_poe_id(), 0xE3);
        write_file(r.at("/dev/hi_i2c"), "bus1.dev0x40.reg0x43=0x11\nbus2.dev0x41.reg0x43=0x12\n");
        EXPECT_EQ(get_poe_id(), 0);  // another bus or device does not answer for it
    }
    opt.no_i2c = true;
    TempRoot r(opt);
    auto out = capture([] { return get_poe_id(); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, "open file fail");
}

}  // namespace
