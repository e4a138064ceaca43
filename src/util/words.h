// Version and date words as people read them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace upfw::util {

// 0x48090013 -> "72.9.0.19": four bytes, most significant first.
inline std::string version_text(uint32_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
                  static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF));
    return buf;
}

// 0x07E80111 -> "2024/1/17": year in bits 16-31, month 8-15, day 0-7.
inline std::string date_text(uint32_t d) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%d/%d/%d", static_cast<int>(d >> 16), static_cast<int>((d >> 8) & 0xFF),
                  static_cast<int>(d & 0xFF));
    return buf;
}

}  // namespace upfw::util
