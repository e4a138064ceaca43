#include "platform/root.h"

#include <unistd.h>

#include <cstdlib>

namespace upfw::platform {

std::string root() {
    const char *r = std::getenv("UPFW_ROOT");
    return r ? std::string(r) : std::string();
}

std::string rooted(const char *device_path) {
    std::string r = root();
    if (r.empty() || device_path[0] != '/') return device_path;
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r + device_path;
}

void sleep_seconds(unsigned seconds) {
    if (!root().empty()) return;
    while (seconds > 0) seconds = ::sleep(seconds);
}

void sync_all() {
    if (root().empty()) ::sync();
}

}  // namespace upfw::platform
