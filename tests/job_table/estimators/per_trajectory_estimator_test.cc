// Tests for the pooled per-trajectory estimator: the two-trajectory example
// at N = 9, 10 and 11, the debug line, degenerate trajectories, and agreement
// with the reference on random trajectories with gaps for both methods.
#include "job_table/estimators/per_trajectory_estimator.h"

#include <gtest/gtest.h>

#include <regex>

#include "tests/job_table/estimators/estimator_fixture.h"

namespace msdisf {
namespace {

using testing::CapturedConsole;
using testing::kExact;
using testing::kOrdered;

// Entries 0..3 belong to trajectory 1 and 4..9 to trajectory 2; entry 10 holds no record.
std::unique_ptr<AnalysisState> two_trajectories(std::vector<double>& x, std::vector<double>& y, int n) {
  std::mt19937_64 random(5);
  testing::random_walk(random, 10, 2.0, 0.0, 0.0, x, y);
  auto state = testing::state_from(x, y, 16);
  for (long i = 0; i < 10; ++i) state->TRAJNUMS.set(i, i < 4 ? 1.0 : 2.0);
  state->N = n;
  return state;
}

const std::regex kFinish("Finished Calculation of ISF and MSD; Time: [0-9]+ ms\n$");

TEST(PerTrajectoryEstimator, TwoTrajectoriesPoolTheirPairs) {
  for (const int n : {10, 11}) {
    std::vector<double> x, y;
    auto state = two_trajectories(x, y, n);
    CapturedConsole io;
    calculate_isf_and_msd_distincttrajs(*state, "unused", io.console, kExact);
    EXPECT_EQ(state->N, 5);
    const auto expected = testing::reference_pooled(x, y, {{0, 3}, {4, 9}});
    ASSERT_EQ(expected.size(), 5u);
    for (long k = 0; k < 5; ++k) testing::expect_lag_equals(*state, k, expected[static_cast<std::size_t>(k)], true);
    std::vector<double> x2, y2;
    auto fast = two_trajectories(x2, y2, n);
    CapturedConsole fast_io;
    calculate_isf_and_msd_distincttrajs(*fast, "unused", fast_io.console, kOrdered);
    for (long k = 0; k < 5; ++k) {
      testing::expect_lag_equals(*fast, k, expected[static_cast<std::size_t>(k)], true, testing::kFastTolerance);
    }
    EXPECT_EQ(std::regex_replace(fast_io.out.str(), std::regex("[0-9]+ ms"), "ms"),
              std::regex_replace(io.out.str(), std::regex("[0-9]+ ms"), "ms"));
    const double counts[] = {2 + 4, 1 + 3, 0 + 2, 1, 0};
    for (long k = 0; k < 5; ++k) EXPECT_EQ(state->msdcounter[k], counts[k]) << "lag " << k + 1;
    EXPECT_TRUE(std::isnan(state->msd[4]));  // lag 5 never gets a pair

    const std::string out = io.out.str();
    EXPECT_EQ(out.rfind("Start Calculation of ISF and MSD for distinct trajectories\n", 0), 0u);
    EXPECT_NE(out.find(formatted("i=0, X[i]=%f, X[i+1]=%f, Y[i]=%f, Y[i+1]=%f, dx=%f, dy=%f\n", x[0], x[1], y[0], y[1],
                                 x[1] - x[0], y[1] - y[0])),
              std::string::npos);
    EXPECT_NE(out.find("\ni=4, X[i]="), std::string::npos);
    EXPECT_EQ(out.find("trajectory over") != std::string::npos, n == 11) << out;
    if (n == 11) {
      EXPECT_NE(out.find("trajectory over as trajnum = -1.000000 at 10\n"), std::string::npos);
    }
    EXPECT_TRUE(std::regex_search(out, kFinish));
  }
}

TEST(PerTrajectoryEstimator, AScanThatEndsInsideATrajectoryLeavesItOut) {
  std::vector<double> x, y;
  auto state = two_trajectories(x, y, 9);
  CapturedConsole io;
  calculate_isf_and_msd_distincttrajs(*state, "unused", io.console, kExact);
  EXPECT_EQ(state->N, 3);
  const auto expected = testing::reference_pooled(x, y, {{0, 3}});
  for (long k = 0; k < 2; ++k) testing::expect_lag_equals(*state, k, expected[static_cast<std::size_t>(k)], true);
  EXPECT_EQ(io.out.str().find("i=4,"), std::string::npos);
}

TEST(PerTrajectoryEstimator, EmptyDataAndSingleEntryTrajectories) {
  CapturedConsole io;
  auto empty = std::make_unique<AnalysisState>(8);
  empty->N = 5;  // a first entry of -1.0 ends the scan at once
  calculate_isf_and_msd_distincttrajs(*empty, "unused", io.console);
  EXPECT_EQ(empty->N, 0);
  EXPECT_NE(io.out.str().find("trajectory over as trajnum = -1.000000 at 0\n"), std::string::npos);

  auto nothing = std::make_unique<AnalysisState>(8);
  nothing->N = 0;
  calculate_isf_and_msd_distincttrajs(*nothing, "unused", io.console);
  EXPECT_EQ(nothing->N, 0);

  auto singles = testing::state_from({1, 2, 3, 4}, {0, 0, 0, 0}, 8);
  for (long i = 0; i < 4; ++i) singles->TRAJNUMS.set(i, static_cast<double>(i));
  calculate_isf_and_msd_distincttrajs(*singles, "unused", io.console);
  EXPECT_EQ(singles->N, 0);
  EXPECT_EQ(singles->msdcounter[0], 0.0);
}

TEST(PerTrajectoryEstimator, ALagWithoutPairsKeepsItsScatteringValues) {
  // One trajectory of three entries whose middle is a gap: no valid pair at lag 1.
  auto state = testing::state_from({0, NAN, 2}, {0, NAN, 2}, 8);
  for (long i = 0; i < 3; ++i) state->TRAJNUMS.set(i, 0.0);
  state->isfx[3][0] = 0.25;
  CapturedConsole io;
  calculate_isf_and_msd_distincttrajs(*state, "unused", io.console);
  EXPECT_EQ(state->N, 2);
  EXPECT_TRUE(std::isnan(state->msd[0]));
  EXPECT_EQ(state->isfx[3][0], 0.25);
  EXPECT_EQ(io.out.str().find("i=0,"), std::string::npos);  // no valid first pair, no debug line
}

TEST(PerTrajectoryEstimator, AgreesWithTheReferenceOnManyTrajectories) {
  std::mt19937_64 random(99);
  std::uniform_int_distribution<long> length(1, 40);
  std::vector<double> x, y;
  std::vector<std::pair<long, long>> ranges;
  std::vector<double> numbers;
  for (int trajectory = 0; trajectory < 30; ++trajectory) {
    std::vector<double> tx, ty;
    const long n = length(random);
    testing::random_walk(random, n, 5.0, 1e4 * trajectory, 0.15, tx, ty);
    ranges.emplace_back(static_cast<long>(x.size()), static_cast<long>(x.size()) + n - 1);
    x.insert(x.end(), tx.begin(), tx.end());
    y.insert(y.end(), ty.begin(), ty.end());
    numbers.insert(numbers.end(), static_cast<std::size_t>(n), trajectory * 1.5);
  }
  const auto expected = testing::reference_pooled(x, y, ranges);
  for (const auto& [options, tolerance] : {std::pair{kExact, 0.0}, {kOrdered, testing::kFastTolerance}}) {
    auto state = testing::state_from(x, y);
    for (std::size_t i = 0; i < numbers.size(); ++i) state->TRAJNUMS.set(static_cast<long>(i), numbers[i]);
    CapturedConsole io;
    calculate_isf_and_msd_distincttrajs(*state, "unused", io.console, options);
    ASSERT_EQ(state->N, static_cast<int>(expected.size()));
    for (long k = 0; k < state->N; ++k) {
      testing::expect_lag_equals(*state, k, expected[static_cast<std::size_t>(k)], true, tolerance);
    }
  }
}

}  // namespace
}  // namespace msdisf
