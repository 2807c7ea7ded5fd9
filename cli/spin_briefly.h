// OpenMP threads that wait for work spin only briefly (GOMP_SPINCOUNT, about
// a thousand polls) before they sleep, unless the user chose a policy: a
// thread that spins long holds a core that another program on a shared
// machine needs, while one that sleeps at once must be woken for every
// parallel region, which costs more than the short regions it joins. The
// OpenMP runtime reads its settings once, as it loads, so a program calls
// this first thing in main: it runs itself again with the setting in its
// environment, and where that cannot be done goes on with the runtime's
// defaults.
#pragma once

#include <unistd.h>

#include <cstdlib>

namespace msdisf {

inline void spin_briefly_unless_chosen(char** argv) {
  if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr) return;
  if (::setenv("GOMP_SPINCOUNT", "1000", 1) != 0) return;
  ::execv("/proc/self/exe", argv);
}

}  // namespace msdisf
