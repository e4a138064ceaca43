#include "env/crc32.h"
#include "sim/device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/mtd.h"
#include "upfw/env.h"

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

std::string create(const std::string &root, const Options &opt) {
    if (opt.slot != 1 && opt.slot != 2) return "slot must be 1 or 2";
    for (const char *d : {"/dev/shm", "/proc", "/sbin", "/usr/sbin", "/usr/bin", "/mnt/nand", "/mnt/nand2", "/opt/app/bin", "/proc/sys/vm", "/sim"})
        if (!mkdirs(root + d)) return std::string("cannot create ") + root + d + ": " + std::strerror(errno);
    for (const char *f : {"/sim/flash.log", "/sim/flashops", "/sim/powercut", "/sim/poweroff", "/sim/reboot.log", "/dev/mem",
                          "/dev/hi_i2c", "/mnt/nand2/oem.db", "/opt/app/bin/special_oem.cfg", "/mnt/nand/updb.cfg"})
        ::unlink((root + f).c_str());

    std::string proc = "dev:    size   erasesize  name\n";
    for (int i = 0; i < 11; ++i) {
        const Part &p = kParts[i];
        const bool nand = p.nand || (i == 1 && opt.env_nand);
        uint32_t erase = p.nand ? kNandErase : kNorErase;
        uint32_t size = p.size;
        auto sz = opt.sizes.find(p.name);
        if (sz != opt.sizes.end()) size = sz->second;
        if (size == 0 || size % erase != 0)
            return std::string("size of ") + p.name + " must be a non-zero multiple of its erase block";
        std::string dev = root + "/dev/mtd" + std::to_string(i);
        {
            std::vector<char> ff(size, static_cast<char>(0xFF));
            std::ofstream out(dev, std::ios::trunc | std::ios::binary);
            out.write(ff.data(), static_cast<std::streamsize>(ff.size()));
            if (!out.flush()) return "cannot write " + dev;
        }
        std::string desc = std::string("type=") + (nand ? "nand" : "nor") + "\nerasesize=0x" ;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", erase);
        desc += hex;
        desc += "\nwritesize=" + std::to_string(nand ? kNandPage : 1) + "\noobsize=" + std::to_string(nand ? kNandOob : 0) + "\n";
        auto bad = opt.bad.find(p.name);
        if (bad != opt.bad.end()) {
            if (!nand) return std::string(p.name) + " is NOR flash and has no bad blocks";
            desc += "bad=";
            for (size_t b = 0; b < bad->second.size(); ++b) {
                if (bad->second[b] >= size / erase) return std::string("bad block beyond the end of ") + p.name;
                desc += (b ? "," : "") + std::to_string(bad->second[b]);
            }
            desc += "\n";
        }
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

    std::string tool = opt.tool.empty() ? self_path() : opt.tool;
    if (tool.empty()) return "cannot find the upfw-sim program for the command stubs";
    std::string prefix = opt.emulator.empty() ? "" : quote(opt.emulator) + " ";
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
            std::snprintf(line, sizeof line, "phy4.reg2=0x%04x\n", static_cast<unsigned>(opt.phy_id) & 0xFFFF);
            mem += line;
        }
        if (!opt.mdio.empty()) mem += "mdio=" + opt.mdio + "\n";
        if (!write_file(root + "/dev/mem", mem)) return "cannot write /dev/mem";
    }
    if (!opt.no_i2c) {
        char line[64];
        std::snprintf(line, sizeof line, "bus2.dev0x40.reg0x43=0x%02x\n", static_cast<unsigned>(opt.poe_id) & 0xFF);
        if (!write_file(root + "/dev/hi_i2c", line)) return "cannot write /dev/hi_i2c";
    }
    if (opt.oem && !write_file(root + "/mnt/nand2/oem.db", "")) return "cannot write the OEM marker";
    if (opt.special_oem && !write_file(root + "/opt/app/bin/special_oem.cfg", "")) return "cannot write the OEM marker";
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
    return write_file(root + "/proc/cmdline", cmdline + "\n") ? 0 : 1;
}

int cmd_reboot(const std::string &root) {
    {
        std::ofstream log(root + "/sim/reboot.log", std::ios::app);
        log << "reboot\n";
        if (!log.flush()) return 1;
    }
    return boot(root);
}

int cmd_flash_eraseall(const std::string &root, const std::vector<std::string> &args) {
    (void)root;
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: flash_eraseall DEVICE\n");
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
