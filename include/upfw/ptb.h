/* Partition records, boot settings and the status display. */
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

/* uboot env baseparam logo ker1 ker2 fs1 fs2 cfg oem rsd, then "all" (no partition). */
UPFW_API extern const char *const g_part_str[UPFW_PART_COUNT + 1];

UPFW_API int get_env_mtd_table(env_mtd_table *table);
UPFW_API int set_env_partition(const env_partition *record);
UPFW_API int set_env_mtd_table(const env_mtd_table *table);
UPFW_API int set_env_cmdline(const env_mtd_table *table);
UPFW_API int get_mtd_info(mtd_part_info info[UPFW_PART_COUNT]);
UPFW_API int get_part_name(int index, char *name);

UPFW_API int set_ptb_cmdline(const char *text);
UPFW_API int set_ptb_sn(const char *text);
UPFW_API int set_ptb_bootdelay(uint8_t delay);
UPFW_API int set_ptb_autoboot(uint8_t value);
UPFW_API int set_ptb_autodownload(uint8_t value);
UPFW_API int set_ptb_pri_addr(uint32_t address);
UPFW_API int set_ptb_pri_file(const char *text);
UPFW_API int set_ptb_tftpd_ip(const char *text);
UPFW_API int set_ptb_eth_mac(int interface_index, const char *text);
UPFW_API int set_ptb_eth_ip(int interface_index, const char *text);
UPFW_API int set_ptb_eth_netmask(int interface_index, const char *text);
UPFW_API int set_ptb_eth_gateway(int interface_index, const char *text);
UPFW_API int set_ptb_wifi_mac(int interface_index, const char *text);
UPFW_API int set_ptb_wifi_ip(int interface_index, const char *text);
UPFW_API int set_ptb_wifi_netmask(int interface_index, const char *text);
UPFW_API int set_ptb_wifi_gateway(int interface_index, const char *text);
UPFW_API int set_ptb_uboot_version(const char *text);
UPFW_API int set_boot_state(int state);
UPFW_API int set_env_boot(int slot);
UPFW_API int set_switch_filesys(unsigned int slot);
UPFW_API int set_cmdline_memory(int megabytes);

UPFW_API int display_info(void);

UPFW_EXTERN_C_END

#endif
