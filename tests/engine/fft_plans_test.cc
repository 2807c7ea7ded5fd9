// Transform sizes, the plans and buffers kept between analyses, and grids
// laid out in shared storage.
#include "engine/fft_plans.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/moment_kernel.h"

namespace msdisf::detail {
namespace {

// n with every factor of `primes` divided out.
long rough_part(long n, std::initializer_list<long> primes) {
  for (const long p : primes) {
    while (n % p == 0) n /= p;
  }
  return n;
}

TEST(FftSizes, HoldTheRequestAndFactorAsPromised) {
  for (const long n : {1L, 2L, 11L, 97L, 1000L, 2049L, 65535L, 65536L, 65537L, 100001L, 1999999L, 20000001L}) {
    const long size = fft_size(n);
    const long real = real_fft_size(n);
    EXPECT_GE(size, n);
    EXPECT_GE(real, n);
    EXPECT_EQ(real % 2, 0) << n;
    if (n <= kSmallTransform) {
      EXPECT_EQ(rough_part(size, {2, 3, 5, 7}), 1) << n;
      // The smallest such size: none between n and it.
      for (long m = n; m < size; ++m) EXPECT_NE(rough_part(m, {2, 3, 5, 7}), 1) << n << " " << m;
    } else {
      const long odd = rough_part(size, {2});
      EXPECT_TRUE(odd == 1 || odd == 3 || odd == 9 || odd == 27 || odd == 81) << n << " " << size;
      EXPECT_LT(size, n + n / 4 + 2) << n;
      // Real sizes may trade the threes for fives, and are never larger.
      const long real_odd = rough_part(real, {2});
      const bool fives = rough_part(real_odd, {5}) == 1 && real_odd <= 78125 && (real / real_odd) % 64 == 0;
      EXPECT_TRUE(real == size + size % 2 || fives) << n << " " << real;
      EXPECT_LE(real, size + size % 2) << n;
    }
  }
}

TEST(PlanStore, PlansOutliveTheirAnalysisUpToTheLimit) {
  std::weak_ptr<const RealFftPlans> first;
  std::weak_ptr<const FftPlans> complex;
  {
    PlanCache analysis;
    first = analysis.get_real(4096, 1);
    complex = analysis.get(4096, 1);
  }
  ASSERT_FALSE(first.expired()) << "kept for the next analysis";
  {
    PlanCache next;
    EXPECT_EQ(next.get_real(4096, 1), first.lock());
    EXPECT_EQ(next.get(4096, 1), complex.lock());
    EXPECT_NE(next.get_real(4096, 2), first.lock()) << "another thread count is another plan";
  }
  // Newer plans of more points than the store holds push the old ones out.
  for (long size = 1L << 16, total = 0; total <= PlanCache::kRetainedPoints; size *= 2) {
    PlanCache later;
    later.get_real(size, 1);
    total += size;
  }
  EXPECT_TRUE(first.expired());
  EXPECT_TRUE(complex.expired());

  // A kept plan transforms like a new one.
  FftBuffer data = make_fft_buffer(4096 / 2 + 1);
  std::vector<double> results[2];
  for (auto& result : results) {
    PlanCache analysis;
    double* values = &data[0][0];
    for (int i = 0; i < 4096; ++i) values[i] = std::sin(0.01 * i * i);
    analysis.get_real(4096, 1)->forward(data.get());
    result.assign(values, values + 4098);
  }
  EXPECT_EQ(results[0], results[1]);
}

TEST(RealPlans, ForwardInPlaceOrApartAndBackwardOutOfPlaceRoundTrip) {
  for (const long n : {4096L, 2 * RealFftPlans::kApartLimit}) {
    PlanCache cache;
    const auto plans = cache.get_real(n, 1);
    FftBuffer spectrum = make_fft_buffer(n / 2 + 1), other = make_fft_buffer(n / 2 + 1);
    std::vector<double> input(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i)
      input[static_cast<std::size_t>(i)] = std::sin(0.001 * static_cast<double>(i * i)) + 3.0;
    std::copy(input.begin(), input.end(), &spectrum[0][0]);
    plans->forward(spectrum.get());
    if (n <= RealFftPlans::kApartLimit) {
      std::copy(input.begin(), input.end(), &other[0][0]);
      FftBuffer apart = make_fft_buffer(n / 2 + 1);
      plans->forward(&other[0][0], apart.get());
      for (long k = 0; k <= n / 2; ++k) {
        EXPECT_NEAR(apart[k][0], spectrum[k][0], 1e-9) << n << " " << k;
        EXPECT_NEAR(apart[k][1], spectrum[k][1], 1e-9) << n << " " << k;
      }
    }
    plans->backward(spectrum.get(), other.get());
    for (long i = 0; i < n; ++i) {
      ASSERT_NEAR((&other[0][0])[i] / static_cast<double>(n), input[static_cast<std::size_t>(i)], 1e-12)
          << n << " " << i;
    }
  }
}

TEST(BufferStore, HandsBackBuffersThatFitAndStaysBounded) {
  constexpr long kKept = 12345;
  struct Case {
    long size;
    bool taken;  // the kept buffer is handed out
  };
  for (const Case c : {Case{kKept + 1, false}, Case{kKept / 2, false}, Case{kKept / 2 + 1, true}, Case{kKept, true}}) {
    release_retained_fft_buffers();
    make_fft_buffer(kKept).reset();
    ASSERT_EQ(retained_fft_buffer_points(), kKept);
    const FftBuffer held = make_fft_buffer(c.size);
    EXPECT_EQ(retained_fft_buffer_points(), c.taken ? 0 : kKept) << c.size;
  }
  // Given back beyond the limit, the oldest go; one larger than the limit
  // goes at once and leaves the others.
  release_retained_fft_buffers();
  constexpr long kHalf = FftwFree::kRetainedBufferPoints / 2 + 1;
  FftBuffer older = make_fft_buffer(kHalf), newer = make_fft_buffer(kHalf);
  make_fft_buffer(kKept).reset();
  older.reset();
  newer.reset();
  EXPECT_EQ(retained_fft_buffer_points(), kHalf);
  make_fft_buffer(FftwFree::kRetainedBufferPoints + 1).reset();
  EXPECT_EQ(retained_fft_buffer_points(), kHalf);
  release_retained_fft_buffers();
  EXPECT_EQ(retained_fft_buffer_points(), 0);
}

TEST(PaddedRange, SharedStorageHoldsWhatItsOwnWould) {
  struct Case {
    std::vector<std::int64_t> frames;
    std::vector<double> x;
    bool without_gaps;
  };
  const Case cases[] = {
      {{0, 1, 2, 3}, {1.0, 2.0, 3.0, 4.0}, true},
      {{5, 6, 9, 12}, {1.0, NAN, 3.0, 4.0}, false},  // gaps and a missing value
      {{0, 1, 2}, {1.0, NAN, 3.0}, false},           // every frame, one value missing
      {{7}, {2.5}, true},
  };
  for (const Case& c : cases) {
    const auto records = static_cast<long>(c.frames.size());
    std::vector<double> y(c.x.size(), -1.0);
    const PaddedRange own(c.x.data(), y.data(), c.frames.data(), records);
    const long entries = PaddedRange::entries(own.length());
    // Storage starting dirty, as reused memory would.
    std::vector<double> xs(static_cast<std::size_t>(entries), 99.0), ys = xs;
    std::vector<long long> valid(static_cast<std::size_t>(entries), 7);
    const PaddedRange shared(c.x.data(), y.data(), c.frames.data(), records, {xs.data(), ys.data(), valid.data()});
    ASSERT_EQ(shared.length(), own.length());
    EXPECT_EQ(shared.without_gaps(), c.without_gaps);
    EXPECT_EQ(own.without_gaps(), c.without_gaps);
    for (long i = 0; i < entries; ++i) {
      EXPECT_EQ(shared.valid()[i], own.valid()[i]) << i;
      // NaN padding compares by its bits.
      EXPECT_EQ(std::memcmp(shared.x() + i, own.x() + i, sizeof(double)), 0) << i;
      EXPECT_EQ(std::memcmp(shared.y() + i, own.y() + i, sizeof(double)), 0) << i;
    }
  }
}

}  // namespace
}  // namespace msdisf::detail
