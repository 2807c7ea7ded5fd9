// The lane-per-lag moment kernel against the plain pair sums, bit for bit on
// every instruction set, and the transform sizes the correlations use.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "engine/fft_plans.h"
#include "engine/moment_kernel.h"
#include "tests/job_table/estimators/estimator_fixture.h"

namespace msdisf {
namespace {

using detail::KernelPath;
using detail::LagMoments;
using detail::PaddedRange;
using testing::same_bits;

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
