// The few external programs of the platform, run from argv vectors with no shell between.
#pragma once

#include <string>
#include <vector>

namespace upfw::platform {

// Runs a program and waits for it. A name without '/' is looked up in R/sbin, R/usr/sbin,
// R/bin, R/usr/bin under a root (never outside it), else in PATH; a path with '/' is a fixed
// device path and is re-rooted. Returns the wait status as system() does (0 = exit 0); a
// program that is not found gives the shell's 127 << 8, and -1 means it could not be started.
int run_command(const std::vector<std::string> &argv);

// Runs a program with its standard output read through a pipe and returns the first line,
// at most max characters, without its newline; "" when it cannot be started or prints nothing.
std::string read_first_line(const std::vector<std::string> &argv, size_t max);

// Resolves a program name as run_command does; "" when not found.
std::string find_command(const std::string &name);

}  // namespace upfw::platform
