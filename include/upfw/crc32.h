/* IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320), as the boot-loader environment and
 * update images use it. Not part of the umbrella header upfw/upfw.h: zlib's <zlib.h>
 * declares a crc32 of its own with other types. A file that includes <zlib.h> before this
 * header (or defines UPFW_NO_CRC32_NAME) gets everything here but the name crc32, and calls
 * upfw_crc32 for the library's CRC-32. Needs nothing opened first; changes nothing. */
#ifndef UPFW_CRC32_H
#define UPFW_CRC32_H

#include <stdint.h>

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

/* The register form: no complement on entry or exit. crc32_no_comp(0xFFFFFFFF, ...) ^
 * 0xFFFFFFFF is the standard CRC-32. Returns the new register; len 0 returns crc unchanged.
 * Keeps no state, so a running CRC may be continued piece by piece. */
UPFW_API uint32_t crc32_no_comp(uint32_t crc, const unsigned char *buf, uint32_t len);
/* The same value as crc32(crc, buf, len), whatever chunk_sz is: the chunk size is not used.
 * Keeps no state. */
UPFW_API uint32_t crc32_wd(uint32_t crc, const unsigned char *buf, uint32_t len, uint32_t chunk_sz);
/* The read-only table of the polynomial: entry i is the update for byte value i (1: 0x77073096). */
UPFW_API extern const uint32_t crc32_tab[256];

#if !defined(ZLIB_H) && !defined(UPFW_NO_CRC32_NAME)
/* The standard CRC-32 of buf continued from crc: crc32(0, buf, len) starts one, and a previous
 * result continues it (crc32(0, "123456789", 9) is 0xCBF43926). Returns the CRC; a null buf
 * returns 0, the starting value, as zlib's crc32 does (a program linking both libraries may
 * reach this one under zlib's name: the values are the same). The library checks its own data
 * with its own CRC-32 even when the program brings another crc32. */
UPFW_API uint32_t crc32(uint32_t crc, const unsigned char *buf, uint32_t len);
#endif

/* The library's crc32 under a name that no other library uses: the same value, for files
 * that include <zlib.h> or define UPFW_NO_CRC32_NAME. */
static inline uint32_t upfw_crc32(uint32_t crc, const unsigned char *buf, uint32_t len) {
    return ~crc32_no_comp(~crc, buf, len);
}

UPFW_EXTERN_C_END

#endif
