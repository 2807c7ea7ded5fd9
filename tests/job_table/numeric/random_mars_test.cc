// Tests for RanMars: the exact uniform sequences, the polar normal pairs,
// the period identity of the seeds, and saving and restoring the state.
#include "job_table/numeric/random_mars.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

namespace msdisf {
namespace {

constexpr double kUnit = 1.0 / 16777216.0;

TEST(RanMarsUniform, SeedOneStartsWithTheKnownDraws) {
  RanMars random(1);
  EXPECT_EQ(random.uniform(), 1344571 * kUnit);
  EXPECT_EQ(random.uniform(), 2990437 * kUnit);
  EXPECT_EQ(random.uniform(), 11091400 * kUnit);
}

TEST(RanMarsUniform, LongRunMatchesTheKnownDraws) {
  RanMars random(54217138);
  for (int call = 1; call < 20000; ++call) random.uniform();
  for (const int expected : {6533892, 14220222, 7275067, 6172232, 8354498, 10633180}) {
    EXPECT_EQ(random.uniform(), expected * kUnit);
  }
}

TEST(RanMarsUniform, SeedsOnePeriodApartGiveTheSameSequence) {
  RanMars first(1);
  RanMars again(942438979);
  RanMars other(2);
  bool differs_from_other = false;
  for (int call = 0; call < 1000; ++call) {
    const double value = first.uniform();
    ASSERT_EQ(value, again.uniform());
    differs_from_other = differs_from_other || value != other.uniform();
  }
  EXPECT_TRUE(differs_from_other);
}

TEST(RanMarsUniform, ZeroAndNegativeSeedsDrawFromTheUnitInterval) {
  for (const int seed : {0, -1, -123456, std::numeric_limits<int>::min()}) {
    RanMars random(seed);
    for (int call = 0; call < 1000; ++call) {
      const double u = random.uniform();
      ASSERT_GE(u, 0.0);
      ASSERT_LT(u, 1.0);
    }
  }
}

TEST(RanMarsGaussian, ReturnsThePairOfTheFirstAcceptedDraws) {
  RanMars random(1);
  EXPECT_NEAR(random.gaussian(), -1.266442287, 1e-9);
  EXPECT_NEAR(random.gaussian(), 1.182534504, 1e-9);

  // The first pair (rejected) and the second (accepted) used four draws, the
  // cached value none: a third call starts from the fifth draw.
  RanMars uniforms(1);
  for (int call = 0; call < 4; ++call) uniforms.uniform();
  const double a = 2.0 * uniforms.uniform() - 1.0;
  const double b = 2.0 * uniforms.uniform() - 1.0;
  if (a * a + b * b < 1.0) {
    const double rsq = a * a + b * b;
    EXPECT_EQ(random.gaussian(), b * std::sqrt(-2.0 * std::log(rsq) / rsq));
  }
}

TEST(RanMarsState, LoadRepeatsTheDrawsThatFollowedTheSave) {
  RanMars random(4242);
  for (int call = 0; call < 37; ++call) random.uniform();
  random.gaussian();  // leaves a cached normal deviate pending

  int lag_i = 0;
  int lag_j = 0;
  int ready = 0;
  double seq = 0.0;
  double cached = 0.0;
  std::array<double, 98> table{};
  table[0] = -7.0;
  random.save_state(lag_i, lag_j, seq, table.data(), ready, cached);
  EXPECT_EQ(table[0], -7.0);
  EXPECT_EQ(ready, 1);

  std::array<double, 10> expected{};
  for (double& value : expected) value = random.gaussian();
  const double expected_uniform = random.uniform();

  RanMars restored(99);
  restored.load_state(lag_i, lag_j, seq, table.data(), ready, cached);
  for (const double value : expected) EXPECT_EQ(restored.gaussian(), value);
  EXPECT_EQ(restored.uniform(), expected_uniform);
}

TEST(RanMarsState, IndicesCountDownAfterConstruction) {
  RanMars random(1);
  int lag_i = 0;
  int lag_j = 0;
  int ready = -1;
  double seq = 0.0;
  double cached = 0.0;
  std::array<double, 98> table{};
  random.save_state(lag_i, lag_j, seq, table.data(), ready, cached);
  EXPECT_EQ(lag_i, 96);
  EXPECT_EQ(lag_j, 32);
  EXPECT_EQ(ready, 0);
  for (int call = 0; call < 96; ++call) random.uniform();
  random.save_state(lag_i, lag_j, seq, table.data(), ready, cached);
  EXPECT_EQ(lag_i, 97);  // wrapped from 1 back to 97
}

}  // namespace
}  // namespace msdisf
