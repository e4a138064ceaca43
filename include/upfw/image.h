/* Update images: the 2048-byte header, listing, verification, extraction and the builder.
 * None of these needs the environment store, touches flash or the environment, or reboots; they
 * read and write files only. Nothing here is thread-safe. */
#ifndef UPFW_IMAGE_H
#define UPFW_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

#define UPFW_HEADER_SIZE 2048
#define UPFW_ENTRY_COUNT 8

/* One component slot of the header; all words little-endian. */
typedef struct upfw_entry {
    uint32_t offset;  /* first data byte from the start of the file; 0 = no data */
    uint32_t size;    /* data length in bytes; 0 = no data */
    uint32_t version; /* a.b.c.d, most significant byte first */
    uint32_t addr;    /* load address */
    uint32_t flag;
    uint32_t date;    /* year << 16 | month << 8 | day */
    char name[52];    /* NUL-terminated unless all 52 bytes are used; "" = empty slot */
    uint32_t crc32;   /* CRC-32 of the size data bytes */
} upfw_entry;

typedef struct upfw_header {
    upfw_entry entries[UPFW_ENTRY_COUNT];
    char build_time[32];   /* "%Y-%m-%d %H:%M:%S" */
    char release_ver[1376];
} upfw_header;

UPFW_STATIC_ASSERT(sizeof(upfw_entry) == 80, "upfw_entry size");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, offset) == 0, "upfw_entry.offset");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, size) == 4, "upfw_entry.size");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, version) == 8, "upfw_entry.version");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, addr) == 12, "upfw_entry.addr");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, flag) == 16, "upfw_entry.flag");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, date) == 20, "upfw_entry.date");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, name) == 24, "upfw_entry.name");
UPFW_STATIC_ASSERT(offsetof(upfw_entry, crc32) == 76, "upfw_entry.crc32");
UPFW_STATIC_ASSERT(sizeof(upfw_header) == UPFW_HEADER_SIZE, "upfw_header size");
UPFW_STATIC_ASSERT(offsetof(upfw_header, build_time) == 640, "upfw_header.build_time");
UPFW_STATIC_ASSERT(offsetof(upfw_header, release_ver) == 672, "upfw_header.release_ver");

/* Component names by entry index: bld ker fs cmd param jpg bld2 tool. */
UPFW_API extern const char *const img_name[UPFW_ENTRY_COUNT];
/* The builder's input files by entry index, fixed build-host paths; "" = name and version only. */
UPFW_API extern const char *const img_file[UPFW_ENTRY_COUNT];
/* The version the builder writes into each entry. */
UPFW_API extern const uint32_t ver_hex[UPFW_ENTRY_COUNT];
/* The flag word the builder writes into each entry with data. */
UPFW_API extern const uint32_t load_flag[UPFW_ENTRY_COUNT];
/* The load address the builder writes into each entry with data (all 0). */
UPFW_API extern const uint32_t load_addr[UPFW_ENTRY_COUNT];
/* Where the extraction writes each component (only the first four are ever written). */
UPFW_API extern const char *const out_upfw_name[UPFW_ENTRY_COUNT];

/* Prints "Image info: " and each named entry of the header on stdout: its name, its offset,
 * size, address, flag, date and CRC-32 when it has data, and its version. Needs nothing
 * opened. 0, or -1 when the header cannot be read (NULL path, a file that cannot be opened or
 * read or is shorter than 2048 bytes; one message on stderr). Changes nothing. */
UPFW_API int UPFW_list_intfo(const char *path);
/* Prints every named entry with data and checks its data against its CRC-32; context is not
 * read. Needs nothing opened. 0 when every such entry matches (also when there is none); -1 at
 * the first mismatch ("check_img_crc %s failed", later entries unchecked), an unreadable
 * header or data beyond the end of the file. Changes nothing. */
UPFW_API int UPFW_verify(const char *path, void *context);
/* Mode 0: every entry named "cmd" with data to /dev/shm/update, mode 0777; any other mode:
 * entries 0-3 to their out_upfw_name files. Each file is written beside its path and renamed
 * into place (a link there is replaced, never followed); the image itself at that path is
 * refused. 0 when every file set out to be written was written whole (also none); -1 at the
 * first failure, an image ending inside a component included, earlier files kept. */
UPFW_API int UPFW_analysis_img(const char *path, int mode);
/* For the build host: fills each img_file input up to a multiple of 2048 bytes with 0xFF in
 * place, then writes the image to /share/brint/src/boards/hi3798/firmware/update_IMG,
 * replacing it. An empty or missing input fails before the output is opened. 0, or -1 after
 * its messages (a half-written output is left). */
UPFW_API int UPFW_creat_img(void);

UPFW_EXTERN_C_END

#endif
