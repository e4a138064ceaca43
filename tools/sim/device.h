// The simulated Hi3798 board: a directory tree used as UPFW_ROOT.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace upfw::sim {

struct Options {
    int slot = 1;                 // the running slot: bootargs on fsN, bootcmd on kerN
    bool env_nand = false;        // env partition on NAND (64 KiB blocks) instead of SPI NOR
    bool blank_env = false;       // both environment copies erased (bad CRCs)
    std::map<std::string, uint32_t> sizes;               // partition name -> bytes
    std::map<std::string, std::vector<uint32_t>> bad;    // partition name -> bad erase blocks
    std::vector<std::pair<std::string, std::string>> set;  // variables to add or replace
    std::vector<std::string> unset;                       // variables to leave out
    std::map<std::string, uint32_t> versions;             // record name -> installed version
    std::string model = "VHN7216 board";                  // first line of vhchip_update
    int64_t phy_id = 0x4D;     // PHY identifier 1 register of the PHY at address 4 (16 bits); -1 = none
    std::string mdio;          // "", "stuck", "hang" or "fail"
    int64_t poe_id = 0;        // PoE controller identifier byte (0 to 255)
    bool no_mem = false;       // no /dev/mem node
    bool no_i2c = false;       // no /dev/hi_i2c node
    bool oem = false;          // /mnt/nand2/oem.db present
    bool special_oem = false;  // /opt/app/bin/special_oem.cfg present
    std::string tool;      // the upfw-sim binary the command stubs run ("" = this program)
    std::string emulator;  // program that runs it (qemu-arm for cross builds), may be ""
    std::vector<std::string> keys;  // Ed25519 public key files (PEM) the device trusts
};

// Lays out the board under root. Returns "" on success, else what went wrong.
// Options that describe no board (an unknown partition, a size or block out of range, an
// identifier wider than its register, ...) are refused naming the create option and its value,
// and so is a root that is "/" or a directory holding anything but a board laid out before: a
// refusal writes nothing. root is made absolute (its real path) for the command stubs, so a
// relative root works from any directory. A failure to write part-way says that the board is
// incomplete.
std::string create(const std::string &root, const Options &opt);

// The environment text create() writes, in order, after --set/--unset are applied.
std::vector<std::pair<std::string, std::string>> default_environment(const Options &opt);

// One copy of the environment image: CRC word, the entries, the flag byte at the end.
std::vector<unsigned char> make_copy(const std::vector<std::pair<std::string, std::string>> &vars,
                                     uint8_t flag);

// The boot loader starting the next kernel: R/proc/cmdline becomes the bootargs stored on
// flash now (empty when there are none). 0, or 1 when the file cannot be written.
int boot(const std::string &root);

// The power of a device cut by R/sim/powercut coming back: the cut and its marks go
// (R/sim/powercut, R/sim/poweroff and the operation count R/sim/flashops) and the device boots.
// 0, or 1 with the reason on stderr.
int power_on(const std::string &root);

// The simulator's own commands, as run through the stubs under root. reboot records that it
// was asked (R/sim/reboot.log) and boots. flash_eraseall erases only a partition file of the
// device under root (a file in a directory inside root); any other path is refused.
int cmd_reboot(const std::string &root);
int cmd_flash_eraseall(const std::string &root, const std::vector<std::string> &args);
int cmd_vhchip_update(const std::string &root);

}  // namespace upfw::sim
