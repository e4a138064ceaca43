/* A program built against an installed upfw, through pkg-config or find_package: the headers
 * are found, the library links and its functions answer. */
#include <stdio.h>
#include <string.h>

#include <upfw/crc32.h>
#include <upfw/upfw.h>

int main(void) {
    char name[10];
    unsigned char digest[16];
    int failures = 0;
    if (crc32(0, (const unsigned char *)"123456789", 9) != 0xCBF43926u) failures++;
    if (get_part_name(0, name) != 0 || strcmp(name, "uboot") != 0) failures++;
    md5((const unsigned char *)"", 0, digest);
    if (digest[0] != 0xd4 || digest[15] != 0x7e) failures++;
    printf("consumer: %d failures\n", failures);
    return failures != 0;
}
