/* zlib's header and the library's headers in one file: both compile, and the library's
 * CRC-32 is reached through its own header. */
#include <zlib.h>

#include <stdio.h>
#include <string.h>

#include "upfw/crc32.h"
#include "upfw/upfw.h"

int main(void) {
    char name[10];
    int failures = 0;
    if (upfw_crc32(0, (const unsigned char *)"123456789", 9) != 0xCBF43926u) failures++;
    if (crc32_no_comp(0xFFFFFFFFu, (const unsigned char *)"123456789", 9) != 0x340BC6D9u) failures++;
    if (get_part_name(7, name) != 0 || strcmp(name, "fs2") != 0) failures++;
    printf("with_zlib: %s, %d failures\n", ZLIB_VERSION, failures);
    return failures != 0;
}
