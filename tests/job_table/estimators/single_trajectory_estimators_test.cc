// Tests for the time-averaged estimators and the pair kernel they share:
// hand-computed pairs (plain arithmetic), gap skipping, the origin rules at
// N = 2 and 3, the console lines, the intermediate table, and agreement with
// the reference on random trajectories with gaps for both methods.
#include "job_table/estimators/single_trajectory_estimators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "tests/job_table/estimators/estimator_fixture.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

using testing::CapturedConsole;
using testing::kExact;
using testing::kOrdered;
using testing::state_from;

TEST(PairKernel, OneUnitStepAlongX) {
  CapturedConsole io;
  auto single = state_from({3, 4}, {7, 7});
  calculate_isf_and_msd_fixedlag(*single, "/nonexistent/table", io.console, kExact);
  EXPECT_EQ(single->msd[0], 1.0);
  EXPECT_EQ(single->md[0], 1.0);
  EXPECT_EQ(single->mcd[0], 1.0);
  EXPECT_EQ(single->mqd[0], 1.0);
  EXPECT_EQ(single->skewness[0], 0.0);  // 1 - 3 + 2
  EXPECT_EQ(single->ngp[0], 2.0 / 3.0 - 1.0);
  for (int m = 0; m < kScaleCount; ++m) {
    EXPECT_DOUBLE_EQ(single->isfx[m][0], std::cos(1.0 / scales[m]));
    EXPECT_DOUBLE_EQ(single->isfx_im[m][0], std::sin(1.0 / scales[m]));
    EXPECT_EQ(single->isfy[m][0], 1.0);
    EXPECT_EQ(single->isfy_im[m][0], 0.0);
  }
}

TEST(PairKernel, NoMotionGivesZeroMsdAndUnitCosines) {
  auto state = state_from({2, 2, 2, 2, 2}, {-1, -1, -1, -1, -1});
  CapturedConsole io;
  calculate_isf_and_msd(*state, "/nonexistent/table", io.console, kExact);
  for (long k = 0; k < 3; ++k) {
    EXPECT_EQ(state->msd[k], 0.0);
    for (int m = 0; m < kScaleCount; ++m) {
      EXPECT_EQ(state->isfr[m][k], 1.0);
      EXPECT_EQ(state->isfr_im[m][k], 0.0);
    }
  }
  EXPECT_TRUE(std::isnan(state->ngp[0]));  // 0 / 0: no motion has no shape
}

TEST(WindowEstimator, SkipsEveryPairThatTouchesAGapMarker) {
  auto state = state_from({0, 1, 2, NAN, 4, 5}, {0, 0, 0, NAN, 0, 0});
  CapturedConsole io;
  calculate_isf_and_msd(*state, "/nonexistent/table", io.console);
  // Lag 1, origins 1..4: (1,2) (2,3)x (3,4)x (4,5) -> 2 pairs of dx = 1.
  EXPECT_EQ(state->msdcounter[0], 2.0);
  EXPECT_EQ(state->msd[0], 1.0);
  // Lag 2, origins 1..3: (1,3)x (2,4) (3,5)x -> one pair of dx = 2.
  EXPECT_EQ(state->msdcounter[1], 1.0);
  EXPECT_EQ(state->msd[1], 4.0);
  // Lag 4: (1,5) -> dx = 4. Lag 5: no pair.
  EXPECT_EQ(state->msd[3], 16.0);
  EXPECT_EQ(state->msdcounter[4], 0.0);
}

TEST(WindowEstimator, TwoAndThreeEntries) {
  CapturedConsole io;
  auto two = state_from({0, 1}, {0, 1});
  calculate_isf_and_msd(*two, "/nonexistent/table", io.console);
  EXPECT_TRUE(std::isnan(two->msd[0]));  // lag 1 would need origin 0
  EXPECT_EQ(two->msdcounter[0], 0.0);
  EXPECT_EQ(two->isfx[0][0], 0.0);

  auto three = state_from({0, 1, 3}, {0, 0, 0});
  calculate_isf_and_msd(*three, "/nonexistent/table", io.console);
  EXPECT_EQ(three->msd[0], 4.0);  // only (1, 2)
  EXPECT_EQ(three->msdcounter[0], 1.0);
  EXPECT_TRUE(std::isnan(three->msd[1]));
  EXPECT_EQ(three->N, 3);
}

TEST(AllOriginsEstimator, TwoAndThreeEntriesAndAnUntouchedCounter) {
  CapturedConsole io;
  auto two = state_from({0, 1}, {0, 1});
  two->msdcounter[0] = 42.0;
  calculate_isf_and_msd_fixedlag(*two, "/nonexistent/table", io.console);
  EXPECT_EQ(two->msd[0], 2.0);
  EXPECT_EQ(two->msdcounter[0], 42.0);

  auto three = state_from({0, 1, 3}, {0, 0, 0});
  calculate_isf_and_msd_fixedlag(*three, "/nonexistent/table", io.console);
  EXPECT_EQ(three->msd[0], (1.0 + 4.0) / 2.0);
  EXPECT_EQ(three->msd[1], 9.0);
  EXPECT_EQ(io.out.str().rfind("Start Calculation of ISF and MSD fixedlag\n", 0), 0u);
}

TEST(WindowEstimator, DegenerateLengthsPrintOnlyStartAndFinish) {
  for (const long n : {0L, 1L}) {
    auto state = std::make_unique<AnalysisState>(4);
    state->N = static_cast<int>(n);
    state->msdcounter[0] = 7.0;
    state->msdcounter[1] = 7.0;
    CapturedConsole io;
    calculate_isf_and_msd(*state, "/nonexistent/table", io.console);
    EXPECT_TRUE(std::regex_match(io.out.str(), std::regex("Start Calculation of ISF and MSD\n"
                                                          "Finished Calculation of ISF and MSD; Time: [0-9]+ ms \n")))
        << io.out.str();
    EXPECT_EQ(state->msdcounter[0], 0.0);
    EXPECT_EQ(state->msdcounter[1], n == 1 ? 0.0 : 7.0);  // entries 0..N are cleared
  }
}

TEST(WindowEstimator, AgreesWithTheReferenceForBothMethods) {
  std::mt19937_64 random(11);
  for (const auto& [n, gaps, offset] : {std::tuple{300L, 0.1, 0.0}, {200L, 0.5, 1e4}, {120L, 0.0, -3e3}}) {
    std::vector<double> x, y;
    testing::random_walk(random, n, 3.0, offset, gaps, x, y);
    const auto expected = testing::reference_single(x, y, 1);
    const auto expected_all = testing::reference_single(x, y, 0);
    for (const auto& [options, tolerance] : {std::pair{kExact, 0.0}, {kOrdered, testing::kFastTolerance}}) {
      CapturedConsole io;
      auto window = state_from(x, y);
      calculate_isf_and_msd(*window, "/nonexistent/table", io.console, options);
      for (long k = 0; k < n - 1; ++k) {
        testing::expect_lag_equals(*window, k, expected[static_cast<std::size_t>(k)], true, tolerance);
      }
      auto all = state_from(x, y);
      calculate_isf_and_msd_fixedlag(*all, "/nonexistent/table", io.console, options);
      for (long k = 0; k < n - 1; ++k) {
        testing::expect_lag_equals(*all, k, expected_all[static_cast<std::size_t>(k)], false, tolerance);
      }
    }
  }
}

TEST(WindowEstimator, WritesTheTableWhileRunningAtLagTenThousand) {
  // All but a few entries are gap markers, so the 5e7 candidate pairs are cheap.
  const long n = 10001;
  std::vector<double> x(n, NAN), y(n, NAN);
  for (long i = 0; i < 4; ++i) x[static_cast<std::size_t>(i)] = y[static_cast<std::size_t>(i)] = static_cast<double>(i);
  auto state = state_from(x, y);
  testing::TempDir dir;
  const std::string table = (dir.path() / "table.dat").string();
  CapturedConsole io;
  calculate_isf_and_msd(*state, table, io.console);
  EXPECT_NE(io.out.str().find("progress: processing msd and isf for lag 10 of 10001\n"
                              "progress: processing msd and isf for lag 100 of 10001\n"
                              "progress: processing msd and isf for lag 10000 of 10001\n"
                              "Finished Calculation"),
            std::string::npos)
      << io.out.str();
  const std::string text = testing::read_file(table);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10001);  // header and every lag
  // Written after lag 9999: the last lag was not computed yet and still reads 0.
  const std::size_t last_row = text.rfind("10000.0000000\t");
  ASSERT_NE(last_row, std::string::npos);
  EXPECT_EQ(text.substr(last_row, 24), "10000.0000000\t0.0000000\t");
  EXPECT_TRUE(std::isnan(state->msd[9999]));
}

}  // namespace
}  // namespace msdisf
