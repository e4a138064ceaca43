// Fixed device paths, re-rooted under UPFW_ROOT for simulated devices.
#pragma once

#include <string>

namespace upfw::platform {

// The simulated device's root directory, or "" on the device itself (UPFW_ROOT unset/empty).
std::string root();

// A fixed absolute path as it is opened: under the root when one is set, else unchanged.
// Paths that the user gives are not passed through here.
std::string rooted(const char *device_path);

// Pauses for the given seconds on the device. Under a root nothing waits, so simulated runs
// stay fast; the code path is the same.
void sleep_seconds(unsigned seconds);

// Flushes file-system buffers (sync). Under a root it does nothing: the simulated device's
// files are ordinary files of the host, and a host-wide sync would only slow the run.
void sync_all();

}  // namespace upfw::platform
