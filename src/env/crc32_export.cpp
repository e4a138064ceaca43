// The exported crc32, alone in its file: a program that defines a crc32 of its own (zlib's,
// say) and links the static library never pulls this one in, and the library's own checks
// call the implementation directly, whichever crc32 the program ends up with.
#include "env/crc32.h"
#include "upfw/crc32.h"

// The same CRC-32 as zlib's crc32, which a program linking both may reach through this name
// (zlib's own calls included, when this library comes first): a null buffer asks, as there,
// for the starting value, 0.
extern "C" UPFW_API uint32_t crc32(uint32_t crc, const unsigned char *buf, uint32_t len) {
    if (!buf) return 0;
    return upfw::env::crc32_update(crc, buf, len);
}
