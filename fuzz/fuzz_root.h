// A simulated board for the fuzz targets, made once per process and removed at exit. Run
// libFuzzer with -close_fd_mask=3 to silence what the library prints.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/device.h"

inline const std::string &fuzz_root() {
    static const std::string root = [] {
        char tmpl[] = "/tmp/upfw-fuzz-XXXXXX";
        std::string r = ::mkdtemp(tmpl);
        upfw::sim::Options opt;
        opt.tool = "/nonexistent";  // the command stubs are never run here
        upfw::sim::create(r, opt);
        // Without the model command the compatibility check reads no model: no process is
        // started for an input.
        ::unlink((r + "/usr/bin/vhchip_update").c_str());
        ::setenv("UPFW_ROOT", r.c_str(), 1);
        std::atexit([] {
            const char *p = std::getenv("UPFW_ROOT");
            if (p && std::string(p).rfind("/tmp/upfw-fuzz-", 0) == 0)
                ::nftw(p, [](const char *f, const struct stat *, int, struct FTW *) { return std::remove(f); }, 16,
                       FTW_DEPTH | FTW_PHYS);
        });
        return r;
    }();
    return root;
}

// A file of the board that every input rewrites in place, through a descriptor kept open: the
// same bytes as a fresh file, without opening, truncating and closing it for each input.
class FuzzFile {
public:
    explicit FuzzFile(const std::string &path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ < 0) std::abort();
    }
    // Puts size bytes at offset; with end, the file ends after them.
    void put(const void *data, size_t size, off_t offset, bool end) const {
        if (size > 0 && ::pwrite(fd_, data, size, offset) != static_cast<ssize_t>(size)) std::abort();
        if (end && ::ftruncate(fd_, offset + static_cast<off_t>(size)) != 0) std::abort();
    }

    // The same for a file that may be replaced between inputs: opened by name each time. Never
    // truncated to nothing first, which would have the file system write it out at the close.
    static void put_by_name(const std::string &path, const void *data, size_t size) {
        FuzzFile f(path);
        f.put(data, size, 0, true);
        ::close(f.fd_);
    }

private:
    int fd_;
};
