// One and three dimensions against a brute-force pair loop in extended
// precision: counts exact, each moment <sum of d^k> within 1e-10 * msd^(k/2),
// each scattering mean within 1e-10, for every method, on the motions that
// defeat transform sums; and shards of 3D data merged equal one call.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <string>

#include "engine/analysis.h"
#include "engine/sums.h"
#include "tests/engine/records.h"

namespace msdisf {
namespace {

using testing::Records;

enum class Motion { kBrownian, kCaged, kOneJump, kBallistic, kAgainstTheSum };

// Trajectories in `dims` dimensions; a few positions missing (NaN in one
// axis) and a few frames skipped.
Records trajectories(int dims, Motion motion, int particles, long frames, double offset, unsigned seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> step(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Records r;
  for (int p = 0; p < particles; ++p) {
    std::array<double, 3> at = {offset + 10.0 * p, offset, -offset};
    std::int64_t frame = 0;
    for (long f = 0; f < frames; ++f) {
      for (int a = 0; a < dims; ++a) {
        switch (motion) {
          case Motion::kBrownian: at[a] += step(random); break;
          case Motion::kCaged: at[a] = offset + 1e-3 * (a + 1) * f + 1e-5 * step(random); break;
          case Motion::kOneJump: at[a] += (f == frames / 2 && a == dims - 1) ? 1e3 : 0.0; break;
          case Motion::kBallistic: at[a] += 0.5 / (a + 1); break;
          // The axes' steps cancel, so their sum stays put.
          case Motion::kAgainstTheSum: at[a] += (a == 0 && dims > 1 ? 1.0 - dims : 1.0) * 0.7; break;
        }
      }
      frame += unit(random) < 0.03 ? 2 : 1;
      const int hole = unit(random) < 0.02 ? static_cast<int>(unit(random) * dims) : -1;
      r.x.push_back(hole == 0 ? NAN : at[0]);
      if (dims >= 2) r.y.push_back(hole == 1 ? NAN : at[1]);
      if (dims == 3) r.z.push_back(hole == 2 ? NAN : at[2]);
      r.frame.push_back(frame), r.particle.push_back(p);
    }
  }
  return r;
}

struct Brute {
  std::vector<long> pairs;
  std::vector<std::array<long double, 4>> moments;     // [row][k - 1]
  std::vector<std::vector<long double>> cos, sin;      // [wave * 4 + direction][row], directions x, y, z, sum
};

Brute brute_force(const Records& in, int dims, const std::vector<long>& lags, const std::vector<double>& waves) {
  const std::size_t rows = lags.size();
  Brute b{std::vector<long>(rows), std::vector<std::array<long double, 4>>(rows), {}, {}};
  b.cos.assign(4 * waves.size(), std::vector<long double>(rows));
  b.sin = b.cos;
  const std::vector<double>* axes[3] = {&in.x, &in.y, &in.z};
  for (std::size_t i = 0; i < in.x.size(); ++i) {
    for (std::size_t j = i + 1; j < in.x.size() && in.particle[j] == in.particle[i]; ++j) {
      const auto at = std::lower_bound(lags.begin(), lags.end(), in.frame[j] - in.frame[i]);
      if (at == lags.end() || *at != in.frame[j] - in.frame[i]) continue;
      long double d[3] = {0, 0, 0}, sum = 0;
      bool valid = true;
      for (int a = 0; a < dims; ++a) {
        valid = valid && !std::isnan((*axes[a])[i]) && !std::isnan((*axes[a])[j]);
        d[a] = static_cast<long double>((*axes[a])[j]) - (*axes[a])[i];
        sum += d[a];
      }
      if (!valid) continue;
      const auto r = static_cast<std::size_t>(at - lags.begin());
      ++b.pairs[r];
      for (int k = 1; k <= 4; ++k) {
        for (int a = 0; a < dims; ++a) b.moments[r][k - 1] += std::pow(d[a], static_cast<long double>(k));
      }
      for (std::size_t m = 0; m < waves.size(); ++m) {
        for (int direction = 0; direction < 4; ++direction) {
          if (direction < 3 && direction >= dims) continue;
          const long double arg = waves[m] * (direction < 3 ? d[direction] : sum);
          b.cos[4 * m + direction][r] += std::cos(arg);
          b.sin[4 * m + direction][r] += std::sin(arg);
        }
      }
    }
  }
  return b;
}

TEST(Dimensions, OneAndThreeDimensionsMatchABruteForcePairLoop) {
  struct Case {
    const char* name;
    Motion motion;
    int particles;
    long frames;
    double offset;
  };
  const Case cases[] = {
      {"brownian", Motion::kBrownian, 3, 400, 0.0},
      {"brownian offset 1e6", Motion::kBrownian, 2, 500, 1e6},
      {"caged, tiny steps", Motion::kCaged, 2, 400, 1e3},
      {"one long jump", Motion::kOneJump, 1, 500, 0.0},
      {"ballistic", Motion::kBallistic, 1, 500, 1e6},
      {"against the sum of the axes", Motion::kAgainstTheSum, 2, 400, 1e3},
      {"many short particles", Motion::kBrownian, 200, 12, 1e4},
  };
  const std::vector<double> waves = {0.4, 3.0};
  for (const int dims : {1, 3}) {
    for (const Case& c : cases) {
      const Records in = trajectories(dims, c.motion, c.particles, c.frames, c.offset, 11);
      for (const Method method : {Method::kFast, Method::kOrdered, Method::kExact}) {
        const std::string what = std::to_string(dims) + "D " + c.name + ", method " +
                                 std::to_string(static_cast<int>(method));
        const AnalysisResult got =
            analyse(in.data(), {.lags = LagRequest::log_spaced(30), .wave_numbers = waves, .method = method});
        ASSERT_EQ(got.dimensions, dims) << what;
        const Brute want = brute_force(in, dims, got.lag, waves);
        ASSERT_EQ(got.pairs, want.pairs) << what;
        EXPECT_EQ(got.cos_y.empty(), dims == 1) << what;
        EXPECT_EQ(got.cos_z.empty(), dims != 3) << what;
        EXPECT_EQ(got.cos_r.empty(), dims == 1) << what;
        for (std::size_t r = 0; r < got.rows(); ++r) {
          if (want.pairs[r] == 0) continue;
          const long double n = want.pairs[r];
          const double msd = static_cast<double>(want.moments[r][1] / n);
          const double moments[4] = {got.md[r], got.msd[r], got.mcd[r], got.mqd[r]};
          for (int k = 1; k <= 4; ++k) {
            ASSERT_NEAR(moments[k - 1], static_cast<double>(want.moments[r][k - 1] / n), 1e-10 * std::pow(msd, 0.5 * k))
                << what << ", moment " << k << ", lag " << got.lag[r];
          }
          const double factor = dims / 3.0;
          ASSERT_NEAR(got.ngp[r], factor * got.mqd[r] / (got.msd[r] * got.msd[r]) - 1.0, 1e-12) << what;
          for (std::size_t m = 0; m < waves.size(); ++m) {
            const std::vector<std::vector<double>>* cos[4] = {&got.cos_x, &got.cos_y, &got.cos_z, &got.cos_r};
            const std::vector<std::vector<double>>* sin[4] = {&got.sin_x, &got.sin_y, &got.sin_z, &got.sin_r};
            for (int direction = 0; direction < 4; ++direction) {
              if (cos[direction]->empty()) continue;
              ASSERT_NEAR((*cos[direction])[m][r], static_cast<double>(want.cos[4 * m + direction][r] / n), 1e-10)
                  << what << ", direction " << direction << ", lag " << got.lag[r];
              ASSERT_NEAR((*sin[direction])[m][r], static_cast<double>(want.sin[4 * m + direction][r] / n), 1e-10)
                  << what << ", direction " << direction << ", lag " << got.lag[r];
            }
          }
        }
      }
    }
  }
}

TEST(Dimensions, ShardsOfThreeDimensionalDataMergeIntoOneCall) {
  Records all = trajectories(3, Motion::kBrownian, 9, 300, 50.0, 3);
  Records low, high;  // particles 0-3 and 4-8
  for (std::size_t i = 0; i < all.x.size(); ++i) {
    Records& to = all.particle[i] < 4 ? low : high;
    to.x.push_back(all.x[i]), to.y.push_back(all.y[i]), to.z.push_back(all.z[i]);
    to.frame.push_back(all.frame[i]), to.particle.push_back(all.particle[i]);
  }
  const AnalysisOptions options{.lags = LagRequest::log_spaced(25, 300), .wave_numbers = {0.5}};
  const LagSums one = lag_sums(all.data(), options);
  LagSums merged = lag_sums(high.data(), options);
  merge_into(merged, lag_sums(low.data(), options));
  ASSERT_EQ(merged.axis_s2.size(), 3u);
  const AnalysisResult a = finish(merged), b = analyse(all.data(), options);
  ASSERT_EQ(a.pairs, b.pairs);
  for (std::size_t r = 0; r < b.rows(); ++r) {
    EXPECT_NEAR(a.msd[r], b.msd[r], 1e-12 * b.msd[r]);
    EXPECT_NEAR(a.ngp[r], b.ngp[r], 1e-12 * std::max(1.0, std::fabs(b.ngp[r])));
    EXPECT_NEAR(a.cos_z[0][r], b.cos_z[0][r], 1e-12);
    EXPECT_NEAR(a.cos_r[0][r], b.cos_r[0][r], 1e-12);
    EXPECT_NEAR(merged.axis_s2[0][r] + merged.axis_s2[1][r] + merged.axis_s2[2][r], merged.s2[r], 1e-12 * merged.s2[r]);
  }
  EXPECT_EQ(finish(one).msd, b.msd);  // one shard: the same bits
  LagSums flat = lag_sums(Records{all.x, all.y, all.frame, all.particle}.data(), options);
  EXPECT_THROW(merge_into(flat, one), AnalysisError);  // 2D against 3D
}

}  // namespace
}  // namespace msdisf
