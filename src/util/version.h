// Version words written by people: "a.b.c.d" (each 0-255) or a 0x-prefixed word.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace upfw::util {

inline bool parse_version(const std::string &s, uint32_t *out) {
    if (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0) {
        errno = 0;
        char *end = nullptr;
        unsigned long long v = std::strtoull(s.c_str() + 2, &end, 16);
        if (errno || *end || s.size() == 2 || s[2] == '-' || v > UINT32_MAX) return false;
        *out = static_cast<uint32_t>(v);
        return true;
    }
    unsigned p[4];
    char tail;
    if (s.empty() || s[0] < '0' || s[0] > '9' ||
        std::sscanf(s.c_str(), "%3u.%3u.%3u.%3u%c", &p[0], &p[1], &p[2], &p[3], &tail) != 4)
        return false;
    for (unsigned x : p)
        if (x > 255) return false;
    *out = p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
    return true;
}

}  // namespace upfw::util
