// Differential tests of the fast method against the exact one: moments and
// counts bit for bit, scattering within 1e-9, on trajectories built to reach
// the awkward cases (large coordinates, lags with one pair or none, single-
// and two-entry trajectories, both origin rules, the FFT and the direct
// paths), and identical bits for one and two threads.
#include <gtest/gtest.h>

#include <functional>

#include "engine/moment_kernel.h"
#include "job_table/estimators/per_trajectory_estimator.h"
#include "job_table/estimators/single_trajectory_estimators.h"
#include "tests/job_table/estimators/estimator_fixture.h"

namespace msdisf {
namespace {

using testing::CapturedConsole;
using testing::same_bits;

struct Trajectories {
  std::vector<double> x, y, numbers;  // numbers empty: one trajectory
};

using Estimator = std::function<void(AnalysisState&, Console&, const EstimatorOptions&)>;

std::unique_ptr<AnalysisState> run(const Trajectories& input, const Estimator& estimator, EstimatorOptions options) {
  auto state = testing::state_from(input.x, input.y);
  for (std::size_t i = 0; i < input.numbers.size(); ++i) state->TRAJNUMS.set(static_cast<long>(i), input.numbers[i]);
  CapturedConsole io;
  estimator(*state, io.console, options);
  return state;
}

// Every per-lag value the writer prints, compared over the printed lags.
void expect_same_results(const AnalysisState& fast, const AnalysisState& exact, double tolerance) {
  ASSERT_EQ(fast.N, exact.N);
  for (long k = 0; k + 1 < exact.N; ++k) {
    for (const auto member : {&AnalysisState::msd, &AnalysisState::md, &AnalysisState::mcd, &AnalysisState::mqd,
                              &AnalysisState::ngp, &AnalysisState::skewness, &AnalysisState::msdcounter}) {
      ASSERT_PRED2(same_bits, (fast.*member)[k], (exact.*member)[k]) << "lag " << k + 1;
    }
    for (const auto matrix : {&AnalysisState::isfx, &AnalysisState::isfy, &AnalysisState::isfr, &AnalysisState::isfx_im,
                              &AnalysisState::isfy_im, &AnalysisState::isfr_im}) {
      for (int m = 0; m < kScaleCount; ++m) {
        if (tolerance == 0.0) {
          ASSERT_PRED2(same_bits, (fast.*matrix)[m][k], (exact.*matrix)[m][k]) << "scale " << m << " lag " << k + 1;
        } else {
          ASSERT_NEAR((fast.*matrix)[m][k], (exact.*matrix)[m][k], tolerance) << "scale " << m << " lag " << k + 1;
        }
      }
    }
  }
}

void expect_fast_matches_exact(const Trajectories& input, const Estimator& estimator) {
  const auto exact = run(input, estimator, {.method = Method::kExact, .threads = 2});
  const auto fast = run(input, estimator, {.method = Method::kOrdered, .threads = 2});
  expect_same_results(*fast, *exact, testing::kFastTolerance);
  // Splitting the work differently changes no bit, for either method.
  expect_same_results(*run(input, estimator, {.method = Method::kOrdered, .threads = 1}), *fast, 0.0);
  expect_same_results(*run(input, estimator, {.method = Method::kExact, .threads = 1}), *exact, 0.0);
}

const Estimator kWindow = [](AnalysisState& s, Console& c, const EstimatorOptions& o) {
  calculate_isf_and_msd(s, "/nonexistent/table", c, o);
};
const Estimator kAllOrigins = [](AnalysisState& s, Console& c, const EstimatorOptions& o) {
  calculate_isf_and_msd_fixedlag(s, "/nonexistent/table", c, o);
};
const Estimator kPooled = [](AnalysisState& s, Console& c, const EstimatorOptions& o) {
  calculate_isf_and_msd_distincttrajs(s, "unused", c, o);
};

TEST(FastMethod, LongTrajectoryWithGapsAndLargeCoordinates) {
  // Long enough that most lags go through the FFT and the last ones direct.
  std::mt19937_64 random(2026);
  Trajectories input;
  testing::random_walk(random, 1500, 4.0, 1e4, 0.05, input.x, input.y);
  expect_fast_matches_exact(input, kWindow);
  expect_fast_matches_exact(input, kAllOrigins);
}

TEST(FastMethod, SparseValidEntriesGiveLagsWithOnePairOrNone) {
  // Valid entries at 1 + 2^k (and 0): most lags have no pair, the others one or two.
  Trajectories input;
  input.x.assign(1100, NAN);
  input.y.assign(1100, NAN);
  input.x[0] = -3e4;
  input.y[0] = 2e4;
  for (long p = 1; p < 1100; p *= 2) {
    input.x[static_cast<std::size_t>(p + 1)] = -3e4 + 0.37 * static_cast<double>(p);
    input.y[static_cast<std::size_t>(p + 1)] = 2e4 - 1.3 * static_cast<double>(p);
  }
  expect_fast_matches_exact(input, kWindow);
  expect_fast_matches_exact(input, kAllOrigins);
}

TEST(FastMethod, ShortTrajectoriesOfEveryLength) {
  std::mt19937_64 random(8);
  for (const long n : {2L, 3L, 4L, 15L, 16L, 17L, 33L}) {
    Trajectories input;
    testing::random_walk(random, n, 2.0, 500.0, 0.2, input.x, input.y);
    expect_fast_matches_exact(input, kWindow);
    expect_fast_matches_exact(input, kAllOrigins);
  }
}

TEST(FastMethod, PooledTrajectoriesOfAllSizes) {
  std::mt19937_64 random(21);
  Trajectories input;
  const long lengths[] = {1, 2, 700, 1, 3, 40, 2, 300, 1, 17, 5};
  for (std::size_t t = 0; t < std::size(lengths); ++t) {
    std::vector<double> x, y;
    testing::random_walk(random, lengths[t], 6.0, 1e4 * static_cast<double>(t % 3), 0.1, x, y);
    input.x.insert(input.x.end(), x.begin(), x.end());
    input.y.insert(input.y.end(), y.begin(), y.end());
    input.numbers.insert(input.numbers.end(), x.size(), static_cast<double>(t));
  }
  expect_fast_matches_exact(input, kPooled);
}

}  // namespace
}  // namespace msdisf
