// The `update` command line: options, usage text and the run order.
#pragma once

namespace upfw::cli {

// Runs one invocation and returns the process exit status (a result code such as -1).
int run(int argc, char **argv);

void print_usage();

}  // namespace upfw::cli
