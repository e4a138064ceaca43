// The image tool end to end, in a temporary directory that is also its working directory:
// refusals with their exact text and status, the input kept when named as the output, list and
// verify of files that are no sound images, help, version and the command line's own errors.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using upfw::test::make_image;
using upfw::test::Output;
using upfw::test::read_file;
using upfw::test::TestEntry;
using upfw::test::write_file;

const std::string kTry = "Try 'upfw-image --help' for more information.\n";
std::string try_command(const std::string &c) { return "Try 'upfw-image " + c + " --help' for more information.\n"; }

Output tool(const std::vector<std::string> &args) { return upfw::test::run_program(UPFW_TEST_IMAGE, args); }

// A fresh directory, the working directory while the test runs.
struct ImageToolTest : ::testing::Test {
    std::string dir;
    std::string old_cwd;
    void SetUp() override {
        char tmpl[] = "/tmp/upfw-image-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        char cwd[PATH_MAX];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        old_cwd = cwd;
        ASSERT_EQ(::chdir(dir.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(::chdir(old_cwd.c_str()), 0);
        ::nftw(dir.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
               FTW_DEPTH | FTW_PHYS);
    }
    std::string at(const std::string &name) const { return dir + "/" + name; }
    std::set<std::string> names() const {
        std::set<std::string> n;
        DIR *d = ::opendir(dir.c_str());
        while (struct dirent *e = d ? ::readdir(d) : nullptr)
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") n.insert(e->d_name);
        if (d) ::closedir(d);
        return n;
    }
};

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

TEST_F(ImageToolTest, AnOutputThatIsAnInputIsRefusedAndTheInputKept) {
    const std::string data = pattern(3000, 1);
    write_file(at("k.bin"), data);
    write_file(at("cmd.bin"), "program");
    ASSERT_EQ(::link(at("k.bin").c_str(), at("hard.img").c_str()), 0);
    ASSERT_EQ(::symlink("k.bin", at("soft.img").c_str()), 0);
    ASSERT_EQ(::symlink("k.bin", at("soft.bin").c_str()), 0);
    struct Case {
        std::string out, entry, input;
    };
    for (const Case &c : std::vector<Case>{{"k.bin", "ker=k.bin", "k.bin"},
                                           {at("k.bin"), "fs=k.bin@72.9.0.20", "k.bin"},
                                           {"hard.img", "ker=k.bin", "k.bin"},      // a hard link
                                           {"soft.img", "bld=k.bin", "k.bin"},      // the output links to it
                                           {"k.bin", "ker=soft.bin", "soft.bin"}})  // the input links to it
    {
        const std::string component = c.entry.substr(0, c.entry.find('='));
        auto r = tool({"create", c.out, "cmd=cmd.bin", c.entry});
        EXPECT_EQ(r.result, 1) << c.out;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "upfw-image: " + c.out + ": the output is the same file as the " + component + " input " +
                             c.input + "; nothing written\n");
        EXPECT_EQ(read_file(at("k.bin")), data) << c.out;
    }
    EXPECT_EQ(names(), (std::set<std::string>{"k.bin", "cmd.bin", "hard.img", "soft.img", "soft.bin"}));
}

TEST_F(ImageToolTest, RefusalsNameTheFileAndWriteNothing) {
    write_file(at("k.bin"), pattern(100, 2));
    ASSERT_EQ(::mkdir(at("sub").c_str(), 0755), 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"create", "out.img", "ker=k.bin", "fs=missing.bin"}, 1,
         "upfw-image: missing.bin: cannot open: No such file or directory\n"},
        {{"create", "out.img", "ker=sub"}, 1, "upfw-image: sub: is a directory\n"},
        {{"create", "out.img", "ker=/dev/null"}, 1, "upfw-image: /dev/null: is not a regular file\n"},
        {{"create", "sub", "ker=k.bin"}, 1, "upfw-image: sub: is a directory; nothing written\n"},
        {{"create", "out.img", "ker=k.bin", "fs=k.bin", "ker=k.bin@72.1.0.11"}, 2,
         "upfw-image: create: ker=k.bin@72.1.0.11: entry ker given twice (first ker=k.bin)\n" + try_command("create")},
        {{"create", "out.img", "tool=@0.0.2.0", "tool="}, 2,
         "upfw-image: create: tool=: entry tool given twice (first tool=@0.0.2.0)\n" + try_command("create")},
        {{"create", "out.img", "kernel=k.bin"}, 2,
         "upfw-image: create: kernel=k.bin: expected NAME=FILE[@VERSION], NAME one of bld ker fs cmd param jpg "
         "bld2 tool\n" + try_command("create")},
        {{"create", "out.img", "ker=k.bin@1.2"}, 2,
         "upfw-image: create: ker=k.bin@1.2: bad version '1.2' (a.b.c.d or a 0x word)\n" + try_command("create")},
        {{"create"}, 2, "upfw-image: create: missing OUT\n" + try_command("create")},
        {{"create", ""}, 2, "upfw-image: create: the output file name is empty\n" + try_command("create")},
        {{"create", "out.img", "--frob", "ker=k.bin"}, 2,
         "upfw-image: create: unknown option '--frob'\n" + try_command("create")},
        {{"create", "-out.img", "ker=k.bin"}, 2,
         "upfw-image: create: unknown option '-out.img'\n" + try_command("create")},
        {{"list"}, 2, "upfw-image: list: missing IMG\n" + try_command("list")},
        {{"verify", "a.img", "b.img"}, 2, "upfw-image: verify: unexpected argument 'b.img'\n" + try_command("verify")},
        {{"frob", "out.img"}, 2, "upfw-image: unknown command 'frob'\n" + kTry},
        {{"--frob"}, 2, "upfw-image: unknown option '--frob'\n" + kTry},
        {{"list", "missing.img"}, 1,
         "upfw-image: missing.img: cannot open: No such file or directory\nopen output imager: No such file or "
         "directory\n"},
        {{"verify", "missing.img"}, 1,
         "upfw-image: missing.img: cannot open: No such file or directory\nopen output imager: No such file or "
         "directory\n"},
    };
    for (const Case &c : cases) {
        auto r = tool(c.args);
        EXPECT_EQ(r.result, c.status) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(r.out, "") << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(names(), (std::set<std::string>{"k.bin", "sub"})) << c.err;
    }
    EXPECT_EQ(read_file(at("k.bin")), pattern(100, 2));
}

TEST_F(ImageToolTest, AFailedBuildLeavesTheOutputAsItWas) {
    write_file(at("out.img"), "the previous image");
    write_file(at("k.bin"), pattern(5000, 3));
    // A file in /proc stats as empty and reads as text: the input looks changed while it is copied.
    auto r = tool({"create", "out.img", "ker=k.bin", "fs=/proc/version"});
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, "Copy data to image!!!\n");
    EXPECT_EQ(r.err, "/proc/version changed while the image was built\n   Copy fs: /proc/version failed!\n"
                     "image_copy_data faild.\n");
    EXPECT_EQ(read_file(at("out.img")), "the previous image");
    EXPECT_EQ(names(), (std::set<std::string>{"out.img", "k.bin"}));  // no new file left beside it

    // Replaced whole once a build succeeds; a link at the output is replaced, not followed.
    ASSERT_EQ(::symlink("elsewhere", at("link.img").c_str()), 0);
    write_file(at("elsewhere"), "kept");
    for (const char *out : {"out.img", "link.img"}) {
        r = tool({"create", out, "ker=k.bin"});
        ASSERT_EQ(r.result, 0) << r.err;
        EXPECT_EQ(r.out, std::string("Copy data to image!!!\n") + out + ": image written\n");
        EXPECT_EQ(read_file(at(out)).size(), 2048u + 6144u);
    }
    struct stat st;
    ASSERT_EQ(::lstat(at("link.img").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(at("elsewhere")), "kept");
}

TEST_F(ImageToolTest, ListAndVerifySayWhatIsNoSoundImage) {
    // A kernel: a uImage header (magic, header CRC, time, size, load, entry, data CRC, OS, arch,
    // type, compression, name), then its data.
    std::string kernel("\x27\x05\x19\x56\x1c\x4e\x2a\x90\x65\x8f\x00\x00\x00\x00\x10\x00"
                       "\x80\x00\x80\x00\x80\x00\x80\x00\x9a\x3c\x11\x07\x05\x02\x02\x00",
                       32);
    kernel += std::string("Linux-6.1.0") + std::string(21, '\0') + pattern(4000, 4);
    write_file(at("uImage"), kernel);
    write_file(at("random.bin"), pattern(5000, 5));
    write_file(at("empty"), "");
    write_file(at("short"), std::string(100, '\0'));
    write_file(at("zeros"), std::string(4096, '\0'));
    std::vector<TestEntry> e(8);
    e[0] = {"bld", pattern(1000, 6), 0x4801011A};
    e[1] = {"ker", pattern(3000, 7), 0x4801000A};
    write_file(at("truncated.img"), make_image(e).substr(0, 2048 + 1000 + 1000));
    std::vector<TestEntry> swapped = e;
    swapped[0].name = "ker";
    swapped[1].name = "bld";
    write_file(at("swapped.img"), make_image(swapped));
    std::vector<TestEntry> odd = e;
    odd[1].name = "kernel";
    write_file(at("odd.img"), make_image(odd));

    struct Case {
        std::string file;
        std::string problem;   // the tool's words after "upfw-image: FILE: "
        std::string fixed;     // the library's failure text that follows it on stderr, if any
        std::string listing;   // the start of the listing on stdout
    };
    const std::string no_data = "read output imager: No data available\n";
    const std::vector<Case> cases = {
        {"empty", "not an update image: the file is empty", "Bad size: \"empty\" is no valid image\n", ""},
        {"short", "not an update image: 100 bytes, shorter than the 2048-byte header",
         "Bad size: \"short\" is no valid image\n", ""},
        {"uImage", "not an update image: entry 0 has no component name", no_data, "Image info: \n\x9a<"},
        {"random.bin", "not an update image: entry 0 has no component name", "", "Image info: \n"},
        {"zeros", "not an update image: its header names no component", "", "Image info: \n"},
        {"swapped.img", "not an update image: entry 0 is named \"ker\", which belongs to entry 1", "",
         "Image info: \nker: \n"},
        {"odd.img", "not an update image: entry 1 is named \"kernel\", not a component name", "",
         "Image info: \nbld: \n"},
        {"truncated.img", "truncated: ker runs to byte 6048, the file has only 4048", no_data, "Image info: \nbld: \n"},
    };
    for (const Case &c : cases) {
        const std::string line = "upfw-image: " + c.file + ": " + c.problem + "\n";
        auto listed = tool({"list", c.file});
        EXPECT_EQ(listed.result, 1) << c.file;
        // The listing is the library's; a file it cannot read is told before its failure text,
        // one it lists after the listing.
        EXPECT_EQ(listed.out.substr(0, c.listing.size()), c.listing) << c.file;
        EXPECT_EQ(listed.err, c.listing.empty() ? line + c.fixed : line) << c.file;
        auto verified = tool({"verify", c.file});
        EXPECT_EQ(verified.result, 1) << c.file;
        if (c.file == "random.bin")  // what the verification meets in noise is its own affair
            EXPECT_EQ(verified.err.substr(0, line.size()), line);
        else
            EXPECT_EQ(verified.err, line + c.fixed) << c.file;
        EXPECT_EQ(verified.out.find("every component matches"), std::string::npos) << c.file;
    }

    // A damaged component: the listing is sound, the verification is not.
    e[1].crc = 1;
    write_file(at("damaged.img"), make_image(e));
    EXPECT_EQ(tool({"list", "damaged.img"}).result, 0);
    auto damaged = tool({"verify", "damaged.img"});
    EXPECT_EQ(damaged.result, 1);
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X",
                  upfw::test::ref_crc32(reinterpret_cast<const unsigned char *>(e[1].data.data()), e[1].data.size()));
    EXPECT_EQ(damaged.err, "upfw-image: damaged.img: ker is damaged: its data have CRC-32 " + std::string(crc) +
                               ", the header says 0x00000001\ncheck_img_crc ker failed\n");
}

TEST_F(ImageToolTest, HelpAndVersionDoNothingElse) {
    const std::string version = std::string("upfw-image (upfw) ") + UPFW_TEST_VERSION + "\n";
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--version"}, {"create", "--version"}, {"list", "x.img", "--version"}, {"verify", "--version"}}) {
        auto r = tool(args);
        EXPECT_EQ(r.result, 0) << args[0];
        EXPECT_EQ(r.out, version);
        EXPECT_EQ(r.err, "");
    }
    struct Case {
        std::vector<std::string> args;
        std::string usage;
    };
    for (const Case &c : std::vector<Case>{
             {{"--help"}, "Usage: upfw-image COMMAND [OPTION]... [--] [ARGUMENT]...\n"},
             {{"-h"}, "Usage: upfw-image COMMAND [OPTION]... [--] [ARGUMENT]...\n"},
             {{"create", "--help"}, "Usage: upfw-image create [OPTION]... [--] OUT [NAME=FILE[@VERSION]]...\n"},
             {{"create", "out.img", "ker=k.bin", "-h"},
              "Usage: upfw-image create [OPTION]... [--] OUT [NAME=FILE[@VERSION]]...\n"},
             {{"list", "--help"}, "Usage: upfw-image list [OPTION]... [--] IMG\n"},
             {{"verify", "--help"}, "Usage: upfw-image verify [OPTION]... [--] IMG\n"}}) {
        auto r = tool(c.args);
        EXPECT_EQ(r.result, 0) << c.usage;
        EXPECT_EQ(r.out.substr(0, c.usage.size()), c.usage);
        EXPECT_NE(r.out.find("Exit status: 0 done; 1 "), std::string::npos) << c.usage;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(names(), std::set<std::string>{});  // no file named --help, or any other
}

TEST_F(ImageToolTest, NamesThatStartWithADashFollowTheEndOfOptions) {
    write_file(at("-k.bin"), pattern(100, 8));
    auto made = tool({"create", "--", "-out.img", "ker=-k.bin"});
    ASSERT_EQ(made.result, 0) << made.err;
    EXPECT_EQ(made.out, "Copy data to image!!!\n-out.img: image written\n");
    EXPECT_EQ(tool({"list", "--", "-out.img"}).result, 0);
    for (const char *img : {"./-out.img", "-out.img"}) {
        auto verified = img[0] == '.' ? tool({"verify", img}) : tool({"verify", "--", img});
        EXPECT_EQ(verified.result, 0) << verified.err;
        const std::string summary = std::string(img) + ": every component matches its CRC-32\n";
        ASSERT_GE(verified.out.size(), summary.size());
        EXPECT_EQ(verified.out.substr(0, 5), "ker: ");
        EXPECT_EQ(verified.out.substr(verified.out.size() - summary.size()), summary);
    }
}

TEST_F(ImageToolTest, ManualPageRendersWithoutWarnings) {
    const std::string page = std::string(UPFW_TEST_FIXTURES) + "/../../man/upfw-image.1";
    ASSERT_TRUE(std::ifstream(page).good()) << page;
    if (std::string(UPFW_TEST_EMULATOR) != "" || ::access("/usr/bin/groff", X_OK) != 0)
        GTEST_SKIP() << "groff is not installed here (or the tests run under an emulator): not rendered";
    auto r = upfw::test::run_program("/usr/bin/groff", {"-ww", "-man", "-z", page});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out + r.err, "");
    const std::string text = read_file(page);
    for (const char *section : {".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION", ".SH COMMANDS", ".SH ENTRIES",
                                ".SH FILES", ".SH EXIT STATUS", ".SH EXAMPLES", ".SH SEE ALSO"})
        EXPECT_NE(text.find(section), std::string::npos) << section;
}

}  // namespace
