// Move-only file descriptor and exact I/O helpers.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace upfw::platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; 0, or -1 with errno from close().
    int close() {
        int fd = std::exchange(fd_, -1);
        return fd >= 0 ? ::close(fd) : 0;
    }
    void reset() {
        int saved = errno;
        close();
        errno = saved;
    }

private:
    int fd_ = -1;
};

// Reads until count bytes or end of file; retries EINTR. Bytes read, or -1 with errno.
inline ssize_t read_full(int fd, void *buf, size_t count, int64_t offset = -1) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = offset < 0 ? ::read(fd, static_cast<char *>(buf) + done, count - done)
                               : ::pread(fd, static_cast<char *>(buf) + done, count - done,
                                         static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Writes all bytes; retries EINTR and short writes. Bytes written, or -1 with errno.
inline ssize_t write_full(int fd, const void *buf, size_t count, int64_t offset = -1) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = offset < 0 ? ::write(fd, static_cast<const char *>(buf) + done, count - done)
                               : ::pwrite(fd, static_cast<const char *>(buf) + done, count - done,
                                          static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace upfw::platform
