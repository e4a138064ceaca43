// upfw-sim: lays out a simulated Hi3798 board and serves as its platform commands.
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
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
    "  upfw-sim create ROOT [OPTION]...      lay out a simulated board under ROOT\n"
    "  upfw-sim --root ROOT COMMAND [ARG]    run a command of the simulated device\n"
    "  upfw-sim [create|COMMAND] --help      this text, or the help of create or a command\n"
    "\n"
    "Commands:\n"
    "  reboot              record the request in ROOT/sim/reboot.log and boot\n"
    "  flash_eraseall DEV  erase every good erase block of the partition file DEV\n"
    "  vhchip_update       print ROOT/sim/model\n"
    "  poweron             power the device back on after a power cut, and boot\n"
    "\n"
    "Exit status: 0 done, 1 a command failed, 2 a usage error or a board not laid out.\n";

constexpr const char *kCreateUsage =
    "Usage: upfw-sim create ROOT [OPTION]...\n"
    "Lay out a simulated board under ROOT, a new or empty directory or one holding a board\n"
    "laid out before. Refused options name the option and its value; nothing is written then.\n"
    "\n"
    "Options:\n"
    "  --slot N            running slot, 1 or 2 (bootargs on fsN, bootcmd on kerN)\n"
    "  --env-nand          env partition on NAND with 64 KiB blocks instead of SPI NOR\n"
    "  --blank-env         both environment copies erased\n"
    "  --size NAME=BYTES   size of a partition (a multiple of its erase block)\n"
    "  --bad NAME=B[,B]    factory bad erase blocks of a NAND partition\n"
    "  --set NAME=VALUE    add or replace an environment variable\n"
    "  --unset NAME        leave an environment variable out\n"
    "  --model LINE        what vhchip_update prints\n"
    "  --record NAME=VER   installed version of a partition record (a.b.c.d or 0x word)\n"
    "  --phy-id N          PHY identifier register (PHY 4, register 2), 0 to 0xffff; default 0x4d\n"
    "  --mdio MODE         MDIO controller fault: stuck, hang or fail\n"
    "  --poe-id N          PoE controller identifier byte, 0 to 0xff; default 0\n"
    "  --no-mem, --no-i2c  leave out /dev/mem or /dev/hi_i2c\n"
    "  --oem, --special-oem  create the OEM marker files\n"
    "  --emulator PROG     run the command stubs through PROG (such as qemu-arm)\n"
    "  --key PUB           trust the Ed25519 public key in the PEM file PUB: installed in\n"
    "                      /etc/upfw/keys, the device then takes only images it signed;\n"
    "                      may be given more than once\n"
    "  --help              this text\n";

struct Command {
    const char *name;
    const char *arg;  // the one argument it takes, or nullptr for none
    const char *help;
    int (*run)(const std::string &root, const std::vector<std::string> &args);
};

const Command kCommands[] = {
    {"reboot", nullptr,
     "Record the request in ROOT/sim/reboot.log and boot: ROOT/proc/cmdline becomes the\n"
     "bootargs stored on flash.\n",
     [](const std::string &root, const std::vector<std::string> &) { return upfw::sim::cmd_reboot(root); }},
    {"flash_eraseall", "DEV",
     "Erase every good erase block of DEV, a partition file under ROOT such as ROOT/dev/mtd7.\n",
     [](const std::string &root, const std::vector<std::string> &args) {
         return upfw::sim::cmd_flash_eraseall(root, args);
     }},
    {"vhchip_update", nullptr, "Print ROOT/sim/model, the model line of the board.\n",
     [](const std::string &root, const std::vector<std::string> &) { return upfw::sim::cmd_vhchip_update(root); }},
    {"poweron", nullptr,
     "Power the device back on after a power cut: remove ROOT/sim/powercut, ROOT/sim/poweroff\n"
     "and ROOT/sim/flashops, then boot as reboot does (without recording a reboot).\n",
     [](const std::string &root, const std::vector<std::string> &) { return upfw::sim::power_on(root); }},
};

const Command *find_command(const std::string &name) {
    for (const Command &c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

int fail(const std::string &msg) {
    std::fprintf(stderr, "upfw-sim: %s\n", msg.c_str());
    return 2;
}

int usage_error(const std::string &msg, const std::string &help) {
    fail(msg);
    std::fprintf(stderr, "Run 'upfw-sim %s--help' for the usage.\n", help.c_str());
    return 2;
}

bool asks_help(const std::vector<std::string> &args) {
    return std::find(args.begin(), args.end(), "--help") != args.end();
}

int command_help(const Command &c) {
    std::printf("Usage: upfw-sim --root ROOT %s%s%s\n%s", c.name, c.arg ? " " : "", c.arg ? c.arg : "", c.help);
    return 0;
}

// Runs a command of the device under root, with UPFW_ROOT naming it: the emulated flash of
// the command then keeps the device's power cut and operation log, and shows device paths.
int run(const std::string &root, const Command &c, const std::vector<std::string> &args) {
    if (asks_help(args)) return command_help(c);
    if (args.size() != (c.arg ? 1u : 0u))
        return usage_error(std::string(c.name) + (c.arg ? std::string(" takes ") + c.arg : " takes no arguments"),
                           std::string(c.name) + " ");
    struct stat st;
    char real[PATH_MAX];
    if (::stat((root + "/sim").c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !::realpath(root.c_str(), real))
        return fail(root + ": not a simulated device (it has no sim/ directory)");
    ::setenv("UPFW_ROOT", real, 1);
    return c.run(real, args);
}

bool split(const std::string &arg, std::string *name, std::string *value) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *name = arg.substr(0, eq);
    *value = arg.substr(eq + 1);
    return true;
}

// A comma-separated list of block numbers; false when empty or when one is not a number.
bool parse_blocks(const std::string &text, std::vector<uint32_t> *out) {
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        uint32_t b;
        if (!upfw::util::parse_u32(item, &b)) return false;
        out->push_back(b);
    }
    return !out->empty();
}

// What each create option takes; flags take nothing.
struct OptionForm {
    const char *name;
    const char *form;
};
constexpr OptionForm kValued[] = {
    {"--slot", "N"},           {"--size", "NAME=BYTES"}, {"--bad", "NAME=B[,B...]"}, {"--set", "NAME=VALUE"},
    {"--unset", "NAME"},       {"--model", "LINE"},      {"--record", "NAME=VER"},   {"--phy-id", "N"},
    {"--mdio", "MODE"},        {"--poe-id", "N"},        {"--emulator", "PROG"},
    {"--key", "PUB"},
};

// Reads one create option and its value into opt. The syntax is checked here, naming the
// argument as typed; whether the values describe a board is upfw::sim::create's to say.
bool parse_option(const std::string &a, const std::string &v, upfw::sim::Options *opt) {
    std::string name, value;
    uint32_t n;
    if (a == "--slot") {
        uint64_t slot;
        if (!upfw::util::parse_number(v, INT_MAX, &slot)) return false;
        opt->slot = static_cast<int>(slot);
    } else if (a == "--size") {
        if (!split(v, &name, &value) || !upfw::util::parse_u32(value, &n)) return false;
        opt->sizes[name] = n;
    } else if (a == "--bad") {
        std::vector<uint32_t> blocks;
        if (!split(v, &name, &value) || !parse_blocks(value, &blocks)) return false;
        auto &list = opt->bad[name];
        list.insert(list.end(), blocks.begin(), blocks.end());
    } else if (a == "--set") {
        if (!split(v, &name, &value)) return false;
        opt->set.emplace_back(name, value);
    } else if (a == "--unset") {
        opt->unset.push_back(v);
    } else if (a == "--model") {
        opt->model = v;
    } else if (a == "--record") {
        if (!split(v, &name, &value) || !upfw::util::parse_version(value, &n)) return false;
        opt->versions[name] = n;
    } else if (a == "--phy-id" || a == "--poe-id") {
        if (!upfw::util::parse_u32(v, &n)) return false;
        (a == "--phy-id" ? opt->phy_id : opt->poe_id) = n;
    } else if (a == "--mdio") {
        opt->mdio = v;
    } else if (a == "--emulator") {
        opt->emulator = v;
    } else if (a == "--key") {
        opt->keys.push_back(v);
    }
    return true;
}

int create(const std::vector<std::string> &args) {
    if (asks_help(args)) {
        std::fputs(kCreateUsage, stdout);
        return 0;
    }
    if (args.empty() || args[0].empty() || args[0][0] == '-') return usage_error("create needs a ROOT first", "create ");
    upfw::sim::Options opt;
    if (const char *emu = std::getenv("UPFW_SIM_EMULATOR")) opt.emulator = emu;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--env-nand") opt.env_nand = true;
        else if (a == "--blank-env") opt.blank_env = true;
        else if (a == "--no-mem") opt.no_mem = true;
        else if (a == "--no-i2c") opt.no_i2c = true;
        else if (a == "--oem") opt.oem = true;
        else if (a == "--special-oem") opt.special_oem = true;
        else {
            auto form = std::find_if(std::begin(kValued), std::end(kValued), [&](const OptionForm &f) { return a == f.name; });
            if (form == std::end(kValued)) return usage_error("unknown option " + a, "create ");
            if (i + 1 >= args.size()) return usage_error(a + " needs " + form->form, "create ");
            const std::string &v = args[++i];
            if (!parse_option(a, v, &opt)) return fail(a + " " + v + ": expected " + form->form);
        }
    }
    std::string err = upfw::sim::create(args[0], opt);
    if (!err.empty()) return fail(err);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Started under a command's own name (a link in the device's root), it is that command,
    // with the device's root from UPFW_ROOT: no shell is needed to run it.
    const char *base = std::strrchr(argv[0], '/');
    base = base ? base + 1 : argv[0];
    const char *r = std::getenv("UPFW_ROOT");
    if (const Command *c = find_command(base); c && r && *r) return run(r, *c, args);

    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (args[0] == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "create") return create({args.begin() + 1, args.end()});
    if (args[0] == "--root") {
        if (args.size() < 3) return usage_error("--root needs a ROOT and a COMMAND", "");
        const Command *c = find_command(args[2]);
        if (!c) return usage_error("unknown command " + args[2], "");
        return run(args[1], *c, {args.begin() + 3, args.end()});
    }
    if (const Command *c = find_command(args[0])) {
        if (args.size() == 2 && args[1] == "--help") return command_help(*c);
        return usage_error(args[0] + " needs --root ROOT before it", "");
    }
    return usage_error("unknown command " + args[0], "");
}
