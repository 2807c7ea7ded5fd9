// Replays every committed fuzz corpus file (seeds and every input that ever
// broke a check) through the fuzz targets' checks.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "tests/fuzz/fuzz_checks.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

using Check = std::string (*)(const std::uint8_t*, std::size_t);

TEST(FuzzCorpus, EveryCommittedInputPassesItsCheck) {
  const std::map<std::string, Check> checks = {{"number_scanner", fuzz::check_number_scanner},
                                               {"single_reader", fuzz::check_single_reader},
                                               {"multi_reader", fuzz::check_multi_reader},
                                               {"result_path", fuzz::check_result_path},
                                               {"record_table", fuzz::check_record_table}};
  const std::filesystem::path corpus = MSDISF_SOURCE_DIR "/tests/fuzz/corpus";
  std::size_t replayed = 0;
  for (const auto& [target, check] : checks) {
    for (const auto& entry : std::filesystem::directory_iterator(corpus / target)) {
      const std::string bytes = testing::read_file(entry.path());
      EXPECT_EQ(check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "") << entry.path();
      ++replayed;
    }
  }
  EXPECT_GE(replayed, checks.size());
}

TEST(FuzzChecks, DetectABrokenReaderState) {
  AnalysisState state(8);
  state.N = 3;
  state.T[0] = 1;
  state.T[1] = 2;
  state.T[2] = 4;  // not consecutive
  EXPECT_NE(fuzz::single_reader_violation(state), "");
  state.T[2] = 3;
  EXPECT_EQ(fuzz::single_reader_violation(state), "");
  state.X[5] = 1.0;  // written past N
  EXPECT_NE(fuzz::single_reader_violation(state), "");
  state.X[5] = 0.0;
  state.X[1] = NAN;  // NaN in X only
  EXPECT_NE(fuzz::multi_reader_violation(state), "");
}

}  // namespace
}  // namespace msdisf
