/* Whether an update image suits this device. */
#ifndef UPFW_POLICY_H
#define UPFW_POLICY_H

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

/* Whether the image may be installed or extracted here, from the boot loaders' platform code,
 * the release series against the record of the root filesystem the stored bootargs name, the
 * OEM marker files, the PHY and PoE identifiers and the board model. Needs env_init. 0 allowed;
 * -1 refused (reason on stdout) or image unreadable (stderr). Writes no flash but the loader
 * version get_env_mtd_table may store; may create /mnt/nand/updb.cfg. Never reboots. */
UPFW_API int UPFW_version_check(const char *image_path);
/* The PoE controller's identifier byte, read through /dev/hi_i2c (bus 2, device 0x40, register
 * 0x43): 0 to 255; 0 when nothing was read, and "open file fail" on stdout (no newline) when
 * the node cannot be opened. Needs nothing opened; writes nothing. */
UPFW_API int get_poe_id(void);

UPFW_EXTERN_C_END

#endif
