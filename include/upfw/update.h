/* Update run: result log. */
#ifndef UPFW_UPDATE_H
#define UPFW_UPDATE_H

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

/* Replaces /mnt/nand/upfw.log with the code and the message (at most 255 bytes) and echoes
 * the message on stderr. Returns the message bytes written, or -1. */
UPFW_API int UPFW_log(int code, const char *message);

UPFW_EXTERN_C_END

#endif
