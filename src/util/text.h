// Small text helpers for the key=value files of the simulated device and the tools.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace upfw::util {

inline std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// A whole unsigned number, decimal, 0x hexadecimal or 0 octal, no sign, at most max.
inline bool parse_number(const std::string &s, uint64_t max, uint64_t *out) {
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

inline bool parse_u32(const std::string &s, uint32_t *out) {
    uint64_t v;
    if (!parse_number(s, UINT32_MAX, &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace upfw::util
