// The environment store inside the library: the in-memory copy and its save.
#pragma once

#include <cstdint>

namespace upfw::env {

// Size of one copy on flash and of the data area behind its CRC word.
constexpr uint32_t kCopySize = 0x10000;
constexpr uint32_t kDataSize = kCopySize - 4;

// The data area of the open store (text then flag byte), or nullptr when none is loaded.
unsigned char *data();
// env_data_size(): 65,532 while open, 0 while closed.
uint32_t data_size();
// Writes the in-memory environment to both copies, the other copy first. 0 or -1.
int save();
// Stores the CRC of the data area in the CRC word.
void update_crc();
// Index of the copy the environment was loaded from (0 or 1); -1 when closed.
int current();

}  // namespace upfw::env
