// libFuzzer entry point: aborts when check_number_scanner finds a broken property.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = msdisf::fuzz::check_number_scanner(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "check_number_scanner: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
