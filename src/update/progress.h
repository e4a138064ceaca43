// Progress of partition writes, for a front end that wants to show it. Nothing is reported
// unless a reporter is installed: the library's callers see exactly the output they always did.
#pragma once

#include <cstdint>

#include "upfw/update.h"

namespace upfw::update {

// Told as a partition is written: the bytes written and verified so far of its total, under the
// partition's name; done is true once when the partition's write ends, whatever its outcome.
using Progress = void (*)(const char *partition, uint64_t written, uint64_t total, bool done);

// Installs the reporter; nullptr (the default) reports nothing.
void set_progress(Progress reporter);

// Reports the request's progress to the installed reporter, if any.
void progress(const update_part &req, uint64_t written, bool done);

}  // namespace upfw::update
