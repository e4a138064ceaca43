// Shared test helpers: a temporary simulated device, an independent reader of the
// environment on flash, output capture and running the binaries.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/device.h"

extern char **environ;

namespace upfw::test {

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline void append_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
}

// Removes a directory and everything in it; links are removed, never followed.
inline void remove_tree(const std::string &path) {
    ::nftw(path.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
           FTW_DEPTH | FTW_PHYS);
}

// A fresh empty temporary directory, removed with its contents.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/upfw-test-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string at(const std::string &rel) const { return path_ + rel; }

private:
    std::string path_;
};

// A simulated board in a fresh temporary directory, used as UPFW_ROOT while it lives.
class TempRoot {
public:
    explicit TempRoot(upfw::sim::Options opt = {}) {
        char tmpl[] = "/tmp/upfw-test-XXXXXX";
        path_ = ::mkdtemp(tmpl);
        opt.tool = UPFW_TEST_SIM;
        opt.emulator = UPFW_TEST_EMULATOR;
        error_ = upfw::sim::create(path_, opt);
        ::setenv("UPFW_ROOT", path_.c_str(), 1);
    }
    ~TempRoot() {
        ::unsetenv("UPFW_ROOT");
        remove_tree(path_);
    }
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }
    std::string at(const std::string &rel) const { return path_ + rel; }

private:
    std::string path_;
    std::string error_;
};

// Bitwise CRC-32, written apart from the library's table-driven one.
inline uint32_t ref_crc32(const unsigned char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// One environment copy as an independent reader sees it on flash.
struct EnvCopy {
    bool crc_ok = false;
    uint8_t flag = 0;
    std::vector<std::string> entries;
    std::string get(const std::string &name) const {
        for (const auto &e : entries)
            if (e.compare(0, name.size() + 1, name + "=") == 0) return e.substr(name.size() + 1);
        return "<absent>";
    }
};

inline EnvCopy read_env_copy(const std::string &root, int index) {
    std::string dev = read_file(root + "/dev/mtd1");
    EnvCopy c;
    const size_t base = static_cast<size_t>(index) * 0x10000;
    if (dev.size() < base + 0x10000) return c;
    const auto *p = reinterpret_cast<const unsigned char *>(dev.data()) + base;
    uint32_t stored = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    c.crc_ok = ref_crc32(p + 4, 0x10000 - 4) == stored;
    c.flag = p[0xFFFF];
    for (size_t pos = 4; pos < 0xFFFF && p[pos] != 0;) {
        std::string e(reinterpret_cast<const char *>(p + pos));
        c.entries.push_back(e);
        pos += e.size() + 1;
    }
    return c;
}

// The copy the boot loader boots with, chosen apart from the library: the one with a good
// CRC, or of two good ones the higher flag byte (a wrap from 255 to 0 counting as higher).
// crc_ok is false when neither copy is good.
inline EnvCopy boot_env(const std::string &root) {
    EnvCopy c0 = read_env_copy(root, 0), c1 = read_env_copy(root, 1);
    if (c0.crc_ok && c1.crc_ok) {
        if (c0.flag == 255 && c1.flag == 0) return c1;
        if (c1.flag == 255 && c0.flag == 0) return c0;
        return c1.flag > c0.flag ? c1 : c0;
    }
    return c1.crc_ok ? c1 : c0;
}

// The partitions by index, as the board lays them out.
constexpr const char *kPartNames[] = {"uboot", "env", "baseparam", "logo", "ker1", "ker2",
                                      "fs1",   "fs2", "cfg",       "oem",  "rsd"};

// A partition record as an independent reader sees it: the record format read with sscanf,
// and whether the text carries the mark of an unfinished write.
struct Record {
    int fields = 0;  // how many of name, ver, size, date were read
    std::string name;
    uint32_t ver = 0, size = 0, date = 0;
    bool incomplete = false;
};

inline Record parse_record(const std::string &text) {
    Record r;
    char name[64] = "";
    unsigned ver = 0, size = 0, date = 0;
    r.fields = std::sscanf(text.c_str(), "name:%63s ver:0x%x size:%u date:0x%x", name, &ver, &size, &date);
    if (r.fields < 0) r.fields = 0;
    r.name = name;
    r.ver = ver;
    r.size = size;
    r.date = date;
    r.incomplete = text.find(" incomplete:0x") != std::string::npos;
    return r;
}

// Writes one raw copy (CRC made by the reference CRC unless corrupt) into the env partition.
inline void write_env_copy(const std::string &root, int index, const std::vector<std::string> &entries,
                           uint8_t flag, bool corrupt = false) {
    std::vector<unsigned char> copy(0x10000, 0);
    size_t pos = 4;
    for (const auto &e : entries) {
        std::memcpy(&copy[pos], e.data(), e.size());
        pos += e.size() + 1;
    }
    copy[0xFFFF] = flag;
    uint32_t crc = ref_crc32(copy.data() + 4, 0x10000 - 4) ^ (corrupt ? 1u : 0u);
    for (int i = 0; i < 4; ++i) copy[i] = static_cast<unsigned char>(crc >> (8 * i));
    std::fstream f(root + "/dev/mtd1", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(index) * 0x10000);
    f.write(reinterpret_cast<const char *>(copy.data()), static_cast<std::streamsize>(copy.size()));
}

// Replaces root with a fresh board whose environment holds exactly these entries in both
// copies (copy 0 newer). The old root goes first, so its teardown cannot clear UPFW_ROOT.
// The running kernel was booted with its bootargs, if it holds any.
inline void board_with(std::unique_ptr<TempRoot> &root, const std::vector<std::string> &entries) {
    root.reset();
    root = std::make_unique<TempRoot>();
    write_env_copy(root->path(), 0, entries, 1);
    write_env_copy(root->path(), 1, entries, 0);
    std::string cmdline;
    for (const auto &e : entries)
        if (e.rfind("bootargs=", 0) == 0) cmdline = e.substr(9);
    write_file(root->path() + "/proc/cmdline", cmdline + "\n");
}

// An update image written byte by byte, apart from the library's structs. Data go back to
// back from byte 2048 unless an entry says where; the CRC is the reference one unless given.
struct TestEntry {
    std::string name;
    std::string data;
    uint32_t version = 0;
    uint32_t addr = 0, flag = 0, date = 0x07E80111;
    int64_t offset = -1, size = -1, crc = -1;  // overrides
};

inline void put_le32(std::string &s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

inline uint32_t get_le32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

inline std::string make_image(const std::vector<TestEntry> &entries) {
    std::string img(2048, '\0');
    for (size_t i = 0; i < entries.size() && i < 8; ++i) {
        const TestEntry &e = entries[i];
        const size_t at = 80 * i;
        uint32_t offset = 0;
        if (!e.data.empty()) {
            offset = static_cast<uint32_t>(img.size());
            img += e.data;
        }
        put_le32(img, at, e.offset >= 0 ? static_cast<uint32_t>(e.offset) : offset);
        put_le32(img, at + 4, e.size >= 0 ? static_cast<uint32_t>(e.size) : static_cast<uint32_t>(e.data.size()));
        put_le32(img, at + 8, e.version);
        put_le32(img, at + 12, e.addr);
        put_le32(img, at + 16, e.flag);
        put_le32(img, at + 20, e.data.empty() && e.offset < 0 ? 0 : e.date);
        img.replace(at + 24, std::min<size_t>(e.name.size(), 52), e.name.substr(0, 52));
        const auto *p = reinterpret_cast<const unsigned char *>(e.data.data());
        put_le32(img, at + 76, e.crc >= 0 ? static_cast<uint32_t>(e.crc) : ref_crc32(p, e.data.size()));
    }
    return img;
}

struct Output {
    int result = 0;
    std::string out, err;
};

// Runs fn with stdout and stderr captured.
inline Output capture(const std::function<int()> &fn) {
    std::fflush(nullptr);
    FILE *o = std::tmpfile(), *e = std::tmpfile();
    int saved_out = ::dup(1), saved_err = ::dup(2);
    ::dup2(fileno(o), 1);
    ::dup2(fileno(e), 2);
    Output r;
    r.result = fn();
    std::fflush(nullptr);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    auto slurp = [](FILE *f) {
        std::string s;
        std::rewind(f);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
        return s;
    };
    r.out = slurp(o);
    r.err = slurp(e);
    return r;
}

// Runs a program to completion with UPFW_ROOT as it is set now; result is the exit status
// (or 128 + signal).
inline Output run_program(const std::string &program, const std::vector<std::string> &args) {
    std::vector<std::string> argv;
    std::string emulator = UPFW_TEST_EMULATOR;
    if (!emulator.empty()) argv.push_back(emulator);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);

    char out_name[] = "/tmp/upfw-out-XXXXXX", err_name[] = "/tmp/upfw-err-XXXXXX";
    int ofd = ::mkstemp(out_name), efd = ::mkstemp(err_name);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, ofd, 1);
    posix_spawn_file_actions_adddup2(&fa, efd, 2);
    pid_t pid;
    Output r;
    std::string path = emulator.empty() ? program : emulator;
    if (posix_spawnp(&pid, path.c_str(), &fa, nullptr, cargv.data(), environ) != 0) {
        r.result = -1000;
    } else {
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    ::close(ofd);
    ::close(efd);
    r.out = read_file(out_name);
    r.err = read_file(err_name);
    ::unlink(out_name);
    ::unlink(err_name);
    return r;
}

inline Output run_update(const std::vector<std::string> &args) { return run_program(UPFW_TEST_UPDATE, args); }

}  // namespace upfw::test
