// Partition records and boot settings: what the library uses inside beside the C API.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "upfw/ptb.h"

namespace upfw::ptb {

// A null argument to an exported function: -1 with errno EINVAL.
int invalid_argument();

// Longest boot variable that the table's 512-byte copies hold.
constexpr uint32_t kMaxBootVar = 511;

// "a.b.c.d", each number of at most two digits, to a version word; 0 with a message when
// the text is malformed.
uint32_t parse_uboot_version(const char *text, bool *ok = nullptr);

// --version listing.
void display_version();

// The root filesystem slot ('1' or '2') that the running kernel was booted with: the digit
// of "ubi.mtd=fsN" on /proc/cmdline. 0 when the file is missing or names no such slot (a
// network root), and the stored bootargs must stand in for it.
char booted_slot();

// Whether the record of partition index (0-10) is marked incomplete: its partition was being
// erased or written and the write has not been verified since. before, when given, receives
// the version the record held before the write began (kept for the version rules only).
bool record_incomplete(int index, uint32_t *before = nullptr);

// The installed version of partition index as the version rules and the compatibility check
// read it: the record's, or for a record marked incomplete the one it held before.
uint32_t installed_version(const env_mtd_table &table, int index, bool *incomplete = nullptr);

// Marks the records of the given partitions (index, version held before) incomplete, and with
// boot given also stores its two boot-variable copies, all in one environment save. Nothing
// is stored when any of it cannot be. 0, or -1 after the store's message.
int mark_incomplete(const std::vector<std::pair<int, uint32_t>> &parts, const env_mtd_table *boot);

// Whether set_env_cmdline can store both copies of table: each is terminated and the
// variable it would replace is not longer than a copy holds. Prints the reason when not.
bool boot_copies_storable(const env_mtd_table &table);

}  // namespace upfw::ptb
