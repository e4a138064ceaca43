/* The update engine: orchestration, the two flash writers, and the result log.
 *
 * The update and the writers need the environment store opened first (env_init, upfw/env.h)
 * to read and store partition records; they do not open it. None of them reboots. The NAND
 * writer keeps a process-wide page scratch area (ptr_to_globals): the writers must not run
 * concurrently, and nothing here is thread-safe. */
#ifndef UPFW_UPDATE_H
#define UPFW_UPDATE_H

#include <stddef.h>
#include <stdint.h>

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

/* One partition write request, as the update fills it and both writers read it. */
typedef struct update_part {
    char dev[32];     /* MTD device node, such as /dev/mtd4 */
    char name[32];    /* partition name of g_part_str, for its record */
    uint32_t offset;  /* component data in the image file */
    uint32_t size;
    uint32_t flag;
    uint32_t addr;
    uint32_t version; /* stored as the record's ver */
    uint32_t date;    /* stored as the record's date */
    uint32_t pad;     /* non-zero: a last partial page is filled up with 0xFF */
} update_part;

UPFW_STATIC_ASSERT(sizeof(update_part) == 92, "update_part size");
UPFW_STATIC_ASSERT(offsetof(update_part, name) == 32, "update_part.name");
UPFW_STATIC_ASSERT(offsetof(update_part, offset) == 64, "update_part.offset");
UPFW_STATIC_ASSERT(offsetof(update_part, pad) == 88, "update_part.pad");

/* Installs the image: verifies every CRC-32, writes kernel and root filesystem into the slot
 * not running (from ubi.mtd=fsN on /proc/cmdline, else the stored bootargs) and the boot
 * loader, base parameters and logo when their version rules call for it, and last stores
 * bootargs and bootcmd naming that slot: it boots at the next start, no reboot here. Needs
 * env_init. 0, or -1, -2, -4, -5, -8, -9 (the update command's result codes). A failed check
 * writes nothing; after a failed write the partitions written stay written and the boot
 * variables keep naming the running slot. */
UPFW_API int UPFW_run_update(const char *image_path);
/* Writes 3 to /proc/sys/vm/drop_caches, then flushes file-system buffers (sync). Needs
 * nothing opened. 0, or -1 after "clean memory error!" when the cache could not be dropped
 * (nothing flushed then). Writes no flash partition and no environment. */
UPFW_API int clean_memory_and_sync(void);
/* Writes one image component into the NAND partition req->dev. Geometry, fit (good blocks
 * only), alignment and a header entry with req's offset and size are checked first; then the
 * record of req->name is marked unfinished (one environment write), flash_eraseall erases the
 * partition, pages are written and read back (bad blocks skipped, a failing one marked bad),
 * the CRC-32 is checked and the record stored (a second write). Needs env_init. 0, or -1, the
 * record then unfinished or unchanged. */
UPFW_API int nand_flash_write_file(const char *image_path, const update_part *req);
/* Writes one image component into the SPI flash partition req->dev from its start. Size and
 * a header entry with req's offset and size are checked first; then the record of req->name is
 * marked unfinished (one environment write), only the erase blocks needed are erased, the data
 * written and read back, the CRC-32 checked and the record stored (a second write). No
 * bad-block handling. Needs env_init. 0, or -1, the record then unfinished or unchanged. */
UPFW_API int spi_flash_write_file(const char *image_path, const update_part *req);
/* A zeroed block of size bytes (at least one), or NULL when memory is short; release it with
 * free(). Needs nothing; changes nothing. */
UPFW_API void *xzalloc(size_t size);
/* NAND writer's page scratch area: NULL until its first call, then process-wide; do not free it. */
UPFW_API extern void *ptr_to_globals;

/* Replaces /mnt/nand/upfw.log with the code in decimal on a line of its own, then the message
 * as given (at most 255 bytes; NULL is taken as empty), and echoes the message on stderr.
 * Needs nothing opened; writes no flash partition and no environment. The message bytes
 * written, or -1 after a message on stderr (no echo when the log could not be opened or its
 * first line written). */
UPFW_API int UPFW_log(int code, const char *message);

UPFW_EXTERN_C_END

#endif
