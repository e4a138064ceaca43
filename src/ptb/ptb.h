// Partition records and boot settings: what the library uses inside beside the C API.
#pragma once

#include <cstdint>

namespace upfw::ptb {

// Longest boot variable that the table's 512-byte copies hold.
constexpr uint32_t kMaxBootVar = 511;

// "a.b.c.d", each number of at most two digits, to a version word; 0 with a message when
// the text is malformed.
uint32_t parse_uboot_version(const char *text, bool *ok = nullptr);

// --version listing.
void display_version();

}  // namespace upfw::ptb
