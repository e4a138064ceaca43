// A new file beside a path, written whole and then renamed over that path.
#pragma once

#include <string>

#include "platform/fd.h"

namespace upfw::platform {

// Creates a new, empty file in the directory of path (".NAME.PID.N.NS" beside it), never an
// existing file or a link planted at that name (O_EXCL, O_NOFOLLOW), with permission bits 0666
// less the file-creation mask. Sets *tmp to its name. On failure: an invalid descriptor, errno
// set; *tmp then names no file of ours.
UniqueFd create_beside(const std::string &path, std::string *tmp);

}  // namespace upfw::platform
