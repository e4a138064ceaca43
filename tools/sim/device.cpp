#include "env/crc32.h"
#include "sim/device.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "image/authenticity.h"
#include "image/crypto.h"
#include "platform/mtd.h"
#include "upfw/env.h"
#include "util/words.h"

namespace upfw::sim {

namespace {

struct Part {
    const char *name;
    uint32_t size;
    bool nand;
};

// mtd0..mtd10 in board order; sizes are kept small so tests stay fast.
constexpr Part kParts[] = {
    {"uboot", 0x80000, false},   {"env", 0x20000, false},  {"baseparam", 0x40000, true},
    {"logo", 0x40000, true},     {"ker1", 0x100000, true}, {"ker2", 0x100000, true},
    {"fs1", 0x200000, true},     {"fs2", 0x200000, true},  {"cfg", 0x40000, true},
    {"oem", 0x40000, true},      {"rsd", 0x40000, true},
};

constexpr uint32_t kNorErase = 0x10000;
constexpr uint32_t kNandErase = 0x20000;
constexpr uint32_t kNandPage = 2048;
constexpr uint32_t kNandOob = 64;
constexpr uint32_t kCopySize = 0x10000;
constexpr uint32_t kDate = 0x07e80111;  // 2024/1/17

const Part *find_part(const std::string &name) {
    for (const Part &p : kParts)
        if (name == p.name) return &p;
    return nullptr;
}

bool is_env(const Part &p) { return &p == &kParts[1]; }
bool is_nand(const Part &p, const Options &opt) { return p.nand || (is_env(p) && opt.env_nand); }
// The env partition on NAND keeps the 64 KiB blocks of the SPI flash.
uint32_t erase_of(const Part &p) { return p.nand ? kNandErase : kNorErase; }
uint32_t size_of(const Part &p, const Options &opt) {
    auto sz = opt.sizes.find(p.name);
    return sz == opt.sizes.end() ? p.size : sz->second;
}

std::string hex(int64_t v) {
    if (v < 0) return std::to_string(v);
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, static_cast<uint64_t>(v));
    return buf;
}

std::string join(const std::vector<uint32_t> &values) {
    std::string out;
    for (uint32_t v : values) out += (out.empty() ? "" : ",") + std::to_string(v);
    return out;
}

// Bytes of one environment copy that the entries fill: the CRC word, each entry and its NUL,
// and the NUL that ends the list. The flag byte comes after them.
size_t copy_bytes(const std::vector<std::pair<std::string, std::string>> &vars) {
    size_t n = 4 + 1;
    for (const auto &kv : vars) n += kv.first.size() + 1 + kv.second.size() + 1;
    return n;
}

// Why opt describes no board, naming the create option as it is written on the command line
// (numbers as the usage text writes them), or "" when it describes one.
// The name a trusted key file gets on the device: its own, with .pem added when it lacks it.
std::string key_name(const std::string &file) {
    const size_t slash = file.rfind('/');
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".pem") != 0) name += ".pem";
    return name;
}

std::string check(const Options &opt) {
    if (opt.slot != 1 && opt.slot != 2) return "--slot " + std::to_string(opt.slot) + ": the slot is 1 or 2";
    for (const auto &s : opt.sizes) {
        const std::string arg = "--size " + s.first + "=" + hex(s.second);
        const Part *p = find_part(s.first);
        if (!p) return arg + ": no partition \"" + s.first + "\"";
        if (s.second == 0 || s.second % erase_of(*p) != 0)
            return arg + ": not a non-zero multiple of the erase block of " + s.first + " (" + hex(erase_of(*p)) + ")";
        if (is_env(*p) && !opt.blank_env && s.second < 2 * kCopySize)
            return arg + ": too small for the two environment copies (" + hex(2 * kCopySize) + ")";
    }
    for (const auto &b : opt.bad) {
        const std::string arg = "--bad " + b.first + "=" + join(b.second);
        const Part *p = find_part(b.first);
        if (!p) return arg + ": no partition \"" + b.first + "\"";
        if (!is_nand(*p, opt)) return arg + ": " + b.first + " is NOR flash, which has no bad blocks";
        const uint32_t blocks = size_of(*p, opt) / erase_of(*p);
        for (uint32_t blk : b.second)
            if (blk >= blocks)
                return arg + ": block " + std::to_string(blk) + " is beyond the end of " + b.first + " (" +
                       std::to_string(blocks) + " blocks)";
    }
    for (const auto &v : opt.versions)
        if (!find_part(v.first))
            return "--record " + v.first + "=" + util::version_text(v.second) + ": no partition \"" + v.first + "\"";
    std::vector<std::string> key_names;
    for (const std::string &file : opt.keys) {
        std::string why;
        // A build that cannot read keys installs them unchecked: its tool refuses every image then.
        if (crypto::available() && !crypto::Key::load(file, crypto::Key::kPublic, &why).valid())
            return "--key " + file + ": " + why;
        if (!crypto::available() && ::access(file.c_str(), R_OK) != 0)
            return "--key " + file + ": cannot read: " + std::strerror(errno);
        const std::string name = key_name(file);
        if (std::find(key_names.begin(), key_names.end(), name) != key_names.end())
            return "--key " + file + ": a key named " + name + " is given already";
        key_names.push_back(name);
    }
    for (const auto &kv : opt.set)
        if (kv.first.empty() || kv.first.find_first_of(std::string("=\0", 2)) != std::string::npos)
            return "--set " + kv.first + "=" + kv.second + ": not a variable name";
    const auto base = default_environment(Options());
    for (const auto &name : opt.unset)
        if (std::none_of(base.begin(), base.end(), [&](const auto &v) { return v.first == name; }))
            return "--unset " + name + ": no variable \"" + name + "\" in the environment";
    if (opt.phy_id < -1 || opt.phy_id > 0xFFFF)
        return "--phy-id " + hex(opt.phy_id) + ": the PHY identifier register holds 16 bits (0 to 0xffff)";
    if (opt.poe_id < 0 || opt.poe_id > 0xFF)
        return "--poe-id " + hex(opt.poe_id) + ": the PoE identifier is one byte (0 to 0xff)";
    if (!opt.mdio.empty() && opt.mdio != "stuck" && opt.mdio != "hang" && opt.mdio != "fail")
        return "--mdio " + opt.mdio + ": not stuck, hang or fail";
    if (!opt.blank_env) {
        const size_t n = copy_bytes(default_environment(opt));
        if (n > kCopySize - 1)
            return "--set: the environment takes " + std::to_string(n) + " bytes, more than the " +
                   std::to_string(kCopySize - 1) + " of a copy";
    }
    return "";
}

bool mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string p = path.substr(0, i);
            if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

bool write_file(const std::string &path, const std::string &text, mode_t mode = 0644) {
    {
        std::ofstream out(path, std::ios::trunc | std::ios::binary);
        out << text;
        if (!out.flush()) return false;
    }
    return ::chmod(path.c_str(), mode) == 0;
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string record(const char *name, uint32_t ver, uint32_t size) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ", name, ver, size, kDate);
    return buf;
}

std::string self_path() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    return buf;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> default_environment(const Options &opt) {
    const char s = opt.slot == 2 ? '2' : '1';
    std::vector<std::pair<std::string, std::string>> vars = {
        {"bootdelay", "1"},
        {"baudrate", "115200"},
        {"ethaddr", "00:1a:2b:3c:4d:5e"},
        {"ipaddr", "192.168.1.10"},
        {"netmask", "255.255.255.0"},
        {"gateway", "192.168.1.1"},
        {"serverip", "192.168.1.2"},
        {"bootfile", "uImage"},
        {"sn", "VH2024000001"},
        {"ver", "Varnholt bootloader 72.1.1.5 (Jan 17 2024 - 10:00:00)"},
        {"bootState", "None"},
    };
    // Records of what the factory wrote; cfg, oem and rsd hold data, never images.
    const uint32_t ver_fw = 0x48090103;  // 72.9.1.3, the 9.x series
    const uint32_t sizes[11] = {0x40000, 0, 0x8000, 0x10000, 0x80000, 0x80000, 0x100000, 0x100000, 0, 0, 0};
    const uint32_t vers[11] = {0x48010105, 0, 0x48000001, 0x48000001, ver_fw, ver_fw, ver_fw, ver_fw, 0, 0, 0};
    for (int i = 0; i < 11; ++i) {
        auto v = opt.versions.find(kParts[i].name);
        vars.emplace_back(kParts[i].name, record(kParts[i].name, v == opt.versions.end() ? vers[i] : v->second, sizes[i]));
    }
    vars.emplace_back("bootargs", std::string("mem=1024M console=ttyAMA0,115200 ubi.mtd=fs") + s +
                                      " root=ubi0:rootfs rw rootfstype=ubifs mmz=ddr,0,0,150M");
    vars.emplace_back("bootcmd", std::string("nand read 0x1ffffc0 ker") + s + " 0x600000;bootm 0x1ffffc0");

    for (const auto &name : opt.unset)
        vars.erase(std::remove_if(vars.begin(), vars.end(), [&](const auto &v) { return v.first == name; }),
                   vars.end());
    for (const auto &kv : opt.set) {
        auto it = std::find_if(vars.begin(), vars.end(), [&](const auto &v) { return v.first == kv.first; });
        if (it != vars.end()) it->second = kv.second;
        else vars.push_back(kv);
    }
    return vars;
}

std::vector<unsigned char> make_copy(const std::vector<std::pair<std::string, std::string>> &vars, uint8_t flag) {
    std::vector<unsigned char> copy(kCopySize, 0);
    size_t pos = 4;
    for (const auto &kv : vars) {
        std::string e = kv.first + "=" + kv.second;
        if (pos + e.size() + 2 > kCopySize - 1) break;
        std::memcpy(&copy[pos], e.data(), e.size());
        pos += e.size() + 1;
    }
    copy[kCopySize - 1] = flag;
    uint32_t crc = upfw::env::crc32_update(0, copy.data() + 4, kCopySize - 4);
    for (int i = 0; i < 4; ++i) copy[i] = static_cast<unsigned char>(crc >> (8 * i));
    return copy;
}

namespace {

bool empty_dir(const std::string &path) {
    DIR *d = ::opendir(path.c_str());
    if (!d) return false;
    bool empty = true;
    while (const dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    ::closedir(d);
    return empty;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The board's directory as its real path, made when missing: the command stubs hold it, and
// run from whatever directory the update runs in. A board is laid out only where nothing
// else lives: a new or empty directory, or one holding a board laid out before (its sim/).
std::string board_dir(const std::string &given, std::string *out) {
    if (given.empty()) return "the root is an empty path";
    struct stat st;
    if (::stat(given.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return given + ": not a directory";
        if (!empty_dir(given) && !is_dir(given + "/sim"))
            return given + ": a directory that holds other files than a simulated device";
    } else if (errno != ENOENT || !mkdirs(given)) {
        return "cannot create " + given + ": " + std::strerror(errno);
    }
    char real[PATH_MAX];
    if (!::realpath(given.c_str(), real)) return given + ": " + std::strerror(errno);
    if (std::strcmp(real, "/") == 0) return given + ": the host's root directory";
    *out = real;
    return "";
}

// A program path relative to the current directory, made absolute for the command stubs;
// a bare name is left to the stub's PATH.
std::string program_path(const std::string &path) {
    if (path.empty() || path[0] == '/' || path.find('/') == std::string::npos) return path;
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

// Fills a new partition file with erased flash, a block at a time.
bool write_erased(const std::string &path, uint32_t size, uint32_t erase) {
    std::vector<char> ff(erase, static_cast<char>(0xFF));
    std::ofstream out(path, std::ios::trunc | std::ios::binary);
    for (uint64_t done = 0; out && done < size; done += erase)
        out.write(ff.data(), static_cast<std::streamsize>(ff.size()));
    return static_cast<bool>(out.flush());
}

std::string lay_out(const std::string &root, const Options &opt) {
    for (const char *d : {"/sim", "/dev/shm", "/proc", "/sbin", "/usr/sbin", "/usr/bin", "/mnt/nand", "/mnt/nand2", "/opt/app/bin", "/proc/sys/vm"})
        if (!mkdirs(root + d)) return std::string("cannot create ") + root + d + ": " + std::strerror(errno);
    for (const char *f : {"/sim/flash.log", "/sim/flashops", "/sim/powercut", "/sim/poweroff", "/sim/reboot.log", "/dev/mem",
                          "/dev/hi_i2c", "/mnt/nand2/oem.db", "/opt/app/bin/special_oem.cfg", "/mnt/nand/updb.cfg"})
        ::unlink((root + f).c_str());

    // The device trusts exactly the keys given.
    const std::string keys = root + image::kTrustedKeys;
    if (DIR *d = ::opendir(keys.c_str())) {
        while (const dirent *e = ::readdir(d))
            if (e->d_name[0] != '.') ::unlink((keys + "/" + e->d_name).c_str());
        ::closedir(d);
    }
    if (!opt.keys.empty() && !mkdirs(keys)) return "cannot create " + keys + ": " + std::strerror(errno);
    for (const std::string &file : opt.keys) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        if (!in || !write_file(keys + "/" + key_name(file), text.str()))
            return "cannot install the key " + file + " in " + keys;
    }

    std::string proc = "dev:    size   erasesize  name\n";
    for (int i = 0; i < 11; ++i) {
        const Part &p = kParts[i];
        const bool nand = is_nand(p, opt);
        const uint32_t erase = erase_of(p), size = size_of(p, opt);
        std::string dev = root + "/dev/mtd" + std::to_string(i);
        if (!write_erased(dev, size, erase)) return "cannot write " + dev;
        std::string desc = std::string("type=") + (nand ? "nand" : "nor") + "\nerasesize=" + hex(erase);
        desc += "\nwritesize=" + std::to_string(nand ? kNandPage : 1) + "\noobsize=" + std::to_string(nand ? kNandOob : 0) + "\n";
        auto bad = opt.bad.find(p.name);
        if (bad != opt.bad.end()) desc += "bad=" + join(bad->second) + "\n";
        if (!write_file(dev + ".mtd", desc)) return "cannot write " + dev + ".mtd";
        char line[96];
        std::snprintf(line, sizeof line, "mtd%d: %08x %08x \"%s\"\n", i, size, erase, p.name);
        proc += line;
    }
    if (!write_file(root + "/proc/mtd", proc)) return "cannot write /proc/mtd";
    // The running kernel was booted with the initial bootargs (none from a blank environment).
    std::string cmdline;
    if (!opt.blank_env)
        for (const auto &kv : default_environment(opt))
            if (kv.first == "bootargs") cmdline = kv.second;
    if (!write_file(root + "/proc/cmdline", cmdline + "\n")) return "cannot write /proc/cmdline";
    if (!write_file(root + "/proc/sys/vm/drop_caches", "")) return "cannot write /proc/sys/vm/drop_caches";

    if (!opt.blank_env) {
        auto vars = default_environment(opt);
        // Both copies valid; copy 0 carries the newer flag, as after a save from copy 0.
        auto c0 = make_copy(vars, 2), c1 = make_copy(vars, 1);
        // Written as raw factory data: a block marked bad keeps its copy beneath the mark.
        std::fstream env(root + "/dev/mtd1", std::ios::in | std::ios::out | std::ios::binary);
        env.write(reinterpret_cast<const char *>(c0.data()), static_cast<std::streamsize>(c0.size()));
        env.write(reinterpret_cast<const char *>(c1.data()), static_cast<std::streamsize>(c1.size()));
        if (!env.flush()) return "cannot write the environment";
    }

    std::string tool = opt.tool.empty() ? self_path() : program_path(opt.tool);
    if (tool.empty()) return "cannot find the upfw-sim program for the command stubs";
    std::string prefix = opt.emulator.empty() ? "" : quote(program_path(opt.emulator)) + " ";
    const std::pair<const char *, const char *> stubs[] = {
        {"/sbin/reboot", "reboot"},
        {"/usr/sbin/flash_eraseall", "flash_eraseall"},
        {"/usr/bin/vhchip_update", "vhchip_update"},
    };
    for (const auto &s : stubs) {
        std::string script = "#!/bin/sh\n# Simulated device command: never touches the host.\nexec " + prefix +
                             quote(tool) + " --root " + quote(root) + " " + s.second + " \"$@\"\n";
        if (!write_file(root + s.first, script, 0755)) return std::string("cannot write ") + s.first;
    }
    if (!write_file(root + "/sim/model", opt.model + "\n")) return "cannot write sim/model";
    if (!opt.no_mem) {
        std::string mem = "# MDIO controller: what each PHY register reads\n";
        char line[64];
        if (opt.phy_id >= 0) {
            std::snprintf(line, sizeof line, "phy4.reg2=0x%04x\n", static_cast<unsigned>(opt.phy_id));
            mem += line;
        }
        if (!opt.mdio.empty()) mem += "mdio=" + opt.mdio + "\n";
        if (!write_file(root + "/dev/mem", mem)) return "cannot write /dev/mem";
    }
    if (!opt.no_i2c) {
        char line[64];
        std::snprintf(line, sizeof line, "bus2.dev0x40.reg0x43=0x%02x\n", static_cast<unsigned>(opt.poe_id));
        if (!write_file(root + "/dev/hi_i2c", line)) return "cannot write /dev/hi_i2c";
    }
    if (opt.oem && !write_file(root + "/mnt/nand2/oem.db", "")) return "cannot write the OEM marker";
    if (opt.special_oem && !write_file(root + "/opt/app/bin/special_oem.cfg", "")) return "cannot write the OEM marker";
    return "";
}

}  // namespace

std::string create(const std::string &root, const Options &opt) {
    std::string err = check(opt);
    if (!err.empty()) return err;
    std::string dir;
    err = board_dir(root, &dir);
    if (!err.empty()) return err;
    err = lay_out(dir, opt);
    if (!err.empty()) return err + "; the board under " + dir + " is incomplete";
    return "";
}

int boot(const std::string &root) {
    // The boot loader reads the environment as the tool does: the valid copy, the newer of two.
    const char *was = std::getenv("UPFW_ROOT");
    const std::string saved = was ? was : "";
    ::setenv("UPFW_ROOT", root.c_str(), 1);
    std::string cmdline;
    if (env_init() == 0) {
        const char *args = hs_getenv("bootargs");
        if (args) cmdline = args;
        env_deinit();
    }
    if (was) ::setenv("UPFW_ROOT", saved.c_str(), 1);
    else ::unsetenv("UPFW_ROOT");
    if (write_file(root + "/proc/cmdline", cmdline + "\n")) return 0;
    std::fprintf(stderr, "upfw-sim: cannot write %s/proc/cmdline: %s\n", root.c_str(), std::strerror(errno));
    return 1;
}

int power_on(const std::string &root) {
    // The cut goes first, so that nothing from here on is cut again.
    for (const char *f : {"/sim/powercut", "/sim/poweroff", "/sim/flashops"}) {
        const std::string path = root + f;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            std::fprintf(stderr, "upfw-sim: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    return boot(root);
}

int cmd_reboot(const std::string &root) {
    {
        std::ofstream log(root + "/sim/reboot.log", std::ios::app);
        log << "reboot\n";
        if (!log.flush()) return 1;
    }
    return boot(root);
}

namespace {
// Whether path names a file in a directory inside root. The file itself may be a link (to a
// kernel's MTD node, in the kernel tier); the directories that lead to it may not leave root.
bool inside(const std::string &root, const std::string &path) {
    char real_root[PATH_MAX], real_dir[PATH_MAX];
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (!::realpath(root.c_str(), real_root) || !::realpath(dir.c_str(), real_dir)) return false;
    const std::string r = real_root, d = real_dir;
    return r != "/" && (d == r || d.compare(0, r.size() + 1, r + "/") == 0);
}
}  // namespace

int cmd_flash_eraseall(const std::string &root, const std::vector<std::string> &args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: flash_eraseall DEVICE\n");
        return 1;
    }
    if (!inside(root, args[0])) {
        std::fprintf(stderr, "flash_eraseall: %s: not a partition of the simulated device under %s\n",
                     args[0].c_str(), root.c_str());
        return 1;
    }
    platform::MtdDevice dev;
    if (!dev.open(args[0], O_RDWR)) {
        std::fprintf(stderr, "flash_eraseall: %s: %s\n", args[0].c_str(), std::strerror(errno));
        return 1;
    }
    platform::MtdInfo info;
    if (dev.info(&info) != 0) {
        std::fprintf(stderr, "flash_eraseall: %s: %s\n", args[0].c_str(), std::strerror(errno));
        return 1;
    }
    for (uint64_t off = 0; off < info.size; off += info.erasesize) {
        int bad = dev.block_is_bad(off);
        if (bad < 0) {
            std::fprintf(stderr, "flash_eraseall: %s: bad block query: %s\n", args[0].c_str(), std::strerror(errno));
            return 1;
        }
        if (bad) continue;
        if (dev.erase(off, info.erasesize) != 0) {
            std::fprintf(stderr, "flash_eraseall: %s: erase at 0x%llx: %s\n", args[0].c_str(),
                         static_cast<unsigned long long>(off), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

int cmd_vhchip_update(const std::string &root) {
    std::ifstream in(root + "/sim/model");
    std::string line;
    while (std::getline(in, line)) std::printf("%s\n", line.c_str());
    return 0;
}

}  // namespace upfw::sim
