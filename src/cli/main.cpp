#include <cstdlib>

#include "cli/cli.h"

int main(int argc, char **argv) { std::exit(upfw::cli::run(argc, argv)); }
