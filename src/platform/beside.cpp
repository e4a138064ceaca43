#include "platform/beside.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace upfw::platform {

namespace {
constexpr int kTempAttempts = 100;
}  // namespace

UniqueFd create_beside(const std::string &path, std::string *tmp) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    static unsigned counter = 0;
    for (int i = 0; i < kTempAttempts; ++i) {
        struct timespec ts;
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        *tmp = dir + "." + base + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + "." +
               std::to_string(ts.tv_nsec);
        UniqueFd fd(::open(tmp->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.valid() || errno != EEXIST) return fd;
    }
    return UniqueFd();
}

}  // namespace upfw::platform
