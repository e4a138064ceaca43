/* Boot-loader environment: two CRC-protected copies on /dev/mtd1, held in memory while open. */
#ifndef UPFW_ENV_H
#define UPFW_ENV_H

#include <stdint.h>

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

/* Reads both copies and keeps the newer valid one (or the built-in default) in memory.
 * 0 on success, -1 on failure (the store is then closed). Re-reads an open store. */
UPFW_API int env_init(void);
/* Releases the in-memory environment. Always 0. */
UPFW_API int env_deinit(void);

/* Value of a variable inside the open store, or NULL. Valid until the next change. */
UPFW_API char *hs_getenv(const char *name);
/* Replaces or adds a variable and writes both copies. 0, or -1 (errno EINVAL when the
 * environment is not terminated or not loaded). A refused set changes nothing. */
UPFW_API int hs_setenv(const char *name, const char *value);
/* Prints every variable as name=value lines on stdout. 0, or -1. */
UPFW_API int hs_printenv(void);

/* Command-line forms; each call opens the store afresh. */
UPFW_API char *fw_getenv(const char *name);
UPFW_API int fw_printenv(int argc, char *argv[]);
UPFW_API int fw_setenv(int argc, char *argv[]);

/* Wrappers for other programs on the device. */
UPFW_API int vh_env_init(void);
UPFW_API int vh_env_deinit(void);
UPFW_API char *vh_getenv(const char *name);
UPFW_API int vh_setenv(const char *name, const char *value);

/* The CRC-32 functions are declared in upfw/crc32.h. */

UPFW_EXTERN_C_END

#endif
