// Signed update images: made and checked by the image tool with keys from openssl genpkey,
// and refused by a device that trusts keys unless one of them signed exactly these bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fixture.h"
#include "image/crypto.h"
#include "upfw/env.h"
#include "upfw/update.h"

namespace {

using upfw::test::get_le32;
using upfw::test::make_image;
using upfw::test::Output;
using upfw::test::put_le32;
using upfw::test::read_file;
using upfw::test::ref_crc32;
using upfw::test::run_program;
using upfw::test::run_update;
using upfw::test::TempDir;
using upfw::test::TempRoot;
using upfw::test::TestEntry;
using upfw::test::write_file;

constexpr uint32_t v(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

Output image_tool(const std::vector<std::string> &args) { return run_program(UPFW_TEST_IMAGE, args); }

int sh(const std::string &command) { return std::system(command.c_str()); }

std::string hex_of(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Key pairs as a build engineer makes them, shared by every test of this program.
struct Keys {
    TempDir dir;
    std::string priv, pub, other_priv, other_pub;
    Keys() {
        priv = dir.at("/release.pem");
        pub = dir.at("/release.pub");
        other_priv = dir.at("/other.pem");
        other_pub = dir.at("/other.pub");
        for (const auto &k : {std::make_pair(priv, pub), std::make_pair(other_priv, other_pub)})
            sh("openssl genpkey -algorithm ed25519 -out '" + k.first + "' && openssl pkey -in '" + k.first +
               "' -pubout -out '" + k.second + "'");
    }
    // SHA-256 of the public key's DER form, as openssl computes it.
    std::string fingerprint(const std::string &public_key) const {
        const std::string out = dir.at("/fp");
        sh("openssl pkey -pubin -in '" + public_key + "' -outform DER | openssl dgst -sha256 -r > '" + out + "'");
        return read_file(out).substr(0, 64);
    }
};

const Keys &keys() {
    static const Keys k;
    return k;
}

upfw::sim::Options board(bool trusting = true) {
    upfw::sim::Options opt;
    for (const char *p : {"ker1", "ker2", "fs1", "fs2"}) opt.sizes[p] = 0x40000;
    if (trusting) opt.keys = {keys().pub};
    return opt;
}

// A release with a kernel, a root filesystem and an update program.
std::vector<TestEntry> release(char tag = 'a') {
    std::vector<TestEntry> e(8);
    e[0] = {"bld", "", v(72, 1, 1, 26)};
    e[1] = {"ker", "KER" + std::string(2 * 2048 + 300, tag), v(72, 1, 0, 10)};
    e[2] = {"fs", "FS" + std::string(3 * 2048 + 17, tag), v(72, 9, 1, 10)};
    e[3] = {"cmd", "#!/bin/sh\necho helper\n", v(0, 1, 0, 1)};
    return e;
}

// Writes the image to path and signs it there with the image tool.
std::string signed_image(const std::string &path, const std::string &key, const std::vector<TestEntry> &e = release()) {
    write_file(path, make_image(e));
    const Output o = image_tool({"sign", path, key});
    EXPECT_EQ(o.result, 0) << o.err;
    return read_file(path);
}

// Changes a 4-byte window at q of data so that its CRC-32 is crc again: CRC-32 is affine in the
// window's 32 bits, so the window is found by solving that system over GF(2).
void force_crc(std::string &data, size_t q, uint32_t crc) {
    auto crc_with = [&](uint32_t w) {
        put_le32(data, q, w);
        return ref_crc32(reinterpret_cast<const unsigned char *>(data.data()), data.size());
    };
    const uint32_t base = crc_with(0);
    uint32_t col[32];
    for (int i = 0; i < 32; ++i) col[i] = crc_with(1u << i) ^ base;
    // Solve sum(w_i * col[i]) = crc ^ base by elimination over the rows (bits of the CRC).
    uint32_t rows[32];  // row r: the coefficients of bit r in each column, then the target bit
    bool target[32];
    for (int r = 0; r < 32; ++r) {
        rows[r] = 0;
        for (int i = 0; i < 32; ++i) rows[r] |= ((col[i] >> r) & 1u) << i;
        target[r] = ((crc ^ base) >> r) & 1u;
    }
    int pivot_row[32];
    for (int i = 0, r = 0; i < 32; ++i) {
        int p = r;
        while (p < 32 && !((rows[p] >> i) & 1u)) ++p;
        ASSERT_LT(p, 32) << "the window does not reach every CRC bit";
        std::swap(rows[p], rows[r]);
        std::swap(target[p], target[r]);
        for (int k = 0; k < 32; ++k)
            if (k != r && ((rows[k] >> i) & 1u)) {
                rows[k] ^= rows[r];
                target[k] = target[k] != target[r];
            }
        pivot_row[i] = r++;
    }
    uint32_t w = 0;
    for (int i = 0; i < 32; ++i) w |= static_cast<uint32_t>(target[pivot_row[i]]) << i;
    ASSERT_EQ(crc_with(w), crc);
}

// The root filesystem component of img changed at one byte, its CRC-32 kept by changing four
// more: only a cryptographic digest tells the difference.
void change_keeping_crc(std::string &img, int entry) {
    const uint32_t offset = get_le32(img, 80 * entry), size = get_le32(img, 80 * entry + 4);
    std::string data = img.substr(offset, size);
    const uint32_t crc = ref_crc32(reinterpret_cast<const unsigned char *>(data.data()), data.size());
    data[100] ^= 0x20;
    force_crc(data, 200, crc);
    img.replace(offset, size, data);
}

struct Flash {
    std::string ker2, fs2, env, bootargs;
};

Flash flash_of(const TempRoot &r) {
    return {read_file(r.at("/dev/mtd5")), read_file(r.at("/dev/mtd7")), read_file(r.at("/dev/mtd1")),
            upfw::test::boot_env(r.path()).get("bootargs")};
}

bool same(const Flash &a, const Flash &b) { return a.ker2 == b.ker2 && a.fs2 == b.fs2 && a.env == b.env; }

}  // namespace

class Signing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!upfw::crypto::available()) GTEST_SKIP() << "built without signatures";
        ASSERT_EQ(keys().fingerprint(keys().pub).size(), 64u) << "openssl is needed to make the test keys";
    }
};

// The layout as the README documents it, read here without the library: footer, statement,
// signature; openssl checks the signature over the statement.
TEST_F(Signing, ASignedImageIsTheImageFollowedByABlockThatAnIndependentReaderVerifies) {
    TempDir d;
    const std::string plain = make_image(release());
    const std::string img = signed_image(d.at("/img"), keys().priv);
    ASSERT_GT(img.size(), plain.size());
    EXPECT_EQ(img.substr(0, plain.size()), plain) << "the image proper is unchanged";

    const size_t n = img.size();
    ASSERT_EQ(img.substr(n - 8), "UPFW-END");
    EXPECT_EQ(get_le32(img, n - 12), 1u);
    const uint32_t length = get_le32(img, n - 16);
    const std::string block = img.substr(n - 16 - length, length);
    EXPECT_EQ(n - 16 - length, plain.size()) << "the block starts where the last component ends";
    EXPECT_EQ(block.substr(0, 8), "UPFW-SIG");
    EXPECT_EQ(get_le32(block, 8), 1u);
    EXPECT_EQ(get_le32(block, 12), 1u);
    EXPECT_EQ(hex_of(block.substr(16, 32)), keys().fingerprint(keys().pub));
    ASSERT_EQ(get_le32(block, 80), 3u);  // bld carries no data: ker, fs, cmd have digests
    EXPECT_EQ(length, 84u + 36u * 3 + 64);
    EXPECT_EQ(get_le32(block, 84), 1u);
    EXPECT_EQ(get_le32(block, 84 + 36 * 2), 3u);
    write_file(d.at("/header"), plain.substr(0, 2048));
    write_file(d.at("/fs"), plain.substr(get_le32(plain, 160), get_le32(plain, 164)));
    sh("openssl dgst -sha256 -r '" + d.at("/header") + "' > '" + d.at("/h.sum") + "'");
    sh("openssl dgst -sha256 -r '" + d.at("/fs") + "' > '" + d.at("/fs.sum") + "'");
    EXPECT_EQ(hex_of(block.substr(48, 32)), read_file(d.at("/h.sum")).substr(0, 64));
    EXPECT_EQ(hex_of(block.substr(84 + 36 + 4, 32)), read_file(d.at("/fs.sum")).substr(0, 64));
    const size_t statement = 84 + 36 * 3;
    write_file(d.at("/statement"), block.substr(0, statement));
    write_file(d.at("/sig"), block.substr(statement));
    EXPECT_EQ(sh("openssl pkeyutl -verify -pubin -inkey '" + keys().pub + "' -rawin -in '" + d.at("/statement") +
                 "' -sigfile '" + d.at("/sig") + "' > /dev/null"),
              0);

    // Readers that do not know the block see the image they saw before.
    write_file(d.at("/plain"), plain);
    const Output listed = image_tool({"list", d.at("/img")}), listed_plain = image_tool({"list", d.at("/plain")});
    EXPECT_EQ(listed.result, 0) << listed.err;
    EXPECT_EQ(listed.out.substr(0, listed_plain.out.size()), listed_plain.out);
    EXPECT_NE(listed.out.find("key     = sha256:" + keys().fingerprint(keys().pub)), std::string::npos) << listed.out;
    TempRoot r(board(false));
    const Output update_list = run_update({"-l", d.at("/img")}), update_list_plain = run_update({"-l", d.at("/plain")});
    EXPECT_EQ(update_list.out.substr(update_list.out.find('\n')), update_list_plain.out.substr(update_list_plain.out.find('\n')));
}

TEST_F(Signing, VerifyNamesTheKeyThatSignedAndRefusesAnyOther) {
    TempDir d;
    signed_image(d.at("/img"), keys().priv);
    Output o = image_tool({"verify", d.at("/img"), "--key", keys().other_pub, "--key", keys().pub});
    EXPECT_EQ(o.result, 0) << o.err;
    EXPECT_NE(o.out.find("signed by key sha256:" + keys().fingerprint(keys().pub) + " (" + keys().pub + ")"),
              std::string::npos) << o.out;
    o = image_tool({"verify", d.at("/img"), "--key", keys().other_pub});
    EXPECT_EQ(o.result, 1);
    EXPECT_NE(o.err.find("signed by an unknown key, fingerprint sha256:" + keys().fingerprint(keys().pub)), std::string::npos);
    write_file(d.at("/plain"), make_image(release()));
    o = image_tool({"verify", d.at("/plain"), "--key", keys().pub});
    EXPECT_EQ(o.result, 1);
    EXPECT_NE(o.err.find("carries no signature"), std::string::npos) << o.err;
    // A key file that holds no Ed25519 key is named.
    write_file(d.at("/junk.pem"), "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
    o = image_tool({"verify", d.at("/img"), "--key", d.at("/junk.pem")});
    EXPECT_EQ(o.result, 1);
    EXPECT_NE(o.err.find(d.at("/junk.pem") + ": not an Ed25519"), std::string::npos) << o.err;
}

TEST_F(Signing, CreateSignsAsItBuildsAndSignReplacesTheBlock) {
    TempDir d;
    write_file(d.at("/ker"), std::string(5000, 'k'));
    write_file(d.at("/fs"), std::string(9000, 'f'));
    Output o = image_tool({"create", d.at("/img"), "ker=" + d.at("/ker"), "fs=" + d.at("/fs"), "--key", keys().priv});
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(image_tool({"verify", d.at("/img"), "--key", keys().pub}).result, 0);
    const size_t size = read_file(d.at("/img")).size();
    o = image_tool({"sign", d.at("/img"), keys().other_priv});
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(read_file(d.at("/img")).size(), size) << "the old block is replaced, not kept";
    EXPECT_EQ(image_tool({"verify", d.at("/img"), "--key", keys().other_pub}).result, 0);
    EXPECT_EQ(image_tool({"verify", d.at("/img"), "--key", keys().pub}).result, 1);
    // A damaged block, or bytes after it, are replaced too: the block goes right after the last
    // component.
    std::string damaged = read_file(d.at("/img"));
    damaged[damaged.size() - 16] ^= 0x40;
    write_file(d.at("/img"), damaged);
    EXPECT_EQ(image_tool({"list", d.at("/img")}).result, 1);
    upfw::test::append_file(d.at("/img"), "junk");
    o = image_tool({"sign", d.at("/img"), keys().priv});
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(read_file(d.at("/img")).size(), size);
    EXPECT_EQ(image_tool({"verify", d.at("/img"), "--key", keys().pub}).result, 0);
    // A public key cannot sign; a failed create leaves no output.
    o = image_tool({"create", d.at("/new"), "ker=" + d.at("/ker"), "fs=" + d.at("/fs"), "--key", keys().pub});
    EXPECT_EQ(o.result, 1);
    EXPECT_NE(access(d.at("/new").c_str(), F_OK), 0);
}

TEST_F(Signing, AnExternalSignerSignsAndAWrongOneChangesNothing) {
    TempDir d;
    write_file(d.at("/img"), make_image(release()));
    const std::string openssl = "openssl pkeyutl -sign -inkey '" + keys().priv + "' -rawin -in /dev/stdin";
    Output o = image_tool({"sign", d.at("/img"), keys().pub, "--signer", openssl});
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(image_tool({"verify", d.at("/img"), "--key", keys().pub}).result, 0);
    const std::string before = read_file(d.at("/img"));
    const struct {
        std::string signer, says;
    } wrong[] = {
        {"openssl pkeyutl -sign -inkey '" + keys().other_priv + "' -rawin -in /dev/stdin", "does not verify with the key"},
        {"head -c 10 /dev/zero", "wrote 10 bytes, not a 64-byte signature"},
        {"yes", "wrote more than 1 MiB, not a 64-byte signature"},
        {"cat > /dev/null; exit 3", "failed (exit status 3)"},
    };
    for (const auto &w : wrong) {
        o = image_tool({"sign", d.at("/img"), keys().pub, "--signer", w.signer});
        EXPECT_EQ(o.result, 1) << w.signer;
        EXPECT_NE(o.err.find(w.says), std::string::npos) << o.err;
        EXPECT_TRUE(read_file(d.at("/img")) == before) << w.signer;
    }
}

// Each image the device must refuse: update and extraction alike, nothing written, nothing
// extracted, the reason on one line.
TEST_F(Signing, ATrustingDeviceRefusesEveryImageItsKeysDidNotSignAsSigned) {
    TempDir d;
    const std::string good = signed_image(d.at("/good"), keys().priv);
    const size_t n = good.size();
    std::string fixed_up = good;
    {
        // The root filesystem changed with its CRC-32 fixed up in the header.
        const uint32_t off = get_le32(good, 160), size = get_le32(good, 164);
        fixed_up[off + 5] ^= 1;
        put_le32(fixed_up, 80 * 2 + 76,
                 ref_crc32(reinterpret_cast<const unsigned char *>(fixed_up.data()) + off, size));
    }
    std::string same_crc = good;
    change_keeping_crc(same_crc, 2);
    std::string long_footer = good, extra_digest = good, bad_signature = good;
    put_le32(long_footer, n - 16, 0x7FFFFFF0);
    put_le32(extra_digest, n - 16 - get_le32(good, n - 16) + 80, 5);
    bad_signature[n - 20] ^= 1;
    const struct {
        const char *what;
        std::string image, says;
    } cases[] = {
        {"unsigned", make_image(release()), "Error: the image carries no signature"},
        {"another key", signed_image(d.at("/other"), keys().other_priv),
         "Error: the image is signed by an unknown key, fingerprint sha256:" + keys().fingerprint(keys().other_pub)},
        {"truncated inside the block", good.substr(0, n - 40), "Error: the image carries no signature"},
        {"footer past the start", long_footer, "Error: the image's signature block is damaged: the footer claims"},
        {"digest count", extra_digest, "damaged: the block has 5 component digests, the header 3 components with data"},
        {"bad signature", bad_signature, "Error: the image's signature is bad"},
        {"component and CRC changed", fixed_up, "Error: the image header's digest differs from the signed one"},
        {"component changed, CRC kept", same_crc, "Error: component 2 (fs) differs from the signed image"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempRoot r(board());
        write_file(r.at("/dev/shm/updateFM.bin"), c.image);
        const Flash before = flash_of(r);
        Output o = run_update({"-u"});
        EXPECT_EQ(o.result, 256 - 2);
        EXPECT_NE(o.err.find(c.says + ""), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("Verify update firmware faild!"), std::string::npos);
        EXPECT_EQ(read_file(r.at("/mnt/nand/upfw.log")), "-2\nverify update firmware faild!\n");
        EXPECT_TRUE(same(before, flash_of(r))) << "nothing written";
        for (const char *job : {"-a", "-e"}) {
            o = run_update({job});
            EXPECT_EQ(o.result, 255) << job;
            EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
            EXPECT_NE(access(r.at("/dev/shm/update").c_str(), F_OK), 0) << "nothing extracted";
        }
    }
    // And the image they signed goes in, update program and all.
    TempRoot r(board());
    write_file(r.at("/dev/shm/updateFM.bin"), good);
    Output o = run_update({"-a", "-u"});
    EXPECT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(read_file(r.at("/dev/shm/update")), release()[3].data);
    EXPECT_EQ(flash_of(r).fs2.substr(0, release()[2].data.size()), release()[2].data);
}

TEST_F(Signing, KeyFilesThatHoldNoKeyAreNamedAndADeviceWithoutAUsableKeyTrustsNothing) {
    TempDir d;
    const std::string good = signed_image(d.at("/good"), keys().priv);
    {
        // A junk key beside a good one: named, left out, the good one still trusted.
        TempRoot r(board());
        write_file(r.at("/etc/upfw/keys/junk.pem"), "not a key\n");
        write_file(r.at("/dev/shm/updateFM.bin"), good);
        const Output o = run_update({"-u"});
        EXPECT_EQ(o.result, 0) << o.err;
        EXPECT_NE(o.err.find("Warning: /etc/upfw/keys/junk.pem: not an Ed25519 public key"), std::string::npos);
    }
    {
        // The only key is a private one: nothing is trusted, not even images it signed.
        TempRoot r(board(false));
        ::mkdir(r.at("/etc").c_str(), 0755);
        ::mkdir(r.at("/etc/upfw").c_str(), 0755);
        ::mkdir(r.at("/etc/upfw/keys").c_str(), 0755);
        write_file(r.at("/etc/upfw/keys/release.pem"), read_file(keys().priv));
        write_file(r.at("/dev/shm/updateFM.bin"), good);
        const Output o = run_update({"-u"});
        EXPECT_EQ(o.result, 256 - 2);
        EXPECT_NE(o.err.find("Error: none of the keys in /etc/upfw/keys is usable"), std::string::npos) << o.err;
    }
    {
        // A FIFO planted among the keys is named, not waited on; a link to a key store that is
        // not there (not mounted) trusts nothing rather than everything.
        TempRoot r(board());
        ASSERT_EQ(::mkfifo(r.at("/etc/upfw/keys/fifo.pem").c_str(), 0644), 0);
        write_file(r.at("/dev/shm/updateFM.bin"), good);
        Output o = run_update({"-u"});
        EXPECT_EQ(o.result, 0) << o.err;
        EXPECT_NE(o.err.find("Warning: /etc/upfw/keys/fifo.pem: not a regular file; not trusted"), std::string::npos);
        upfw::test::remove_tree(r.at("/etc/upfw/keys"));
        ASSERT_EQ(::symlink("../../data/keys", r.at("/etc/upfw/keys").c_str()), 0);
        write_file(r.at("/dev/shm/updateFM.bin"), make_image(release()));
        o = run_update({"-u"});
        EXPECT_EQ(o.result, 256 - 2);
        EXPECT_NE(o.err.find("Error: cannot read the trusted keys in /etc/upfw/keys: No such file"), std::string::npos)
            << o.err;
    }
    {
        // A key directory that cannot be read fails closed.
        TempRoot r(board(false));
        ::mkdir(r.at("/etc").c_str(), 0755);
        ::mkdir(r.at("/etc/upfw").c_str(), 0755);
        write_file(r.at("/etc/upfw/keys"), "");
        write_file(r.at("/dev/shm/updateFM.bin"), good);
        const Output o = run_update({"-u"});
        EXPECT_EQ(o.result, 256 - 2);
        EXPECT_NE(o.err.find("Error: cannot read the trusted keys in /etc/upfw/keys"), std::string::npos) << o.err;
    }
    // The simulated device takes only a public key to trust.
    TempDir root;
    const Output o = run_program(UPFW_TEST_SIM, {"create", root.at("/board"), "--key", keys().priv});
    EXPECT_NE(o.result, 0);
    EXPECT_NE(o.err.find("--key " + keys().priv + ": not an Ed25519 public key"), std::string::npos) << o.err;
}

// Someone who rewrites the image while the update runs, keeping every CRC-32, is caught by the
// signed digest of the bytes written: the slot is neither recorded nor booted.
TEST_F(Signing, AChangeAfterTheCheckThatKeepsTheCrcIsNeverRecordedOrBooted) {
    TempRoot r(board());
    const std::string image = r.at("/dev/shm/updateFM.bin");
    std::string img = signed_image(image, keys().priv);
    change_keeping_crc(img, 1);
    write_file(r.at("/sim/changed.bin"), img);
    const std::string stub = read_file(r.at("/usr/sbin/flash_eraseall"));
    write_file(r.at("/usr/sbin/flash_eraseall"), "#!/bin/sh\n[ -e '" + r.at("/sim/changed") + "' ] || { cp '" +
                                                     r.at("/sim/changed.bin") + "' '" + image + "'; : > '" +
                                                     r.at("/sim/changed") + "'; }\n" + stub.substr(stub.find('\n') + 1));
    const Output o = run_update({"-u"});
    EXPECT_EQ(o.result, 256 - 8);
    EXPECT_NE(o.err.find("Error: the data written to /dev/mtd5 differ from the signed image"), std::string::npos)
        << o.err;
    EXPECT_TRUE(upfw::test::parse_record(upfw::test::boot_env(r.path()).get("ker2")).incomplete);
    EXPECT_NE(upfw::test::boot_env(r.path()).get("bootargs").find("=fs1"), std::string::npos);
}

// Programs that call the writers themselves get the same check, before anything is erased.
TEST_F(Signing, TheExportedWritersTakeOnlyASignedImageOnATrustingDevice) {
    TempRoot r(board());
    ASSERT_EQ(env_init(), 0);
    const std::string image = r.at("/dev/shm/updateFM.bin");
    write_file(image, make_image(release()));
    update_part req = {};
    std::snprintf(req.dev, sizeof req.dev, "/dev/mtd5");
    std::snprintf(req.name, sizeof req.name, "ker2");
    req.offset = get_le32(read_file(image), 80);
    req.size = get_le32(read_file(image), 84);
    req.pad = 1;
    const Flash before = flash_of(r);
    Output o = upfw::test::capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(o.result, -1);
    EXPECT_NE(o.err.find("Error: the image carries no signature"), std::string::npos) << o.err;
    EXPECT_TRUE(same(before, flash_of(r))) << "nothing erased, no record marked";
    signed_image(image, keys().priv);
    o = upfw::test::capture([&] { return nand_flash_write_file(image.c_str(), &req); });
    EXPECT_EQ(o.result, 0) << o.err;
    EXPECT_TRUE(flash_of(r).ker2.compare(0, release()[1].data.size(), release()[1].data) == 0);
    env_deinit();
}

// On a device without keys a signed image installs as the same image unsigned does: the same
// output, the same flash.
TEST_F(Signing, ADeviceWithoutKeysTreatsASignedImageAsBefore) {
    TempDir d;
    const std::string signed_bytes = signed_image(d.at("/img"), keys().priv);
    Output outputs[2];
    Flash flashes[2];
    for (int i = 0; i < 2; ++i) {
        TempRoot r(board(false));
        write_file(r.at("/dev/shm/updateFM.bin"), i == 0 ? make_image(release()) : signed_bytes);
        outputs[i] = run_update({"-u"});
        for (size_t at; (at = outputs[i].out.find(r.path())) != std::string::npos;) outputs[i].out.erase(at, r.path().size());
        flashes[i] = flash_of(r);
    }
    EXPECT_EQ(outputs[0].result, 0) << outputs[0].err;
    EXPECT_EQ(outputs[1].result, 0) << outputs[1].err;
    EXPECT_EQ(outputs[0].out, outputs[1].out);
    EXPECT_TRUE(same(flashes[0], flashes[1]));
}

// A build that cannot check signatures refuses every image on a device that trusts keys.
TEST(SigningUnavailable, ADeviceWithKeysRefusesEveryImage) {
    if (upfw::crypto::available()) GTEST_SKIP() << "built with signatures";
    TempRoot r(board(false));
    ::mkdir(r.at("/etc").c_str(), 0755);
    ::mkdir(r.at("/etc/upfw").c_str(), 0755);
    ::mkdir(r.at("/etc/upfw/keys").c_str(), 0755);
    write_file(r.at("/etc/upfw/keys/release.pem"), "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n");
    write_file(r.at("/dev/shm/updateFM.bin"), make_image(release()));
    const Output o = run_update({"-u"});
    EXPECT_EQ(o.result, 256 - 2);
    EXPECT_NE(o.err.find("Error: this build has no image signatures (built without OpenSSL), and /etc/upfw/keys holds "
                         "trusted keys"),
              std::string::npos)
        << o.err;
}
