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
 * 0xFFFFFFFF is the standard CRC-32. Returns the new register. */
UPFW_API uint32_t crc32_no_comp(uint32_t crc, const unsigned char *buf, uint32_t len);
/* crc32 of buf; chunk_sz is not used. */
UPFW_API uint32_t crc32_wd(uint32_t crc, const unsigned char *buf, uint32_t len, uint32_t chunk_sz);
/* The 256-entry table of the polynomial. */
UPFW_API extern const uint32_t crc32_tab[256];

#if !defined(ZLIB_H) && !defined(UPFW_NO_CRC32_NAME)
/* The standard CRC-32 of buf continued from crc: crc32(0, buf, len) starts one, and a previous
 * result continues it. Returns the CRC. */
UPFW_API uint32_t crc32(uint32_t crc, const unsigned char *buf, uint32_t len);
#endif

/* The library's crc32 under a name that no other library uses. */
static inline uint32_t upfw_crc32(uint32_t crc, const unsigned char *buf, uint32_t len) {
    return ~crc32_no_comp(~crc, buf, len);
}

UPFW_EXTERN_C_END

#endif
