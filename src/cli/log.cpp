// The result log: two lines, the code and the message, replaced on every call.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/fd.h"
#include "platform/root.h"
#include "upfw/update.h"

namespace {
constexpr const char *kLogPath = "/mnt/nand/upfw.log";
constexpr size_t kMaxMessage = 255;
}  // namespace

extern "C" UPFW_API int UPFW_log(int code, const char *message) {
    using upfw::platform::UniqueFd;
    if (!message) message = "";
    UniqueFd fd(::open(upfw::platform::rooted(kLogPath).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        std::perror("open /mnt/nand/upfw.log");
        return -1;
    }
    char head[16];
    int n = std::snprintf(head, sizeof head, "%d\n", code);
    if (upfw::platform::write_full(fd.get(), head, static_cast<size_t>(n)) <= 0) {
        std::perror("write /mnt/nand/upfw.log");
        return -1;
    }
    std::fputs(message, stderr);
    size_t len = strnlen(message, kMaxMessage);
    ssize_t w = upfw::platform::write_full(fd.get(), message, len);
    if (w < 0 || static_cast<size_t>(w) != len) {
        std::perror("write upfw.log");
        return -1;
    }
    fd.close();
    return static_cast<int>(w);
}
