/* The public headers compile as C and the library links from a C program. */
#include <stdio.h>
#include <string.h>

#include "upfw/upfw.h"
#include "upfw/crc32.h"

int main(void) {
    unsigned char digest[16];
    char name[10];
    env_mtd_table table;
    const unsigned char abc[] = "abc";
    static const unsigned char want[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                           0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    int failures = 0;

    if (crc32(0, (const unsigned char *)"123456789", 9) != 0xCBF43926u) failures++;
    md5(abc, 3, digest);
    if (memcmp(digest, want, 16) != 0) failures++;
    if (get_part_name(4, name) != 0 || strcmp(name, "ker1") != 0) failures++;
    if (strcmp(g_part_str[UPFW_PART_COUNT], "all") != 0) failures++;
    if (sizeof table.records[0] != 44 || sizeof table != 1508) failures++;
    printf("c_api: %d failures\n", failures);
    return failures != 0;
}
