// What the environment room offers the rooms above it beside the C API.
#pragma once

#include <utility>
#include <vector>

namespace upfw::env {

// Whether an environment is loaded (env_init succeeded and no env_deinit since).
bool loaded();

// Sets several variables as hs_setenv would, all in one save: either every change reaches
// flash together or none does. 0 or -1.
int set_together(const std::vector<std::pair<const char *, const char *>> &vars);

}  // namespace upfw::env
