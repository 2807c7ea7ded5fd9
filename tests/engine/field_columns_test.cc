// The per-axis columns and alpha2: against a brute-force pair loop in one,
// two and three dimensions, and against theory on simulated steps (Gaussian:
// alpha2 = 0; independent Laplace components: 1 in 1D, 0.75 in 2D; drift:
// mean_dx = v t and msd_centered = 2 d D t).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "engine/analysis.h"
#include "engine/sums.h"
#include "tests/engine/records.h"

namespace msdisf {
namespace {

using testing::Records;

enum class Steps { kGaussian, kLaplace };

// `particles` walks of `frames` frames in `dims` dimensions with unit
// variance per component and drift v per frame along x; a few positions missing.
Records walks(int dims, Steps steps, int particles, long frames, double v, unsigned seed, double missing = 0.0) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::exponential_distribution<double> exponential(std::sqrt(2.0));
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto step = [&] {
    if (steps == Steps::kGaussian) return gauss(random);
    const double size = exponential(random);
    return unit(random) < 0.5 ? -size : size;
  };
  Records r;
  for (int p = 0; p < particles; ++p) {
    double at[3] = {100.0 * p, 5.0, -7.0};
    for (long f = 0; f < frames; ++f) {
      for (int a = 0; a < dims; ++a) at[a] += step() + (a == 0 ? v : 0.0);
      const bool gone = unit(random) < missing;
      r.x.push_back(gone ? NAN : at[0]);
      if (dims >= 2) r.y.push_back(at[1]);
      if (dims == 3) r.z.push_back(at[2]);
      r.frame.push_back(f), r.particle.push_back(p);
    }
  }
  return r;
}

Quantities field_columns() {
  Quantities q{true, false, false, false, false, false, false};
  q.msd_axes = q.mean_axes = q.msd_centered = q.alpha2 = true;
  return q;
}

TEST(FieldColumns, MatchABruteForcePairLoopInEveryDimension) {
  for (const int dims : {1, 2, 3}) {
    const Records in = walks(dims, Steps::kLaplace, 4, 300, 0.3, 7 + dims, 0.05);
    for (const Method method : {Method::kFast, Method::kExact}) {
      const AnalysisResult got =
          analyse(in.data(), {.lags = LagRequest::log_spaced(15), .method = method, .quantities = field_columns()});
      ASSERT_EQ(got.msd_axis.size(), static_cast<std::size_t>(dims));
      for (std::size_t r = 0; r < got.rows(); ++r) {
        long double n = 0, r2 = 0, r4 = 0, sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0};
        const std::vector<double>* axes[3] = {&in.x, &in.y, &in.z};
        for (std::size_t i = 0; i < in.x.size(); ++i) {
          const std::size_t j = i + static_cast<std::size_t>(got.lag[r]);
          if (j >= in.x.size() || in.particle[j] != in.particle[i] || std::isnan(in.x[i] + in.x[j])) continue;
          long double here = 0;
          for (int a = 0; a < dims; ++a) {
            const long double d = static_cast<long double>((*axes[a])[j]) - (*axes[a])[i];
            sum[a] += d, squares[a] += d * d, here += d * d;
          }
          ++n, r2 += here, r4 += here * here;
        }
        const std::string what = std::to_string(dims) + "D lag " + std::to_string(got.lag[r]);
        long double drift = 0;
        for (int a = 0; a < dims; ++a) {
          EXPECT_NEAR(got.msd_axis[a][r], static_cast<double>(squares[a] / n), 1e-9 * got.msd[r]) << what;
          EXPECT_NEAR(got.mean_axis[a][r], static_cast<double>(sum[a] / n), 1e-9 * std::sqrt(got.msd[r])) << what;
          drift += (sum[a] / n) * (sum[a] / n);
        }
        const long double msd = r2 / n;
        EXPECT_NEAR(got.msd_centered[r], static_cast<double>(msd - drift), 1e-9 * got.msd[r]) << what;
        const long double alpha2 = dims * (r4 / n) / ((dims + 2) * msd * msd) - 1;
        EXPECT_NEAR(got.alpha2[r], static_cast<double>(alpha2), 1e-9) << what;
      }
    }
  }
}

// Each column asked for alone equals its value among all of them, on walks
// long enough for the transforms (a column alone once read sums it had not
// formed).
TEST(FieldColumns, EachColumnAloneEqualsItsValueAmongAll) {
  for (const int dims : {1, 2, 3}) {
    const Records in = walks(dims, Steps::kLaplace, 2, 3000, 0.2, 60 + dims, 0.02);
    const AnalysisOptions all{.lags = LagRequest::all(), .quantities = field_columns()};
    const AnalysisResult together = analyse(in.data(), all);
    for (const int which : {0, 1, 2, 3}) {
      Quantities alone{false, false, false, false, false, false, false};
      (which == 0 ? alone.msd_axes : which == 1 ? alone.mean_axes : which == 2 ? alone.msd_centered : alone.alpha2) =
          true;
      AnalysisOptions options = all;
      options.quantities = alone;
      const AnalysisResult got = analyse(in.data(), options);
      const auto same = [&](const std::vector<double>& a, const std::vector<double>& b) {
        ASSERT_EQ(a.size(), b.size()) << dims << "D column " << which;
        for (std::size_t r = 0; r < a.size(); ++r) {
          EXPECT_NEAR(a[r], b[r], 1e-12 * (1.0 + std::fabs(b[r]))) << dims << "D column " << which << " row " << r;
        }
      };
      if (which == 0) same(got.msd_axis[dims - 1], together.msd_axis[dims - 1]);
      if (which == 1) same(got.mean_axis[0], together.mean_axis[0]);
      if (which == 2) same(got.msd_centered, together.msd_centered);
      if (which == 3) same(got.alpha2, together.alpha2);
    }
  }
}

// fs against the isotropic mean formed pair by pair: J0(q|dr|) in 2D,
// sin(q|dr|)/(q|dr|) in 3D, cos(q dx) in 1D; rows the allowed directions do
// not serve are NaN, with a note.
TEST(FieldColumns, IsotropicScatteringMatchesThePairByPairMean) {
  for (const int dims : {1, 2, 3}) {
    const Records in = walks(dims, Steps::kGaussian, 3, 200, 0.0, 20 + dims, 0.03);
    const std::vector<double> waves = {0.05, 0.4, 1.5};
    Quantities q{false, false, false, false, false, false, false};
    q.fs = true;
    for (const Method method : {Method::kFast, Method::kOrdered}) {
      const AnalysisResult got =
          analyse(in.data(), {.lags = LagRequest::log_spaced(12, 150), .wave_numbers = waves, .method = method,
                              .quantities = q});
      ASSERT_EQ(got.fs.size(), waves.size());
      EXPECT_TRUE(got.cos_x.empty());
      const std::vector<double>* axes[3] = {&in.x, &in.y, &in.z};
      long compared = 0, unserved = 0;
      for (std::size_t w = 0; w < waves.size(); ++w) {
        for (std::size_t r = 0; r < got.rows(); ++r) {
          long double sum = 0;
          long n = 0;
          for (std::size_t i = 0; i < in.x.size(); ++i) {
            const std::size_t j = i + static_cast<std::size_t>(got.lag[r]);
            if (j >= in.x.size() || in.particle[j] != in.particle[i] || std::isnan(in.x[i] + in.x[j])) continue;
            double r2 = 0.0;
            for (int a = 0; a < dims; ++a) r2 += std::pow((*axes[a])[j] - (*axes[a])[i], 2);
            const double z = waves[w] * std::sqrt(r2);
            sum += dims == 1 ? std::cos(z) : dims == 2 ? std::cyl_bessel_j(0.0, z) : (z == 0.0 ? 1.0 : std::sin(z) / z);
            ++n;
          }
          if (std::isnan(got.fs[w][r])) {
            ++unserved;
            continue;
          }
          ++compared;
          ASSERT_NEAR(got.fs[w][r], static_cast<double>(sum / n), 1e-9)
              << dims << "D q " << waves[w] << " lag " << got.lag[r];
        }
      }
      EXPECT_GT(compared, 20) << dims << "D";
      EXPECT_EQ(unserved > 0, !got.notes.empty()) << dims << "D";
      if (dims == 1) {
        EXPECT_EQ(unserved, 0);
      }
    }
  }
}

// On frames every 2 steps the note names the first NaN row's own lag.
TEST(FieldColumns, TheNoteOfUnservedRowsNamesTheirLag) {
  Records in = walks(3, Steps::kGaussian, 2, 400, 0.0, 31);
  for (auto& frame : in.frame) frame *= 2;
  Quantities q{false, false, false, false, false, false, false};
  q.fs = true;
  const AnalysisResult got = analyse(in.data(), {.lags = LagRequest::up_to(300), .wave_numbers = {1.0}, .quantities = q});
  std::size_t first = 0;
  while (first < got.rows() && !std::isnan(got.fs[0][first])) ++first;
  ASSERT_LT(first, got.rows());
  ASSERT_EQ(got.lag[first] % 2, 0);
  const std::string said = "fs[1] is NaN from lag " + std::to_string(got.lag[first]) + ":";
  EXPECT_TRUE(std::any_of(got.notes.begin(), got.notes.end(),
                          [&](const std::string& note) { return note.find(said) != std::string::npos; }))
      << said;
}

TEST(FieldColumns, AgreeWithTheoryOnSimulatedSteps) {
  struct Case {
    int dims;
    Steps steps;
    double alpha2;  // at lag 1
  };
  const Case cases[] = {{1, Steps::kGaussian, 0.0}, {2, Steps::kGaussian, 0.0}, {3, Steps::kGaussian, 0.0},
                        {1, Steps::kLaplace, 1.0},  {2, Steps::kLaplace, 0.75}};
  constexpr int kParticles = 30;
  for (const Case& c : cases) {
    const Records in = walks(c.dims, c.steps, kParticles, 4000, 0.0, 40 + c.dims);
    // fs at q = 0.7 beside alpha2; for Gaussian steps fs = exp(-q^2 msd / (2d)).
    Quantities wanted = field_columns();
    wanted.fs = true;
    const AnalysisOptions options{.lags = LagRequest::list({1}), .wave_numbers = {0.7}, .quantities = wanted};
    const AnalysisResult pooled = analyse(in.data(), options);
    // Standard errors from the spread of the particles' own values.
    double sum[2] = {0.0, 0.0}, squares[2] = {0.0, 0.0};
    for (int p = 0; p < kParticles; ++p) {
      const std::size_t begin = static_cast<std::size_t>(p) * 4000, end = begin + 4000;
      Records one;
      one.x.assign(in.x.begin() + begin, in.x.begin() + end);
      if (c.dims >= 2) one.y.assign(in.y.begin() + begin, in.y.begin() + end);
      if (c.dims == 3) one.z.assign(in.z.begin() + begin, in.z.begin() + end);
      one.frame.assign(in.frame.begin() + begin, in.frame.begin() + end);
      const AnalysisResult own = analyse(one.data(), options);
      const double values[2] = {own.alpha2[0], own.fs[0][0]};
      for (int k = 0; k < 2; ++k) sum[k] += values[k], squares[k] += values[k] * values[k];
    }
    double se[2];
    for (int k = 0; k < 2; ++k) {
      const double mean = sum[k] / kParticles;
      se[k] = std::sqrt((squares[k] / kParticles - mean * mean) / (kParticles - 1));
    }
    const std::string what = std::to_string(c.dims) + "D, steps " + std::to_string(static_cast<int>(c.steps));
    EXPECT_NEAR(pooled.alpha2[0], c.alpha2, 3.0 * se[0]) << what << ", se " << se[0];
    if (c.steps == Steps::kGaussian) {
      const double gaussian = std::exp(-0.49 * pooled.msd[0] / (2.0 * c.dims));
      EXPECT_NEAR(pooled.fs[0][0], gaussian, 3.0 * se[1]) << what << ", se " << se[1];
    }
  }
  // Drift v per frame: mean_dx = v t, and msd_centered = 2 d D t with D = 1/2.
  const Records drifting = walks(2, Steps::kGaussian, 20, 3000, 0.8, 5);
  const AnalysisResult got = analyse(drifting.data(), {.lags = LagRequest::list({1, 10, 40}), .quantities = field_columns()});
  for (std::size_t r = 0; r < got.rows(); ++r) {
    const double t = static_cast<double>(got.lag[r]);
    const double se = std::sqrt(2.0 * t / static_cast<double>(got.pairs[r]) * t);  // generous: overlapping pairs
    EXPECT_NEAR(got.mean_axis[0][r], 0.8 * t, 3.0 * se) << "lag " << t;
    EXPECT_NEAR(got.mean_axis[1][r], 0.0, 3.0 * se) << "lag " << t;
    EXPECT_NEAR(got.msd_centered[r], 2.0 * t, 0.1 * 2.0 * t) << "lag " << t;
    EXPECT_GT(got.msd[r] - got.msd_centered[r], 0.5 * 0.64 * t * t);
  }
}

}  // namespace
}  // namespace msdisf
