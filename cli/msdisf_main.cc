#include <unistd.h>

#include <iostream>

#include "cli/cli.h"
#include "cli/spin_briefly.h"

int main(int argc, char** argv) {
  msdisf::spin_briefly_unless_chosen(argv);
  msdisf::Console console{std::cout, std::cerr};
  return msdisf::run_cli(argc, argv, console, isatty(STDERR_FILENO) == 1);
}
