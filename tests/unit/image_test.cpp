#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "upfw/image.h"

namespace {

using upfw::test::capture;
using upfw::test::get_le32;
using upfw::test::make_image;
using upfw::test::read_file;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

bool exists(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

// A plain board whose /dev/shm receives extractions; images live in its /tmp.
struct ImageTest : ::testing::Test {
    TempRoot root;
    std::string image(const std::vector<TestEntry> &entries, const std::string &name = "img") {
        const std::string path = root.at("/dev/shm/" + name);
        write_file(path, make_image(entries));
        return path;
    }
};

TEST_F(ImageTest, ListingShowsEveryNamedEntry) {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", std::string(100, 'b'), 0x4801011A};
    e[0].offset = 0x100000;  // beyond the end of the file: listed all the same
    e[1] = {"ker", std::string(2048, 'k'), 0x4801000A, 0x81000000, 0};
    e[2].name = "fs";
    e[2].version = 0x48090013;
    e[2].size = 4096;  // a size but no offset: name and version only
    e[3].data = "x";   // data but no name: nothing
    e[3].version = 1;
    e[4].name = std::string(52, 'n');
    const std::string path = image(e);
    auto out = capture([&] { return UPFW_list_intfo(path.c_str()); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.err, "");
    auto crc = [&](int i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X",
                      upfw::test::ref_crc32(reinterpret_cast<const unsigned char *>(e[i].data.data()), e[i].data.size()));
        return std::string(buf);
    };
    EXPECT_EQ(out.out, "Image info: \n"
                       "bld: \noffset  = 0x00100000\nsize    = 0 K\naddr    = 0x00000000\nflag    = 0x00000000\n"
                       "date    = 2024/1/17\ncrc32   = " + crc(0) + "\nversion = 72.1.1.26\n"
                       "ker: \noffset  = 0x00000864\nsize    = 2 K\naddr    = 0x81000000\nflag    = 0x00000000\n"
                       "date    = 2024/1/17\ncrc32   = " + crc(1) + "\nversion = 72.1.0.10\n"
                       "fs: \nversion = 72.9.0.19\n" +
                       std::string(52, 'n') + ": \nversion = 0.0.0.0\n");
}

TEST_F(ImageTest, ListingBoundaries) {
    const std::string zeros = root.at("/dev/shm/zeros");
    write_file(zeros, std::string(2048, '\0'));
    EXPECT_EQ(capture([&] { return UPFW_list_intfo(zeros.c_str()); }).out, "Image info: \n");
    const std::string short_file = root.at("/dev/shm/short");
    write_file(short_file, std::string(2047, '\0'));
    auto out = capture([&] { return UPFW_list_intfo(short_file.c_str()); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err, "Bad size: \"" + short_file + "\" is no valid image\n");
    auto missing = capture([&] { return UPFW_list_intfo(root.at("/nope").c_str()); });
    EXPECT_EQ(missing.err, "open output imager: No such file or directory\n");
    EXPECT_EQ(capture([] { return UPFW_list_intfo(nullptr); }).err, "Please input datafile\n");
}

TEST_F(ImageTest, VerificationStopsAtTheFirstBadComponent) {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", std::string(1025, 'b'), 0x4801011A};
    e[1] = {"ker", std::string(2048, 'k'), 0x4801000A};
    e[1].crc = 1;
    e[2] = {"fs", std::string(3000, 'f'), 0x48090013};
    e[2].crc = 2;
    const std::string path = image(e);
    auto out = capture([&] { return UPFW_verify(path.c_str(), nullptr); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "check_img_crc ker failed\n");
    EXPECT_NE(out.out.find("bld: \noffset  = 0x00000800\nsize    = 0x00000401 (1 K)\n"), std::string::npos);
    EXPECT_NE(out.out.find("ker: \noffset  = 0x00000C01\nsize    = 0x00000800 (2 K)\n"), std::string::npos);
    EXPECT_EQ(out.out.find("fs: "), std::string::npos);

    // Bytes outside the components, header text included, are covered by no CRC.
    e[1].crc = e[2].crc = -1;
    std::string good = make_image(e);
    good[700] = 'x';
    good += "trailing";
    write_file(path, good);
    EXPECT_EQ(capture([&] { return UPFW_verify(path.c_str(), nullptr); }).result, 0);
}

TEST_F(ImageTest, VerificationOfHostileEntries) {
    std::vector<TestEntry> e(8);
    e[0].name = "bld";
    e[0].offset = 2048;
    e[0].size = 0xFFFFFFF0;  // far past the end of the file
    e[0].crc = 0;
    const std::string path = image(e);
    auto out = capture([&] { return UPFW_verify(path.c_str(), nullptr); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "read output imager: No data available\n");
    EXPECT_NE(out.out.find("bld: \n"), std::string::npos);

    std::vector<TestEntry> none(8);
    none[0].name = "bld";
    none[0].size = 10;  // no offset: not verified
    none[1].data = "data without a name";
    const std::string quiet = image(none, "quiet");
    auto q = capture([&] { return UPFW_verify(quiet.c_str(), nullptr); });
    EXPECT_EQ(q.result, 0);
    EXPECT_EQ(q.out, "");
}

TEST_F(ImageTest, ExtractionOfTheUpdateProgram) {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", "loader"};
    e[5] = {"cmd", "#!/bin/sh\necho new\n"};  // found by name at any index
    const std::string path = image(e);
    const std::string out_file = root.at("/dev/shm/update");
    write_file(out_file, std::string(4096, 'o'));  // an older, longer program
    auto out = capture([&] { return UPFW_analysis_img(path.c_str(), 0); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, "==============name " + path + "=\nCreate file: /dev/shm/update \n");
    EXPECT_EQ(read_file(out_file), e[5].data);  // replaced whole, no old tail
    struct stat st;
    ASSERT_EQ(::stat(out_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_FALSE(exists(root.at("/dev/shm/bld.bin")));

    std::vector<TestEntry> no_cmd(8);
    no_cmd[3] = {"cmd", ""};
    no_cmd[4] = {"param", "p"};
    const std::string plain = image(no_cmd, "plain");
    ::unlink(out_file.c_str());
    auto nothing = capture([&] { return UPFW_analysis_img(plain.c_str(), 0); });
    EXPECT_EQ(nothing.result, 0);
    EXPECT_EQ(nothing.out, "==============name " + plain + "=\n");
    EXPECT_FALSE(exists(out_file));
}

TEST_F(ImageTest, ExtractionOfTheFirstFourComponents) {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", "B"};
    e[1] = {"", "K"};  // no name needed in this mode
    e[2] = {"fs", "F"};
    e[3] = {"cmd", "C"};
    e[4] = {"param", "P"};
    e[5] = {"jpg", "J"};
    const std::string path = image(e);
    auto out = capture([&] { return UPFW_analysis_img(path.c_str(), 1); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, "==============name " + path +
                           "=\nCreate file: /dev/shm/bld.bin \nCreate file: /dev/shm/ker.bin \n"
                           "Create file: /dev/shm/ubifs.bin \nCreate file: /dev/shm/update \n");
    EXPECT_EQ(read_file(root.at("/dev/shm/ker.bin")), "K");
    EXPECT_EQ(read_file(root.at("/dev/shm/update")), "C");
    struct stat st;
    ASSERT_EQ(::stat(root.at("/dev/shm/update").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0777, 0777u);  // no permission change in this mode
    EXPECT_FALSE(exists(root.at("/dev/shm/param")));
}

TEST_F(ImageTest, TruncatedImageFailsExtractionAndLeavesNoProgram) {
    std::vector<TestEntry> e(8);
    e[3] = {"cmd", "abc"};
    e[3].size = 100000;  // the image ends inside the program
    const std::string path = image(e);
    auto out = capture([&] { return UPFW_analysis_img(path.c_str(), 0); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.err, "read input imager: No data available\nwrite /dev/shm/update faild\n");
    EXPECT_FALSE(exists(root.at("/dev/shm/update")));

    const std::string short_file = root.at("/dev/shm/short");
    write_file(short_file, std::string(2047, '\0'));
    auto bad = capture([&] { return UPFW_analysis_img(short_file.c_str(), 1); });
    EXPECT_EQ(bad.result, -1);
    EXPECT_EQ(bad.err, "Bad size: \"" + short_file + "\" is no valid image\n");
    EXPECT_FALSE(exists(root.at("/dev/shm/bld.bin")));
}

// The fixed build tree under the root.
struct BuilderTest : ::testing::Test {
    TempRoot root;
    std::string input(int i) { return root.at(img_file[i]); }
    void lay_out(const std::vector<size_t> &sizes) {
        for (const char *d : {"/share/brint/targets/hi3798/firmware", "/share/brint/src/boards/hi3798/firmware"}) {
            std::string p;
            for (const char *c = d; *c; ++c) {
                p += *c;
                if (c[1] == '/' || c[1] == '\0') ::mkdir((root.path() + p).c_str(), 0755);
            }
        }
        for (int i = 0; i < 7; ++i) {
            std::string data(sizes[static_cast<size_t>(i)], '\0');
            for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>(k * 31 + static_cast<size_t>(i));
            write_file(input(i), data);
        }
    }
    std::string output() { return root.at("/share/brint/src/boards/hi3798/firmware/update_IMG"); }
};

TEST_F(BuilderTest, FixedBuildFillsInputsAndWritesAReadableHeader) {
    lay_out({5000, 4096, 9000, 100, 2048, 1, 3000});
    auto out = capture([] { return UPFW_creat_img(); });
    ASSERT_EQ(out.result, 0) << out.err;
    EXPECT_EQ(out.out, "Copy data to image!!!\n");
    EXPECT_EQ(read_file(input(0)).size(), 6144u);
    EXPECT_EQ(read_file(input(0)).substr(5000), std::string(1144, '\xff'));
    EXPECT_EQ(read_file(input(1)).size(), 4096u);

    const std::string img = read_file(output());
    uint32_t offset = 2048;
    for (int i = 0; i < 8; ++i) {
        const size_t at = 80 * static_cast<size_t>(i);
        EXPECT_EQ(img.substr(at + 24, 52), std::string(img_name[i]) + std::string(52 - std::strlen(img_name[i]), '\0'));
        EXPECT_EQ(get_le32(img, at + 8), ver_hex[i]);
        if (i == 7) {  // the tool: a name and a version, nothing else
            for (size_t f : {0, 4, 12, 16, 20, 76}) EXPECT_EQ(get_le32(img, at + f), 0u) << f;
            continue;
        }
        const std::string data = read_file(input(i));
        EXPECT_EQ(get_le32(img, at), offset) << i;
        EXPECT_EQ(get_le32(img, at + 4), data.size()) << i;
        EXPECT_EQ(get_le32(img, at + 12), load_addr[i]);
        EXPECT_EQ(get_le32(img, at + 16), load_flag[i]);
        EXPECT_EQ(get_le32(img, at + 20), 0x07E80111u);
        EXPECT_EQ(get_le32(img, at + 76), upfw::test::ref_crc32(reinterpret_cast<const unsigned char *>(data.data()), data.size()));
        EXPECT_EQ(img.substr(offset, data.size()), data);
        offset += static_cast<uint32_t>(data.size());
    }
    EXPECT_EQ(img.size(), offset);
    EXPECT_EQ(img.substr(640, 32).size(), 32u);
    EXPECT_EQ(img[640 + 4], '-');
    EXPECT_EQ(img[640 + 19], '\0');
    EXPECT_EQ(img.substr(672, 10), std::string("9.0.19-r2\0", 10));
    EXPECT_EQ(img.substr(682), std::string(2048 - 682, '\0') + img.substr(2048));
    EXPECT_EQ(capture([&] { return UPFW_verify(output().c_str(), nullptr); }).result, 0);

    // A second build over the same inputs changes them no more and differs only in its time.
    ASSERT_EQ(capture([] { return UPFW_creat_img(); }).result, 0);
    std::string again = read_file(output());
    EXPECT_EQ(read_file(input(0)).size(), 6144u);
    again.replace(640, 32, img.substr(640, 32));
    EXPECT_EQ(again, img);
}

TEST_F(BuilderTest, MissingOrEmptyInputsFailBeforeAnyOutput) {
    lay_out({10, 10, 10, 10, 10, 10, 10});
    ::unlink(input(2).c_str());
    auto missing = capture([] { return UPFW_creat_img(); });
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.err, std::string(img_file[2]) + ": No such file or directory\n");
    EXPECT_FALSE(exists(output()));

    write_file(input(2), "");
    auto empty = capture([] { return UPFW_creat_img(); });
    EXPECT_EQ(empty.result, -1);
    EXPECT_EQ(empty.err, std::string(img_file[2]) + ": empty component file\n");
    EXPECT_FALSE(exists(output()));
}

TEST_F(BuilderTest, ImageToolLeavesInputsAloneAndListsAndVerifies) {
    const std::string ker = root.at("/ker.bin"), fs = root.at("/fs.bin");
    write_file(ker, std::string(5000, 'k'));
    write_file(fs, std::string(100, 'f'));
    const std::string out = root.at("/out.img");
    auto made = upfw::test::run_program(UPFW_TEST_IMAGE, {"create", out, "ker=" + ker, "fs=" + fs + "@72.8.1.12"});
    ASSERT_EQ(made.result, 0) << made.err;
    EXPECT_EQ(made.out, "Copy data to image!!!\n" + out + ": image written\n");
    EXPECT_EQ(read_file(ker).size(), 5000u);
    const std::string img = read_file(out);
    EXPECT_EQ(img.size(), 2048u + 6144u + 2048u);
    EXPECT_EQ(get_le32(img, 80 + 4), 6144u);
    EXPECT_EQ(get_le32(img, 160 + 8), 0x4808010Cu);
    EXPECT_EQ(get_le32(img, 0), 0u);  // bld given no file: no data
    EXPECT_EQ(img.substr(2048 + 5000, 1144), std::string(1144, '\xff'));

    auto verified = upfw::test::run_program(UPFW_TEST_IMAGE, {"verify", out});
    EXPECT_EQ(verified.result, 0) << verified.err;
    auto listed = upfw::test::run_program(UPFW_TEST_IMAGE, {"list", out});
    EXPECT_EQ(listed.result, 0);
    EXPECT_NE(listed.out.find("fs: \noffset  = 0x00002000\nsize    = 2 K\n"), std::string::npos);
    EXPECT_EQ(upfw::test::run_program(UPFW_TEST_IMAGE, {"create", out, "kernel=" + ker}).result, 2);
    EXPECT_EQ(upfw::test::run_program(UPFW_TEST_IMAGE, {"create", out, "ker=" + ker + "@1.2"}).result, 2);
}

}  // namespace
