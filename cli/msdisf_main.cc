#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "cli/cli.h"

namespace {

// OpenMP threads that wait for work spin only briefly (GOMP_SPINCOUNT, about
// a thousand polls) before they sleep, unless the user chose a policy: a
// thread that spins long holds a core that another program on a shared
// machine needs, while one that sleeps at once must be woken for every
// parallel region, which costs more than the short regions it joins. The
// OpenMP runtime reads its settings once, as it loads, so the program runs
// itself again with the setting in its environment; where that cannot be
// done it goes on with the runtime's defaults.
void spin_briefly_unless_chosen(char** argv) {
  if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr) return;
  if (::setenv("GOMP_SPINCOUNT", "1000", 1) != 0) return;
  ::execv("/proc/self/exe", argv);
}

}  // namespace

int main(int argc, char** argv) {
  spin_briefly_unless_chosen(argv);
  msdisf::Console console{std::cout, std::cerr};
  return msdisf::run_cli(argc, argv, console, isatty(STDERR_FILENO) == 1);
}
