/* Whether an update image suits this device. */
#ifndef UPFW_POLICY_H
#define UPFW_POLICY_H

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

/* 0 when the image may be installed or extracted here; -1 when refused or unreadable. */
UPFW_API int UPFW_version_check(const char *image_path);
/* The PoE controller's identifier byte (bus 2, device 0x40, register 0x43); 0 when unread. */
UPFW_API int get_poe_id(void);

UPFW_EXTERN_C_END

#endif
