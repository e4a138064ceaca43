// upfw-sim: lays out a simulated Hi3798 board and serves as its platform commands.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sim/device.h"
#include "util/text.h"
#include "util/version.h"

namespace {

constexpr const char *kUsage =
    "Usage:\n"
    "  upfw-sim create ROOT [OPTION]...   lay out a simulated board under ROOT\n"
    "  upfw-sim --root ROOT COMMAND ARG... run a simulated device command\n"
    "                                      (reboot, flash_eraseall DEV, vhchip_update)\n"
    "\n"
    "Options of create:\n"
    "  --slot N            running slot, 1 or 2 (bootargs on fsN, bootcmd on kerN)\n"
    "  --env-nand          env partition on NAND with 64 KiB blocks instead of SPI NOR\n"
    "  --blank-env         both environment copies erased\n"
    "  --size NAME=BYTES   size of a partition (a multiple of its erase block)\n"
    "  --bad NAME=B[,B]    factory bad erase blocks of a NAND partition\n"
    "  --set NAME=VALUE    add or replace an environment variable\n"
    "  --unset NAME        leave an environment variable out\n"
    "  --model LINE        what vhchip_update prints\n"
    "  --record NAME=VER   installed version of a partition record (a.b.c.d or 0x word)\n"
    "  --phy-id N          PHY identifier register (PHY 4, register 2); default 0x4d\n"
    "  --mdio MODE         MDIO controller fault: stuck, hang or fail\n"
    "  --poe-id N          PoE controller identifier byte; default 0\n"
    "  --no-mem, --no-i2c  leave out /dev/mem or /dev/hi_i2c\n"
    "  --oem, --special-oem  create the OEM marker files\n"
    "  --emulator PROG     run the command stubs through PROG (such as qemu-arm)\n";


bool split(const std::string &arg, std::string *name, std::string *value) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *name = arg.substr(0, eq);
    *value = arg.substr(eq + 1);
    return true;
}

int fail(const std::string &msg) {
    std::fprintf(stderr, "upfw-sim: %s\n", msg.c_str());
    return 2;
}

int create(int argc, char **argv) {
    if (argc < 3) return fail("create needs a ROOT");
    std::string root = argv[2];
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    upfw::sim::Options opt;
    if (const char *emu = std::getenv("UPFW_SIM_EMULATOR")) opt.emulator = emu;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string *v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        std::string v, name, value;
        if (a == "--env-nand") {
            opt.env_nand = true;
        } else if (a == "--blank-env") {
            opt.blank_env = true;
        } else if (a == "--slot") {
            if (!next(&v) || (v != "1" && v != "2")) return fail("--slot takes 1 or 2");
            opt.slot = v[0] - '0';
        } else if (a == "--size") {
            uint32_t n;
            if (!next(&v) || !split(v, &name, &value) || !upfw::util::parse_u32(value, &n)) return fail("--size takes NAME=BYTES");
            opt.sizes[name] = n;
        } else if (a == "--bad") {
            if (!next(&v) || !split(v, &name, &value)) return fail("--bad takes NAME=B[,B...]");
            std::stringstream ss(value);
            std::string item;
            while (std::getline(ss, item, ',')) {
                uint32_t b;
                if (!upfw::util::parse_u32(item, &b)) return fail("--bad takes NAME=B[,B...]");
                opt.bad[name].push_back(b);
            }
        } else if (a == "--set") {
            if (!next(&v) || !split(v, &name, &value)) return fail("--set takes NAME=VALUE");
            opt.set.emplace_back(name, value);
        } else if (a == "--unset") {
            if (!next(&v)) return fail("--unset takes NAME");
            opt.unset.push_back(v);
        } else if (a == "--model") {
            if (!next(&opt.model)) return fail("--model takes a LINE");
        } else if (a == "--record") {
            uint32_t ver;
            if (!next(&v) || !split(v, &name, &value) || !upfw::util::parse_version(value, &ver))
                return fail("--record takes NAME=a.b.c.d");
            opt.versions[name] = ver;
        } else if (a == "--phy-id" || a == "--poe-id") {
            uint32_t n;
            if (!next(&v) || !upfw::util::parse_u32(v, &n) || n > 0xFFFF) return fail(a + " takes a number");
            (a == "--phy-id" ? opt.phy_id : opt.poe_id) = static_cast<int>(n);
        } else if (a == "--mdio") {
            if (!next(&opt.mdio) || (opt.mdio != "stuck" && opt.mdio != "hang" && opt.mdio != "fail"))
                return fail("--mdio takes stuck, hang or fail");
        } else if (a == "--no-mem") {
            opt.no_mem = true;
        } else if (a == "--no-i2c") {
            opt.no_i2c = true;
        } else if (a == "--oem") {
            opt.oem = true;
        } else if (a == "--special-oem") {
            opt.special_oem = true;
        } else if (a == "--emulator") {
            if (!next(&opt.emulator)) return fail("--emulator takes a PROG");
        } else {
            return fail("unknown option " + a);
        }
    }
    std::string err = upfw::sim::create(root, opt);
    if (!err.empty()) return fail(err);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Started under a command's own name (a link in the device's root), it is that command,
    // with the device's root from UPFW_ROOT: no shell is needed to run it.
    const char *base = std::strrchr(argv[0], '/');
    base = base ? base + 1 : argv[0];
    const char *r = std::getenv("UPFW_ROOT");
    if (r && *r) {
        std::vector<std::string> args(argv + 1, argv + argc);
        if (std::strcmp(base, "reboot") == 0) return upfw::sim::cmd_reboot(r);
        if (std::strcmp(base, "flash_eraseall") == 0) return upfw::sim::cmd_flash_eraseall(r, args);
        if (std::strcmp(base, "vhchip_update") == 0) return upfw::sim::cmd_vhchip_update(r);
    }
    if (argc >= 2 && std::strcmp(argv[1], "create") == 0) return create(argc, argv);
    if (argc >= 4 && std::strcmp(argv[1], "--root") == 0) {
        std::string root = argv[2], cmd = argv[3];
        std::vector<std::string> args(argv + 4, argv + argc);
        if (cmd == "reboot") return upfw::sim::cmd_reboot(root);
        if (cmd == "flash_eraseall") return upfw::sim::cmd_flash_eraseall(root, args);
        if (cmd == "vhchip_update") return upfw::sim::cmd_vhchip_update(root);
        return fail("unknown command " + cmd);
    }
    std::fputs(kUsage, argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr);
    return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
