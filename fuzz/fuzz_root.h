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
