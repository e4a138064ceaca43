/* Boot-loader environment: two CRC-protected copies on /dev/mtd1, held in memory while open.
 *
 * The store is process-wide: env_init opens it, env_deinit closes it. The hs_ and vh_
 * functions work on the open store and do not open it themselves; the fw_ functions open it
 * afresh on every call. Every change is written to flash before the call returns, to both
 * copies (the other copy first, then the one that was loaded): there is no unsaved state and
 * nothing to flush. None of these functions reboots. Nothing here is thread-safe: use the
 * store from one thread only, and nothing guards it against another process writing
 * /dev/mtd1 at the same time. */
#ifndef UPFW_ENV_H
#define UPFW_ENV_H

#include <stdint.h>

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

/* Opens the store: reads both copies from /dev/mtd1 and keeps the one with a good CRC (of two,
 * the newer flag byte), or with neither the built-in default (bootcmd, bootdelay, baudrate)
 * after "Warning: Bad CRC, using default environment". 0, or -1 after a message on stderr,
 * the store then closed. On an open store it re-reads flash and replaces the environment in
 * memory, so every value pointer handed out before is void. Writes nothing. */
UPFW_API int env_init(void);
/* Closes the store and releases the environment in memory; value pointers are void after it.
 * Always 0. Writes nothing (every change is on flash already). */
UPFW_API int env_deinit(void);

/* Value of a variable in the open store, or NULL (not defined, store closed, or the text
 * not terminated, which prints "## Error: environment not terminated"). The pointer points
 * into the environment in memory: do not change or free it, and copy the value before the
 * next change, which moves the text (any set, any record or boot setting that stores,
 * env_init, env_deinit, a fw_ call). Writes nothing. */
UPFW_API char *hs_getenv(const char *name);
/* Replaces or adds a variable (it moves to the end) and writes both copies before returning.
 * Needs env_init. No name is protected; an empty value stores "name=". 0, or -1: errno EINVAL
 * for a NULL argument, a store not loaded or a text not terminated; a value that does not
 * fit prints "Error: environment overflow, ..." and changes nothing, the old definition
 * staying despite the message's "deleted". A failed flash write keeps the change in memory
 * and the next successful set writes it. */
UPFW_API int hs_setenv(const char *name, const char *value);
/* Prints every variable as a name=value line on stdout, in stored order. Needs env_init.
 * 0, or -1 when the store is closed or the text is not terminated (the lines before that are
 * printed). Writes nothing. */
UPFW_API int hs_printenv(void);

/* hs_getenv after an env_init of its own: every call re-reads flash and replaces the
 * environment in memory (earlier value pointers are void). NULL when that fails or the
 * variable is not defined. Writes nothing. */
UPFW_API char *fw_getenv(const char *name);
/* Opens the store itself (env_init), then prints the variables named by argv[1] onward as
 * name=value lines, or all with no name, or with "-n NAME" the value alone; argv[0] is not
 * used. 0, or -1 when a name is not defined (the others are still printed), "-n" is not
 * followed by exactly one name, or the store cannot be opened. Writes nothing. */
UPFW_API int fw_printenv(int argc, char *argv[]);
/* Opens the store itself (env_init), sets argv[1] to the words argv[2] onward joined by
 * single blanks, or with no words deletes it, and writes both copies, even for deleting a
 * name that does not exist. An existing "serial#" is never changed or deleted (errno EROFS).
 * 0, or -1: errno EINVAL for argc below 2 (the store is then not opened) or a text not
 * terminated; an overflow changes nothing. */
UPFW_API int fw_setenv(int argc, char *argv[]);

/* env_init under another name, for other programs on the device; its result. */
UPFW_API int vh_env_init(void);
/* env_deinit under another name; always 0. */
UPFW_API int vh_env_deinit(void);
/* hs_getenv under another name: needs vh_env_init (or env_init) first; the value pointer is
 * valid only until the next change. */
UPFW_API char *vh_getenv(const char *name);
/* hs_setenv under another name: needs vh_env_init first, writes both copies before
 * returning. 0, or -1 whatever the cause. */
UPFW_API int vh_setenv(const char *name, const char *value);

/* The CRC-32 functions are declared in upfw/crc32.h. */

UPFW_EXTERN_C_END

#endif
