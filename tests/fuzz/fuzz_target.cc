// libFuzzer entry point, built once per check: MSDISF_FUZZ_CHECK names the
// function of fuzz_checks.h to run, and a broken property aborts the run.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_checks.h"

#ifndef MSDISF_FUZZ_CHECK
#error "MSDISF_FUZZ_CHECK must name a check of fuzz_checks.h"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = msdisf::fuzz::MSDISF_FUZZ_CHECK(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
