#include <unistd.h>

#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
  msdisf::Console console{std::cout, std::cerr};
  return msdisf::run_cli(argc, argv, console, isatty(STDERR_FILENO) == 1);
}
