/* A program with a crc32 of its own, as programs that carry zlib's or their own have: the
 * library must still check and write the environment with its own CRC-32. Run on a simulated
 * device (UPFW_ROOT): loads the environment, changes one variable, loads it again, and checks
 * that nothing else was lost. Exit status 0 when the environment stayed intact. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "upfw/env.h"

/* Deliberately wrong: any CRC the library computed with this would fail. */
uint32_t crc32(uint32_t crc, const unsigned char *buf, uint32_t len) {
    (void)crc;
    (void)buf;
    (void)len;
    return 0;
}

int main(void) {
    if (env_init() != 0) return 1;
    const char *sn = hs_getenv("sn");
    char want[64];
    if (!sn || strlen(sn) >= sizeof want) return 2;
    strcpy(want, sn);
    if (hs_setenv("wifiip", "10.9.8.7") != 0) return 3;
    if (env_init() != 0) return 4;
    sn = hs_getenv("sn");
    const char *ip = hs_getenv("wifiip");
    if (!sn || strcmp(sn, want) != 0 || !ip || strcmp(ip, "10.9.8.7") != 0) return 5;
    if (crc32(0, (const unsigned char *)"x", 1) != 0) return 6; /* the program keeps its own */
    printf("own_crc32: environment intact\n");
    return 0;
}
