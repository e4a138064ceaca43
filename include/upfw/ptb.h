/* Partition records, boot settings and the status display.
 *
 * Everything here but get_mtd_info and get_part_name works on the environment store and needs
 * it opened first (env_init, upfw/env.h); none of them opens it. Every store writes both
 * environment copies before the call returns. Only set_switch_filesys reboots. Nothing here
 * is thread-safe. */
#ifndef UPFW_PTB_H
#define UPFW_PTB_H

#include <stddef.h>
#include <stdint.h>

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

#define UPFW_PART_COUNT 11

/* What was last written to one partition, as kept in its environment variable. */
typedef struct env_partition {
    char name[32];
    uint32_t size;
    uint32_t ver;
    uint32_t date;
} env_partition;

/* Snapshot of all records plus copies of the two boot variables. */
typedef struct env_mtd_table {
    env_partition records[UPFW_PART_COUNT];
    char bootargs[512];
    char bootcmd[512];
} env_mtd_table;

/* One partition's device node ("/dev/mtdN") and name. */
typedef struct mtd_part_info {
    char dev[32];
    char name[32];
} mtd_part_info;

UPFW_STATIC_ASSERT(sizeof(env_partition) == 44, "env_partition size");
UPFW_STATIC_ASSERT(offsetof(env_partition, size) == 32, "env_partition.size");
UPFW_STATIC_ASSERT(offsetof(env_partition, ver) == 36, "env_partition.ver");
UPFW_STATIC_ASSERT(offsetof(env_partition, date) == 40, "env_partition.date");
UPFW_STATIC_ASSERT(sizeof(env_mtd_table) == 44 * 11 + 1024, "env_mtd_table size");
UPFW_STATIC_ASSERT(offsetof(env_mtd_table, bootargs) == 484, "env_mtd_table.bootargs");
UPFW_STATIC_ASSERT(offsetof(env_mtd_table, bootcmd) == 996, "env_mtd_table.bootcmd");
UPFW_STATIC_ASSERT(sizeof(mtd_part_info) == 64, "mtd_part_info size");

/* By partition index 0-10: uboot env baseparam logo ker1 ker2 fs1 fs2 cfg oem rsd; 11: "all". */
UPFW_API extern const char *const g_part_str[UPFW_PART_COUNT + 1];

/* Fills table with the eleven records (all zero where a variable is absent or malformed) and
 * copies of bootargs and bootcmd (empty when absent, cut to 511 characters). Needs env_init; a
 * closed store reads as empty. 0; -1 only for NULL. Writes flash in one case: a uboot record
 * without a variant byte (bits 8-15) gets the version found after "72." in the variable ver,
 * stored at once, on every call while that holds (not while the record is marked unfinished). */
UPFW_API int get_env_mtd_table(env_mtd_table *table);
/* Stores one record as "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x " under the variable
 * named by record->name (any name; it is not checked against g_part_str), writing both copies
 * before returning. Needs env_init. 0, or -1 when the name is empty or fills all 32 bytes
 * (nothing stored) or the store fails. */
UPFW_API int set_env_partition(const env_partition *record);
/* Stores every record whose name is exactly g_part_str at its index, one environment write
 * each (up to eleven). Skipped: other names, and an all-zero record of a partition marked as
 * being written (storing it would lift the mark). bootargs and bootcmd are not stored. Needs
 * env_init. 0, or -1 when any store failed (the others are still made). */
UPFW_API int set_env_mtd_table(const env_mtd_table *table);
/* Stores the non-empty copies of bootargs and bootcmd together, in one write of both
 * environment copies: both or neither. An empty copy changes nothing; with both empty nothing
 * is written and the result is 0. Refused, nothing stored, -1: a copy not terminated within its
 * 512 bytes (errno EINVAL), or a stored variable longer than 511 characters. Needs env_init. */
UPFW_API int set_env_cmdline(const env_mtd_table *table);
/* Fills the eleven entries from /proc/mtd: name is g_part_str at the index, dev "/dev/" and
 * the device of the first line that contains the name anywhere ("/dev/" alone when no line
 * does, or when /proc/mtd cannot be read, which prints "cat: /proc/mtd: ..."). Needs nothing
 * opened. 0; -1 only for NULL. Writes nothing. */
UPFW_API int get_mtd_info(mtd_part_info info[UPFW_PART_COUNT]);
/* Copies the partition name of index 0-10 into name (10 bytes suffice). Needs nothing opened.
 * 0, or -1 for any other index or NULL, name left unchanged. Writes nothing. */
UPFW_API int get_part_name(int index, char *name);

/* The boot-setting setters. Each needs env_init, stores one variable with hs_setenv (both
 * environment copies written before it returns) and returns 0 or -1. The texts are stored as
 * given: no address, mask, MAC address or serial number is checked, and no length limit but
 * the environment's room applies (the limits of the update command's options are its own).
 * The interface_index arguments are not used. The boot loader reads the variables at the next
 * boot; nothing here reboots. */

/* "bootargs" := text, the kernel command line of every later boot; -1 without storing for NULL
 * or a text longer than 511 characters. Without "=fs1" or "=fs2" in it the update refuses to
 * run (-4) and the slot switch puts the built-in boot arguments in its place. */
UPFW_API int set_ptb_cmdline(const char *text);
/* "sn" := text, the serial number. */
UPFW_API int set_ptb_sn(const char *text);
/* "bootdelay" := delay in decimal, 0 to 255. */
UPFW_API int set_ptb_bootdelay(uint8_t delay);
/* Stores nothing and returns 0, whatever value it is given. Needs nothing. */
UPFW_API int set_ptb_autoboot(uint8_t value);
/* Stores nothing and returns 0, whatever value it is given. Needs nothing. */
UPFW_API int set_ptb_autodownload(uint8_t value);
/* Stores nothing and returns 0, whatever value it is given. Needs nothing. */
UPFW_API int set_ptb_pri_addr(uint32_t address);
/* "bootfile" := text, the file the boot loader fetches over the network. */
UPFW_API int set_ptb_pri_file(const char *text);
/* "serverip" := text, the TFTP server's address. */
UPFW_API int set_ptb_tftpd_ip(const char *text);
/* "ethaddr" := text, the Ethernet MAC address. */
UPFW_API int set_ptb_eth_mac(int interface_index, const char *text);
/* "ipaddr" := text, the Ethernet IP address. */
UPFW_API int set_ptb_eth_ip(int interface_index, const char *text);
/* "netmask" := text, the Ethernet network mask. */
UPFW_API int set_ptb_eth_netmask(int interface_index, const char *text);
/* "gateway" := text, the Ethernet gateway. */
UPFW_API int set_ptb_eth_gateway(int interface_index, const char *text);
/* "wifimac" := text, the Wi-Fi MAC address. */
UPFW_API int set_ptb_wifi_mac(int interface_index, const char *text);
/* "wifiip" := text, the Wi-Fi IP address. */
UPFW_API int set_ptb_wifi_ip(int interface_index, const char *text);
/* "wifinm" := text, the Wi-Fi network mask. */
UPFW_API int set_ptb_wifi_netmask(int interface_index, const char *text);
/* "wifigw" := text, the Wi-Fi gateway. */
UPFW_API int set_ptb_wifi_gateway(int interface_index, const char *text);
/* Sets the version of the uboot record from "a.b.c.d" (numbers of one or two digits) and
 * stores the record (named uboot when there was none), writing both copies. Needs env_init.
 * 0, or -1: a text of another form prints "uboot version format invalid, eg: xx.xx.xx.xx" on
 * stdout and stores nothing; or the store failed. */
UPFW_API int set_ptb_uboot_version(const char *text);
/* state 0 turns a "bootState" holding "Done" into "None"; any other state turns one holding
 * "None" into "Done", writing both copies. Otherwise (the variable absent or without that word,
 * the store closed) it writes nothing and returns 0; the variable is never created. Needs
 * env_init. 0, or -1 when the store failed. */
UPFW_API int set_boot_state(int state);
/* Switches the boot slot: slot 0 turns the digit after the first "ker" in bootcmd and the one
 * after the first "=fs" in bootargs over (1 to 2, 2 to 1), slot 1 or 2 sets both to it; boot
 * arguments without "=fs" are replaced by the built-in ones. Prints "\tFilesys will switch to
 * fs%c after reboot!" and stores both variables in one write; effective at the next boot, no
 * reboot. Needs env_init. 0, or -1 with nothing stored: slot not 0-2, no "ker" in bootcmd, a
 * target partition with an unfinished write, a variable over 511 characters; or a failed store. */
UPFW_API int set_env_boot(int slot);
/* set_env_boot, then, after a 3-second pause, the platform's reboot command (run without a
 * shell). Refused, with nothing stored and no reboot, -1: a slot above 2 ("Unknown fs index,
 * please choose 1 or 2"), a target slot with an unfinished write, a variable over 511
 * characters. A switch that fails otherwise (no "ker" in bootcmd, a failed store) still
 * reboots, into the old slot, and returns -1. Else the reboot command's wait status (0 when it
 * exited 0). Needs env_init. */
UPFW_API int set_switch_filesys(unsigned int slot);
/* Replaces the number after the first "mem=" in bootargs by 148, 256 (for those arguments) or
 * 128 (for any other), and stores bootargs and bootcmd together in one write of both copies;
 * effective at the next boot, no reboot. Needs env_init. 0, or -1 with nothing stored: no
 * "mem=" ("unknow memory of env!"), a result over 511 characters; or a failed store. */
UPFW_API int set_cmdline_memory(int megabytes);

/* The --show listing on stdout: every record with a size, marked "(current)" when its name
 * occurs in the stored bootargs or bootcmd (the slot that boots next, which after an update
 * is not yet the one running), then /proc/mtd and every variable. Needs env_init. 0, or the
 * negative result of hs_printenv after "hs_printenv faild!". Writes nothing, apart from the
 * boot-loader version that get_env_mtd_table may store. */
UPFW_API int display_info(void);

UPFW_EXTERN_C_END

#endif
