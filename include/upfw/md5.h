/* MD5 message digest (RFC 1321). Needs nothing opened and touches neither flash nor the
 * environment; the functions keep no state outside the caller's context. */
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

/* Starts a digest in ctx; call it before the first MD5Update and again to reuse ctx. */
UPFW_API void MD5Init(MD5Context *ctx);
/* Adds len bytes of data to the digest in ctx; may be called any number of times. */
UPFW_API void MD5Update(MD5Context *ctx, const unsigned char *data, unsigned int len);
/* Writes the 16-byte digest of everything added and clears ctx, which needs MD5Init again. */
UPFW_API void MD5Final(unsigned char digest[16], MD5Context *ctx);
/* The 16-byte digest of len bytes of data in one call. */
UPFW_API void md5(const unsigned char *data, unsigned int len, unsigned char digest[16]);

UPFW_EXTERN_C_END

#endif
