/* MD5 message digest (RFC 1321). */
#ifndef UPFW_MD5_H
#define UPFW_MD5_H

#include <stdint.h>

#include "upfw/export.h"

UPFW_EXTERN_C_BEGIN

typedef struct MD5Context {
    uint32_t state[4];
    uint32_t count[2]; /* message length in bits, low word first */
    unsigned char buffer[64];
} MD5Context;

UPFW_API void MD5Init(MD5Context *ctx);
UPFW_API void MD5Update(MD5Context *ctx, const unsigned char *data, unsigned int len);
UPFW_API void MD5Final(unsigned char digest[16], MD5Context *ctx);
/* One-shot digest of len bytes. */
UPFW_API void md5(const unsigned char *data, unsigned int len, unsigned char digest[16]);

UPFW_EXTERN_C_END

#endif
