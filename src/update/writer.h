// What the two flash writers share.
#pragma once

#include <string>

#include "upfw/update.h"

namespace upfw::update {

// The request's device node as it is opened (under the root) and as messages show it.
std::string device_of(const update_part &req);

// Stores the written partition's record (size, version, date of the request) once the
// partition is written and verified. A partition without a record yet gets one under its own
// name. fail_text is the writer's message for a failed store. 0 or -1.
int store_record(const update_part &req, const char *fail_text);

}  // namespace upfw::update
