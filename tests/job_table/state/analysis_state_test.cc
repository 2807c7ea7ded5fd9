// Tests for the analysis state: start values, the -1.0 trajectory numbers,
// the scale table, the accumulators, and the small resident memory of a
// full-capacity state.
#include "job_table/state/analysis_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

namespace msdisf {
namespace {

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(AnalysisState, StartsAtCapacityWithZerosAndMinusOneTrajectoryNumbers) {
  AnalysisState state(1000);
  EXPECT_EQ(state.N, 1000);
  EXPECT_TRUE(state.ALL);
  for (long k = 0; k < 1000; ++k) {
    ASSERT_EQ(state.TRAJNUMS[k], -1.0);
    ASSERT_EQ(state.X[k], 0.0);
    ASSERT_EQ(state.T[k], 0);
    ASSERT_EQ(state.msd[k], 0.0);
    ASSERT_EQ(state.msdcounter[k], 0.0);
    for (int m = 0; m < kScaleCount; ++m) ASSERT_EQ(state.isfr_im[m][k], 0.0);
  }
}

TEST(AnalysisState, TrajectoryNumbersKeepEveryValueBitForBit) {
  AnalysisState state(8);
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           -1.0,
                           2.5e300,
                           std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::infinity(),
                           4.9e-324};
  for (long i = 0; i < 8; ++i) state.TRAJNUMS.set(i, values[i]);
  for (long i = 0; i < 8; ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(state.TRAJNUMS[i]), std::bit_cast<std::uint64_t>(values[i])) << i;
  }
}

TEST(AnalysisState, ScalesRunFromSmallestToLargest) {
  ASSERT_EQ(scales.size(), 15u);
  EXPECT_EQ(scales.front(), 5.36);
  EXPECT_EQ(scales[7], 44.46);
  EXPECT_EQ(scales.back(), 267.86);
}

TEST(AnalysisState, AccumulatorsAreZeroAndRecreatedOnRequest) {
  AnalysisState state(50);
  state.create_accumulators(40);
  state.isfx_accum[14][39] = 3.0;
  state.create_accumulators(40);
  EXPECT_EQ(state.isfx_accum[14][39], 0.0);
  EXPECT_EQ(state.isf_counts[0][0], 0.0);
  EXPECT_EQ(state.accum_columns, 40);
}

TEST(AnalysisState, FullCapacityStateStaysSmallInMemory) {
  const long before = resident_kib();
  AnalysisState state(CAPACITY);
  state.create_accumulators(CAPACITY);
  const long after = resident_kib();
  ASSERT_GT(before, 0);
  EXPECT_EQ(state.N, CAPACITY);
  EXPECT_EQ(state.TRAJNUMS[CAPACITY - 1], -1.0);
  EXPECT_EQ(state.isfr_im[14][CAPACITY - 1], 0.0);
  EXPECT_EQ(state.isfr_im_accum[14][CAPACITY - 1], 0.0);
  // About 16 GB of address space is reserved here; almost none of it is touched.
  EXPECT_LT(after - before, 20 * 1024) << "resident set grew by " << (after - before) << " KiB";
}

}  // namespace
}  // namespace msdisf
