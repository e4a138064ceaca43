// A read-only shared mapping of a whole open file, unmapped when it goes.
#pragma once

#include <sys/mman.h>

#include <cstddef>

namespace upfw::platform {

class ReadMapping {
public:
    // Maps length bytes of fd; valid() tells, with errno set on failure (a length of 0 fails
    // with EINVAL, as mmap does).
    ReadMapping(int fd, size_t length) : length_(length) {
        void *p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        data_ = p == MAP_FAILED ? nullptr : p;
    }
    ~ReadMapping() {
        if (data_) ::munmap(data_, length_);
    }
    ReadMapping(const ReadMapping &) = delete;
    ReadMapping &operator=(const ReadMapping &) = delete;

    bool valid() const { return data_ != nullptr; }
    const void *data() const { return data_; }
    size_t size() const { return length_; }

private:
    void *data_ = nullptr;
    size_t length_;
};

}  // namespace upfw::platform
