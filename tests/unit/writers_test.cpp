#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"
#include "upfw/env.h"
#include "upfw/update.h"

namespace {

using upfw::test::append_file;
using upfw::test::capture;
using upfw::test::read_env_copy;
using upfw::test::read_file;
using upfw::test::TempRoot;
using upfw::test::write_file;

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) >> 3);
    return s;
}

uint32_t crc_of(const std::string &s) {
    return upfw::test::ref_crc32(reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

std::string hex8(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

// A board, an "image" file holding one component at offset 4096, and a request for it.
struct WriterTest : ::testing::Test {
    std::unique_ptr<TempRoot> root;
    std::string image;
    update_part req;

    void board(upfw::sim::Options opt = {}) {
        root.reset();
        root = std::make_unique<TempRoot>(opt);
        ASSERT_EQ(root->error(), "");
        ASSERT_EQ(env_init(), 0);
        image = root->at("/image");
        write_file(root->at("/sim/flash.log"), "");
    }
    // The image's header describes the component (its CRC-32 included), as the writers require.
    void component(const std::string &data, const char *dev, const char *name, uint32_t size_override = 0,
                   int64_t crc = -1) {
        upfw::test::TestEntry entry{"x", data};
        entry.offset = 4096;
        entry.crc = crc;
        if (size_override) entry.size = size_override;
        const std::string header = upfw::test::make_image({entry}).substr(0, 2048);
        write_file(image, header + std::string(2048, 'h') + data);
        std::memset(&req, 0, sizeof req);
        std::snprintf(req.dev, sizeof req.dev, "%s", dev);
        std::snprintf(req.name, sizeof req.name, "%s", name);
        req.offset = 4096;
        req.size = size_override ? size_override : static_cast<uint32_t>(data.size());
        req.version = 0x48010203;
        req.date = 0x07E9020A;
        req.pad = 1;
    }
    std::string flash(const char *dev) { return read_file(root->at(dev)); }
    std::string log() { return read_file(root->at("/sim/flash.log")); }
    std::string record(const char *name) { return read_env_copy(root->path(), 0).get(name); }
    void TearDown() override { env_deinit(); }
};

TEST_F(WriterTest, NandWholePagesAndPaddedLastPage) {
    board();
    const std::string data = pattern(4 * 2048, 1);
    component(data, "/dev/mtd5", "ker2");
    auto out = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.out, "image_length = 0x00002000\nimage_crc = " + hex8(crc_of(data)) + "\n");
    EXPECT_EQ(flash("/dev/mtd5").substr(0, data.size()), data);
    EXPECT_EQ(flash("/dev/mtd5").substr(data.size(), 10), std::string(10, '\xff'));
    EXPECT_EQ(record("ker2"), "name:ker2\tver:0x48010203\tsize:8192\tdate:0x07e9020a ");
    void *scratch = ptr_to_globals;
    EXPECT_NE(scratch, nullptr);

    const std::string odd = pattern(2 * 2048 + 100, 2);
    component(odd, "/dev/mtd5", "ker2");
    out = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(ptr_to_globals, scratch);  // the scratch area is kept for the process
    EXPECT_EQ(out.out, "image_length = 0x00001064\nimage_crc = " + hex8(crc_of(odd)) + "\n");
    EXPECT_EQ(flash("/dev/mtd5").substr(0, 3 * 2048), odd + std::string(2048 - 100, '\xff'));
    EXPECT_EQ(record("ker2"), "name:ker2\tver:0x48010203\tsize:4196\tdate:0x07e9020a ");
}

TEST_F(WriterTest, NandRefusalsBeforeAnythingIsErased) {
    upfw::sim::Options opt;
    opt.sizes["baseparam"] = 0x40000;
    opt.bad["logo"] = {1};
    board(opt);
    write_file(root->at("/dev/mtd2"), pattern(0x40000, 9));  // baseparam's current contents
    const std::string before = flash("/dev/mtd2");
    struct Case {
        std::string data;
        const char *dev;
        uint32_t pad;
        std::string err;
    };
    const std::string partial = "Data was only partially written due to error\n";
    const Case cases[] = {
        {pattern(2 * 2048 + 100, 3), "/dev/mtd2", 0, "Input file is not page aligned\n" + partial},
        // Whole pages fit but the padded last one does not: refused, the partition kept.
        {pattern(0x40000 + 100, 3), "/dev/mtd2", 1,
         "Image 262244 bytes, NAND page 2048 bytes, OOB area 64 bytes, device size 262144 bytes\n"
         "Input file does not fit into device: No space left on device\n" + partial},
        // logo has one of its two blocks bad: two blocks' worth cannot fit.
        {pattern(0x40000, 3), "/dev/mtd3", 1,
         "Image 262144 bytes, NAND page 2048 bytes, OOB area 64 bytes, device size 262144 bytes\n"
         "Input file does not fit into device: No space left on device\n" + partial},
        {pattern(10, 3), "/dev/mtd0", 1, "Unknown flash (not normal NAND)\n"},
        {pattern(10, 3), "/dev/mtd42", 1, "open flash: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        component(c.data, c.dev, "baseparam");
        req.pad = c.pad;
        auto out = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
        EXPECT_EQ(out.result, -1) << c.err;
        EXPECT_EQ(out.err, c.err);
        EXPECT_EQ(log(), "") << c.err;
    }
    EXPECT_EQ(flash("/dev/mtd2"), before);
    component(pattern(10, 3), "/dev/mtd2", "baseparam");
    ::unlink(image.c_str());
    auto missing = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(missing.err, "open input file: No such file or directory\n" + partial);
}

TEST_F(WriterTest, NandSkipsBadBlocks) {
    upfw::sim::Options opt;
    opt.bad["fs2"] = {0, 1, 3};
    board(opt);
    const std::string data = pattern(0x20000 + 2048, 4);  // one block and one page
    component(data, "/dev/mtd7", "fs2");
    auto out = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.err, "Bad block at 0, 1 block(s) from 0 will be skipped\n"
                       "Bad block at 20000, 1 block(s) from 20000 will be skipped\n"
                       "Bad block at 60000, 1 block(s) from 60000 will be skipped\n");
    const std::string f = flash("/dev/mtd7");
    EXPECT_EQ(f.substr(0x40000, 0x20000), data.substr(0, 0x20000));
    EXPECT_EQ(f.substr(0x80000, 2048), data.substr(0x20000));
}

TEST_F(WriterTest, NandPageReadingBackWrongMovesTheBlock) {
    board();
    append_file(root->at("/dev/mtd7.mtd"), "read_flip=" + std::to_string(2 * 2048 + 5) + "\n");  // 3rd page
    const std::string data = pattern(5 * 2048, 5);
    component(data, "/dev/mtd7", "fs2");
    auto out = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.out, "image_length = 0x00002800\nimage_crc = " + hex8(crc_of(data)) + "\n");
    EXPECT_NE(read_file(root->at("/dev/mtd7.mtd")).find("bad=0"), std::string::npos);
    EXPECT_EQ(flash("/dev/mtd7").substr(0x20000, data.size()), data);
    EXPECT_EQ(record("fs2"), "name:fs2\tver:0x48010203\tsize:10240\tdate:0x07e9020a ");
}

TEST_F(WriterTest, NandBlockGoingBadWithNoRoomLeftIsAPartialWrite) {
    upfw::sim::Options opt;
    opt.sizes["fs2"] = 0x40000;
    board(opt);
    append_file(root->at("/dev/mtd7.mtd"), "weak=1\n");
    component(pattern(0x30000, 6), "/dev/mtd7", "fs2");
    auto out = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "Data was only partially written due to error\n");
    // The partition was erased: its record no longer claims the old version.
    EXPECT_EQ(record("fs2"), "name:fs2\tver:0x00000000\tsize:0\tdate:0x00000000 incomplete:0x48090103 ");
}

TEST_F(WriterTest, NandEraseFailureAndRecordNames) {
    board();
    append_file(root->at("/dev/mtd7.mtd"), "fail_erase=2\n");
    component(pattern(2048, 7), "/dev/mtd7", "fs2");
    auto out = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(out.result, -1);
    EXPECT_NE(out.err.find("Fail on erase mtd device!\nData was only partially written due to error\n"),
              std::string::npos);

    for (const char *name : {"all", ""}) {
        component(pattern(2048, 8), "/dev/mtd5", name);
        auto o = capture([&] { return nand_flash_write_file(image.c_str(), &req); });
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.err, "Not valid image, exit without update ptb!\n");
        EXPECT_EQ(flash("/dev/mtd5").substr(0, 2048), pattern(2048, 8));
    }

    // A partition without a record yet gets one under its own name.
    upfw::sim::Options opt;
    opt.unset = {"cfg"};
    board(opt);
    component(pattern(2048, 9), "/dev/mtd8", "cfg");
    ASSERT_EQ(capture([&] { return nand_flash_write_file(image.c_str(), &req); }).result, 0);
    EXPECT_EQ(record("cfg"), "name:cfg\tver:0x48010203\tsize:2048\tdate:0x07e9020a ");
}

TEST_F(WriterTest, SpiWritesVerifiesAndStores) {
    board();
    const std::string data = pattern(10241, 10);
    component(data, "/dev/mtd0", "uboot");
    auto out = capture([&] { return spi_flash_write_file(image.c_str(), &req); });
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.out, "");
    // The record is marked incomplete in one save (both copies of /dev/mtd1) before the erase.
    EXPECT_EQ(log().rfind("1 erase /dev/mtd1 0x10000 0x10000\n2 write /dev/mtd1 0x10000 0x10000\n"
                          "3 erase /dev/mtd1 0x0 0x10000\n4 write /dev/mtd1 0x0 0x10000\n"
                          "5 erase /dev/mtd0 0x0 0x10000\n6 write /dev/mtd0 0x0 0x2800\n7 write /dev/mtd0 0x2800 0x1\n",
                          0),
              0u);
    EXPECT_EQ(flash("/dev/mtd0").substr(0, 0x10000), data + std::string(0x10000 - data.size(), '\xff'));
    EXPECT_EQ(record("uboot"), "name:uboot\tver:0x48010203\tsize:10241\tdate:0x07e9020a ");

    write_file(root->at("/sim/flash.log"), "");
    component(pattern(0x80000, 11), "/dev/mtd0", "uboot");  // exactly the partition
    EXPECT_EQ(capture([&] { return spi_flash_write_file(image.c_str(), &req); }).result, 0);
    component(pattern(0x80001, 11), "/dev/mtd0", "uboot");
    write_file(root->at("/sim/flash.log"), "");
    auto big = capture([&] { return spi_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(big.result, -1);
    EXPECT_EQ(big.out, "The image length > mtd size ! \n");
    EXPECT_EQ(log(), "");
}

TEST_F(WriterTest, SpiFailures) {
    board();
    append_file(root->at("/dev/mtd0.mtd"), "fail_erase=4\n");
    component(pattern(300000, 12), "/dev/mtd0", "uboot");
    auto erase = capture([&] { return spi_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(erase.result, -1);
    EXPECT_EQ(erase.out, "Fail erasing blocks from 0x00000000-0x00050000 on /dev/mtd0 \n");

    board();
    component(pattern(100, 13), "/dev/mtd0", "uboot", 20000);  // the image ends inside it
    auto short_read = capture([&] { return spi_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(short_read.result, -1);
    EXPECT_EQ(short_read.out, "Read image count error, result = [0x64] ! \n");
    EXPECT_EQ(short_read.err, "Data was only partially written due to error\n");
    EXPECT_EQ(record("uboot"), "name:uboot\tver:0x00000000\tsize:0\tdate:0x00000000 incomplete:0x48010105 ");

    append_file(root->at("/dev/mtd0.mtd"), "read_flip=7\n");
    component(pattern(100, 14), "/dev/mtd0", "uboot");
    auto differs = capture([&] { return spi_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(differs.result, -1);
    EXPECT_EQ(differs.out, "File does not seem to match flash data. \n");

    component(pattern(100, 15), "/dev/mtd0", "bld");
    write_file(root->at("/dev/mtd0.mtd"), "type=nor\nerasesize=0x10000\nwritesize=1\n");
    auto name = capture([&] { return spi_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(name.result, -1);
    EXPECT_EQ(name.err, "Not valid image, exit without update ptb!\n");

    component(pattern(100, 15), "/dev/mtd99", "uboot");
    EXPECT_EQ(capture([&] { return spi_flash_write_file(image.c_str(), &req); }).err,
              "This doesn't seem to be a valid MTD flash device! \n");
}

TEST_F(WriterTest, WhatIsWrittenMustBeWhatTheHeaderDescribes) {
    struct Case {
        const char *dev, *name;
        int (*write)(const char *, const update_part *);
    };
    const Case cases[] = {{"/dev/mtd5", "ker2", nand_flash_write_file}, {"/dev/mtd0", "uboot", spi_flash_write_file}};
    for (const auto &c : cases) {
        board();
        const std::string data = pattern(3000, 16);
        // The file holds other bytes than the ones its header vouches for.
        component(data, c.dev, c.name, 0, 7);
        auto out = capture([&] { return c.write(image.c_str(), &req); });
        EXPECT_EQ(out.result, -1) << c.name;
        EXPECT_NE(out.err.find(std::string("Error: the data written to ") + c.dev + " have CRC-32 " +
                               hex8(crc_of(data)) + ", the image header gives 0x00000007\n"),
                  std::string::npos)
            << out.err;
        EXPECT_TRUE(upfw::test::parse_record(record(c.name)).incomplete) << c.name;

        // A request that no entry of the header describes is refused before anything is erased.
        write_file(root->at("/sim/flash.log"), "");
        component(data, c.dev, c.name);
        req.offset = 4097;
        auto none = capture([&] { return c.write(image.c_str(), &req); });
        EXPECT_EQ(none.result, -1);
        EXPECT_EQ(none.err.rfind("Error: no entry of the image header holds 0x00000bb8 bytes at 0x00001001\n", 0), 0u)
            << none.err;
        EXPECT_EQ(log(), "") << c.name;
    }
}

}  // namespace
