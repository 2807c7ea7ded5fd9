// libFuzzer entry point: aborts when check_single_reader finds a broken property.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = msdisf::fuzz::check_single_reader(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "check_single_reader: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
