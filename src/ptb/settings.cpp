// Boot-loader settings, the boot state and the system slot switch.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "env/env.h"
#include "platform/command.h"
#include "platform/root.h"
#include "ptb/ptb.h"
#include "upfw/env.h"
#include "upfw/ptb.h"

namespace upfw::ptb {

namespace {

// Boot arguments used when the stored ones name no root filesystem slot.
constexpr const char *kDefaultBootargs =
    "mem=1024M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs mmz=ddr,0,0,150M";
constexpr unsigned kRebootPause = 3;

// The character after the first `marker` in text (a copy of kMaxBootVar + 1 bytes), which the
// switch to slot replaces; nullptr when there is no marker. A marker that ends the text gets
// the slot digit appended, where a digit is asked for (slot 1 or 2) and the copy has room for
// it; with slot 0 there is no digit there to turn over.
char *slot_char(char *text, const char *marker, int slot) {
    char *at = std::strstr(text, marker);
    if (!at) return nullptr;
    char *c = at + std::strlen(marker);
    if (*c) return c;
    if (slot == 0 || c - text >= static_cast<std::ptrdiff_t>(kMaxBootVar)) return nullptr;
    c[1] = '\0';
    return c;
}

char switched(char current, int slot) {
    if (slot == 0) return static_cast<char>(99 - current);
    return static_cast<char>('0' + (slot & 0xFF));
}

// The partition that a slot digit after prefix ("ker" or "fs") names, or -1 for a digit that
// names none.
int slot_partition(const char *prefix, char digit) {
    if (digit != '1' && digit != '2') return -1;
    return (prefix[0] == 'k' ? 3 : 5) + (digit - '0');
}

// False, after saying why, when the kernel or root filesystem partition a switch would boot
// holds a write that never finished.
bool bootable(char ker, char fs) {
    for (int index : {slot_partition("ker", ker), slot_partition("fs", fs)}) {
        if (index >= 0 && record_incomplete(index)) {
            std::fflush(stdout);
            std::fprintf(stderr, "Error: %s holds an unfinished write; not switching to it\n", g_part_str[index]);
            return false;
        }
    }
    return true;
}

// set_env_boot; refused tells whether the switch was refused before anything was stored
// (no reboot should follow it).
int switch_slot(int slot, bool *refused) {
    *refused = false;
    if (slot < 0 || slot > 2) {
        std::fprintf(stderr, "Unknown fs index, please choose 1 or 2\n");
        return -1;
    }
    // Without a boot environment there is nothing to switch, and a machine whose environment
    // cannot even be read (not the device, or a device in trouble) is not rebooted for it.
    if (!upfw::env::loaded()) {
        std::fprintf(stderr, "## Error: environment not loaded\n");
        *refused = true;
        return -1;
    }
    env_mtd_table table;
    get_env_mtd_table(&table);
    char *ker = slot_char(table.bootcmd, "ker", slot);
    if (!ker) {
        std::fprintf(stderr, "Can't find kernel partition!\n");
        return -1;
    }
    *ker = switched(*ker, slot);
    char *fs = slot_char(table.bootargs, "=fs", slot);
    if (!fs) {
        std::snprintf(table.bootargs, sizeof table.bootargs, "%s", kDefaultBootargs);
        fs = slot_char(table.bootargs, "=fs", slot);
    }
    *fs = switched(*fs, slot);
    // Refused before anything is said or stored: a slot with an unfinished write, or boot
    // variables that could not both be stored.
    if (!bootable(*ker, *fs) || !boot_copies_storable(table)) {
        *refused = true;
        return -1;
    }
    std::printf("\tFilesys will switch to fs%c after reboot!\n", *fs);
    return set_env_cmdline(&table);
}

}  // namespace

}  // namespace upfw::ptb

using namespace upfw::ptb;

extern "C" {

UPFW_API int set_ptb_cmdline(const char *text) {
    // A longer command line could never be read back whole into the boot-argument copies.
    if (!text) return invalid_argument();
    if (std::strlen(text) > kMaxBootVar) {
        std::fprintf(stderr, "Error: bootargs longer than %u characters\n", kMaxBootVar);
        return -1;
    }
    return hs_setenv("bootargs", text);
}

UPFW_API int set_ptb_sn(const char *text) { return hs_setenv("sn", text); }

UPFW_API int set_ptb_bootdelay(uint8_t delay) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%d", delay);
    return hs_setenv("bootdelay", buf);
}

UPFW_API int set_ptb_autoboot(uint8_t) { return 0; }
UPFW_API int set_ptb_autodownload(uint8_t) { return 0; }
UPFW_API int set_ptb_pri_addr(uint32_t) { return 0; }

UPFW_API int set_ptb_pri_file(const char *text) { return hs_setenv("bootfile", text); }
UPFW_API int set_ptb_tftpd_ip(const char *text) { return hs_setenv("serverip", text); }
UPFW_API int set_ptb_eth_mac(int, const char *text) { return hs_setenv("ethaddr", text); }
UPFW_API int set_ptb_eth_ip(int, const char *text) { return hs_setenv("ipaddr", text); }
UPFW_API int set_ptb_eth_netmask(int, const char *text) { return hs_setenv("netmask", text); }
UPFW_API int set_ptb_eth_gateway(int, const char *text) { return hs_setenv("gateway", text); }
UPFW_API int set_ptb_wifi_mac(int, const char *text) { return hs_setenv("wifimac", text); }
UPFW_API int set_ptb_wifi_ip(int, const char *text) { return hs_setenv("wifiip", text); }
UPFW_API int set_ptb_wifi_netmask(int, const char *text) { return hs_setenv("wifinm", text); }
UPFW_API int set_ptb_wifi_gateway(int, const char *text) { return hs_setenv("wifigw", text); }

UPFW_API int set_ptb_uboot_version(const char *text) {
    if (!text) return invalid_argument();
    env_mtd_table table;
    get_env_mtd_table(&table);
    bool ok = false;
    uint32_t ver = parse_uboot_version(text, &ok);
    // A mistyped version would wipe the recorded one; refuse it instead.
    if (!ok) return -1;
    env_partition &uboot = table.records[0];
    uboot.ver = ver;
    if (uboot.name[0] == '\0') std::snprintf(uboot.name, sizeof uboot.name, "%s", g_part_str[0]);
    return set_env_partition(&uboot);
}

UPFW_API int set_boot_state(int state) {
    const char *v = hs_getenv("bootState");
    if (!v) return 0;
    if (state == 0) return std::strstr(v, "Done") ? hs_setenv("bootState", "None") : 0;
    return std::strstr(v, "None") ? hs_setenv("bootState", "Done") : 0;
}

UPFW_API int set_env_boot(int slot) {
    bool refused;
    return switch_slot(slot, &refused);
}

UPFW_API int set_switch_filesys(unsigned int slot) {
    if (slot > 2) {
        std::fprintf(stderr, "Unknown fs index, please choose 1 or 2\n");
        return -1;
    }
    // The reboot follows a failed store, which leaves the old slot booting, but a switch that
    // failed is not reported as done. A switch refused before anything was stored (a slot with
    // an unfinished write, boot variables too long to store) reboots nothing.
    bool refused = false;
    const int switched_ok = switch_slot(static_cast<int>(slot), &refused);
    if (refused) return -1;
    upfw::platform::sleep_seconds(kRebootPause);
    const int status = upfw::platform::run_command({"reboot"});
    return switched_ok == 0 ? status : -1;
}

UPFW_API int set_cmdline_memory(int megabytes) {
    env_mtd_table table;
    get_env_mtd_table(&table);
    char *at = std::strstr(table.bootargs, "mem=");
    if (!at) {
        std::fprintf(stderr, "unknow memory of env!\n");
        return -1;
    }
    const char *size = megabytes == 148 ? "148" : megabytes == 256 ? "256" : "128";
    // The whole number is replaced, so "mem=1024M" becomes "mem=256M", not "mem=2564M".
    char *digits = at + 4;
    size_t old_len = std::strspn(digits, "0123456789");
    std::string rebuilt(table.bootargs, static_cast<size_t>(digits - table.bootargs));
    rebuilt += size;
    rebuilt += digits + old_len;
    if (rebuilt.size() > kMaxBootVar) {
        std::fprintf(stderr, "Error: bootargs longer than %u characters\n", kMaxBootVar);
        return -1;
    }
    std::memcpy(table.bootargs, rebuilt.c_str(), rebuilt.size() + 1);
    return set_env_cmdline(&table);
}

}  // extern "C"
