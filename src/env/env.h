// What the environment room offers the rooms above it beside the C API.
#pragma once

#include <utility>
#include <vector>

namespace upfw::env {

// Sets several variables as hs_setenv would, all in one save: either every change reaches
// flash together or none does. 0 or -1.
int set_together(const std::vector<std::pair<const char *, const char *>> &vars);

}  // namespace upfw::env
