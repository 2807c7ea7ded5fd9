// Differential tests of the fast method against the exact one: moments and
// counts bit for bit, scattering within 1e-9, on trajectories built to reach
// the awkward cases (large coordinates, lags with one pair or none, single-
// and two-entry trajectories, both origin rules, the FFT and the direct
// paths), and identical bits for one and two threads.
#include <gtest/gtest.h>

#include <functional>

#include "engine/fft_plans.h"
#include "engine/moment_kernel.h"
#include "estimators/per_trajectory_estimator.h"
#include "estimators/single_trajectory_estimators.h"
#include "tests/estimators/estimator_fixture.h"

namespace msdisf {
namespace {

using detail::KernelPath;
using detail::LagMoments;
using detail::PaddedRange;
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

TEST(MomentKernel, EveryLaneIsThePlainSumOfItsLag) {
  std::mt19937_64 random(4);
  std::vector<double> x, y;
  testing::random_walk(random, 123, 3.0, 7e3, 0.25, x, y);
  const PaddedRange range(x.data(), y.data(), 123);
  for (const auto& [lo, hi] : {std::pair{1L, 2L}, {1L, 123L}, {5L, 38L}, {100L, 200L}}) {
    std::vector<LagMoments> sums(static_cast<std::size_t>(hi - lo));
    detail::lag_moment_sums(range, lo, hi, sums.data(), 2);
    for (long lag = lo; lag < hi; ++lag) {
      testing::Sums plain;
      for (long a = 0; a + lag < 123; ++a) testing::add_if_valid(plain, x, y, a, a + lag);
      const LagMoments& got = sums[static_cast<std::size_t>(lag - lo)];
      ASSERT_EQ(got.pairs, static_cast<double>(plain.n)) << lag;
      ASSERT_PRED2(same_bits, got.s1, plain.s1) << lag;
      ASSERT_PRED2(same_bits, got.s2, plain.s2) << lag;
      ASSERT_PRED2(same_bits, got.s3, plain.s3) << lag;
      ASSERT_PRED2(same_bits, got.s4, plain.s4) << lag;
    }
  }
}

TEST(MomentKernel, EveryInstructionSetGivesTheSameBits) {
  std::mt19937_64 random(12);
  std::vector<double> x, y;
  testing::random_walk(random, 700, 9.0, -2e4, 0.1, x, y);
  const PaddedRange range(x.data(), y.data(), 700);
  std::vector<LagMoments> baseline(699), other(699);
  detail::lag_moment_sums_on(KernelPath::kBaseline, range, 1, 700, baseline.data(), 1);
  for (const KernelPath path : {KernelPath::kAvx2, KernelPath::kAvx512}) {
    if (!detail::kernel_path_supported(path)) continue;
    detail::lag_moment_sums_on(path, range, 1, 700, other.data(), 2);
    for (std::size_t k = 0; k < baseline.size(); ++k) {
      ASSERT_PRED2(same_bits, other[k].s1, baseline[k].s1) << k;
      ASSERT_PRED2(same_bits, other[k].s2, baseline[k].s2) << k;
      ASSERT_PRED2(same_bits, other[k].s3, baseline[k].s3) << k;
      ASSERT_PRED2(same_bits, other[k].s4, baseline[k].s4) << k;
      ASSERT_EQ(other[k].pairs, baseline[k].pairs) << k;
    }
  }
}

TEST(FftPlans, SizesAreTheNextSmoothNumbers) {
  using detail::fft_size;
  auto smooth = [](long n, bool small) {
    for (const long f : {2L, 3L, 5L, 7L}) {
      while (n % f == 0 && (small || f == 2)) n /= f;
    }
    return n == 1 || (!small && (n == 3 || n == 9 || n == 27 || n == 81));
  };
  for (const long start : {1L, detail::kSmallTransform - 100, 3000000L}) {
    for (long n = start; n < start + 4000; ++n) {
      const bool small = n <= detail::kSmallTransform;
      const long size = fft_size(n);
      ASSERT_TRUE(size >= n && smooth(size, small)) << n;
      for (long smaller = n; smaller < size; ++smaller) ASSERT_FALSE(smooth(smaller, small)) << n;
    }
  }
  EXPECT_EQ(fft_size(2 * 10000000 - 1), 21233664);  // 2^18 * 3^4
}

}  // namespace
}  // namespace msdisf
