/* The update engine: orchestration, the two flash writers, and the result log. */
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

/* Installs the image into the slot that is not running; 0 or a negative result code. */
UPFW_API int UPFW_run_update(const char *image_path);
/* Drops the page cache and flushes file-system buffers; 0, or -1 when the drop failed. */
UPFW_API int clean_memory_and_sync(void);
/* Writes one component into a NAND partition, verified page by page, then stores its record. */
UPFW_API int nand_flash_write_file(const char *image_path, const update_part *req);
/* Writes one component into an SPI flash partition, verified, then stores its record. */
UPFW_API int spi_flash_write_file(const char *image_path, const update_part *req);
/* A zeroed block of size bytes, or NULL. */
UPFW_API void *xzalloc(size_t size);
/* The NAND writer's page scratch area, allocated by its first call. */
UPFW_API extern void *ptr_to_globals;

/* Replaces /mnt/nand/upfw.log with the code and the message (at most 255 bytes) and echoes
 * the message on stderr. Returns the message bytes written, or -1. */
UPFW_API int UPFW_log(int code, const char *message);

UPFW_EXTERN_C_END

#endif
