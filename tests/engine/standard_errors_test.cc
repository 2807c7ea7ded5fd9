// Standard errors against their definition from group sums, their
// calibration on simulated Brownian data, and the msd fits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <random>
#include <tuple>

#include "engine/analysis.h"
#include "engine/msd_fit.h"
#include "tests/engine/records.h"
#include "tools/error_calibration.h"

namespace msdisf {
namespace {

constexpr double kQ = 0.7;

struct GroupSums {
  double n = 0.0, msd = 0.0, mqd = 0.0, cos = 0.0, r4 = 0.0, j0 = 0.0;
};

// The ratio-mean standard errors of msd, ngp, cos along x, alpha2 and fs
// (two dimensions) from group sums, written out the long way.
struct Reference {
  double msd, ngp, cos, alpha2, fs;
};

Reference reference(const std::map<long, GroupSums>& groups) {
  GroupSums total;
  for (const auto& [id, g] : groups) {
    total.n += g.n, total.msd += g.msd, total.mqd += g.mqd, total.cos += g.cos, total.r4 += g.r4, total.j0 += g.j0;
  }
  const double m = total.msd / total.n, q = total.mqd / total.n, c = total.cos / total.n;
  const double r4 = total.r4 / total.n, j0 = total.j0 / total.n;
  // ngp = (2/3) q / m^2 - 1 and alpha2 = (1/2) r4 / m^2 - 1, linearised
  const double a = (2.0 / 3.0) / (m * m), b = (4.0 / 3.0) * q / (m * m * m);
  const double a2 = 0.5 / (m * m), b2 = r4 / (m * m * m);
  double zm = 0.0, zn = 0.0, zc = 0.0, za = 0.0, zf = 0.0;
  for (const auto& [id, g] : groups) {
    zm += std::pow(g.msd - m * g.n, 2);
    zc += std::pow(g.cos - c * g.n, 2);
    zn += std::pow(a * (g.mqd - q * g.n) - b * (g.msd - m * g.n), 2);
    za += std::pow(a2 * (g.r4 - r4 * g.n) - b2 * (g.msd - m * g.n), 2);
    zf += std::pow(g.j0 - j0 * g.n, 2);
  }
  const double k = static_cast<double>(groups.size());
  const double scale = k / (k - 1.0) / (total.n * total.n);
  return {std::sqrt(zm * scale), std::sqrt(zn * scale), std::sqrt(zc * scale), std::sqrt(za * scale),
          std::sqrt(zf * scale)};
}

// Group sums of the pairs at `lag`, each pair's group given by `group_of`.
template <typename GroupOf>
std::map<long, GroupSums> group_sums(const testing::Records& r, long lag, GroupOf&& group_of) {
  std::map<std::pair<std::int64_t, std::int64_t>, std::size_t> at;
  for (std::size_t i = 0; i < r.x.size(); ++i) at[{r.particle[i], r.frame[i]}] = i;
  std::map<long, GroupSums> groups;
  for (std::size_t a = 0; a < r.x.size(); ++a) {
    const auto end = at.find({r.particle[a], r.frame[a] + lag});
    if (end == at.end()) continue;
    const std::size_t b = end->second;
    const double dx = r.x[b] - r.x[a], dy = r.y[b] - r.y[a];
    if (std::isnan(dx + dy)) continue;
    GroupSums& g = groups[group_of(a)];
    g.n += 1.0;
    g.msd += dx * dx + dy * dy;
    g.mqd += dx * dx * dx * dx + dy * dy * dy * dy;
    g.cos += std::cos(kQ * dx);
    g.r4 += (dx * dx + dy * dy) * (dx * dx + dy * dy);
    g.j0 += std::cyl_bessel_j(0.0, kQ * std::sqrt(dx * dx + dy * dy));
  }
  return groups;
}

AnalysisResult with_errors(const testing::Records& r, std::vector<long> lags) {
  AnalysisOptions options;
  options.lags = LagRequest::list(std::move(lags));
  options.wave_numbers = {kQ};
  options.errors = true;
  return analyse(r.data(), options);
}

// The job table's columns, or (field) alpha2 and fs.
void expect_matches(const AnalysisResult& result, std::size_t row, const Reference& want, bool field = false) {
  EXPECT_NEAR(result.errors.msd[row], want.msd, 1e-9 * want.msd) << "lag " << result.lag[row];
  if (field) {
    EXPECT_NEAR(result.errors.alpha2[row], want.alpha2, 1e-9 * want.alpha2) << "lag " << result.lag[row];
    EXPECT_NEAR(result.errors.fs[0][row], want.fs, 1e-7 * want.fs) << "lag " << result.lag[row];
    return;
  }
  EXPECT_NEAR(result.errors.ngp[row], want.ngp, 1e-9 * want.ngp) << "lag " << result.lag[row];
  EXPECT_NEAR(result.errors.cos_x[0][row], want.cos, 1e-9 * want.cos) << "lag " << result.lag[row];
}

// The field columns (msd, alpha2 and fs) with their errors.
AnalysisResult field_errors(const testing::Records& r, std::vector<long> lags) {
  AnalysisOptions options;
  options.lags = LagRequest::list(std::move(lags));
  options.wave_numbers = {kQ};
  options.errors = true;
  options.quantities = {.msd = true, .mqd = false, .ngp = false, .skewness = false, .md = false, .mcd = false,
                        .scattering = false, .alpha2 = true, .fs = true};
  return analyse(r.data(), options);
}

TEST(StandardErrors, ParticlesAreTheGroupsWhenThereAreEnough) {
  // 30 particles of 20 to 79 frames, with missing frames and positions,
  // far from the origin, in shuffled row order.
  std::mt19937 random(5);
  std::normal_distribution<double> step(0.0, 1.0);
  testing::Records r;
  for (int p = 0; p < 30; ++p) {
    double x = 1e6, y = -3e5;
    for (int f = 0; f < 20 + 2 * p; ++f) {
      x += step(random), y += step(random);
      if (random() % 10 == 0) continue;
      r.x.push_back(random() % 25 == 0 ? NAN : x);
      r.y.push_back(y);
      r.frame.push_back(f * 3);
      r.particle.push_back(p);
    }
  }
  std::vector<std::size_t> order(r.x.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), random);
  testing::Records shuffled;
  for (const std::size_t i : order) {
    shuffled.x.push_back(r.x[i]), shuffled.y.push_back(r.y[i]);
    shuffled.frame.push_back(r.frame[i]), shuffled.particle.push_back(r.particle[i]);
  }
  // Frames are multiples of 3: lag 4 reaches every particle but has no pair.
  const std::vector<long> lags = {3, 4, 9, 21};
  const AnalysisResult result = with_errors(shuffled, lags);
  const AnalysisResult field = field_errors(shuffled, lags);
  EXPECT_EQ(result.errors.groups[1], 0);
  EXPECT_TRUE(std::isnan(result.errors.msd[1]));
  for (const std::size_t row : {0, 2, 3}) {
    const auto groups = group_sums(shuffled, lags[row], [&](std::size_t a) { return shuffled.particle[a]; });
    EXPECT_EQ(result.errors.groups[row], static_cast<long>(groups.size()));
    expect_matches(result, row, reference(groups));
    EXPECT_EQ(field.errors.groups[row], static_cast<long>(groups.size()));
    expect_matches(field, row, reference(groups), true);
  }
}

TEST(StandardErrors, OneTrajectoryIsSplitIntoWindowsOfOrigins) {
  std::mt19937 random(9);
  std::normal_distribution<double> step(0.0, 1.0);
  testing::Records r;
  double x = 0.0, y = 0.0;
  for (int f = 0; f < 2000; ++f) {
    r.x.push_back(x += step(random));
    r.y.push_back(y += step(random));
    r.frame.push_back(f);
    r.particle.push_back(0);
  }
  // Lag 5: windows of at least 20 origins, so 32, 64 or 128 frames (63, 32
  // or 16 windows); lag 600: one window, no error.
  const AnalysisResult result = with_errors(r, {5, 600});
  const long windows = result.errors.groups[0];
  ASSERT_TRUE(windows == 63 || windows == 32 || windows == 16) << windows;
  const long width = windows == 63 ? 32 : windows == 32 ? 64 : 128;
  const auto groups = group_sums(r, 5, [&](std::size_t a) { return r.frame[a] / width; });
  EXPECT_EQ(groups.size(), static_cast<std::size_t>(windows));
  EXPECT_NEAR(result.errors.msd[0], reference(groups).msd, 1e-9 * reference(groups).msd);
  EXPECT_EQ(result.errors.groups[1], 1);
  EXPECT_TRUE(std::isnan(result.errors.msd[1]));
}

// x walks and y stays put: msd_x's error is the error of the whole msd, and
// msd_y's is zero, from the same particle groups.
TEST(StandardErrors, OfEachAxisMsd) {
  std::mt19937 random(11);
  std::normal_distribution<double> step(0.0, 1.0);
  testing::Records r;
  for (int p = 0; p < 25; ++p) {
    double x = 500.0 * p;
    for (int f = 0; f < 60; ++f) {
      r.x.push_back(random() % 20 == 0 ? NAN : (x += step(random)));
      r.y.push_back(7.0), r.frame.push_back(f), r.particle.push_back(p);
    }
  }
  AnalysisOptions options;
  options.lags = LagRequest::list({1, 9});
  options.errors = true;
  options.quantities = {.msd = true, .mqd = false, .ngp = false, .skewness = false, .md = false, .mcd = false,
                        .scattering = false, .msd_axes = true};
  const AnalysisResult result = analyse(r.data(), options);
  ASSERT_EQ(result.errors.msd_axis.size(), 2u);
  for (std::size_t row = 0; row < result.rows(); ++row) {
    const double want = reference(group_sums(r, result.lag[row], [&](std::size_t a) { return r.particle[a]; })).msd;
    EXPECT_NEAR(result.errors.msd_axis[0][row], want, 1e-9 * want) << "lag " << result.lag[row];
    EXPECT_NEAR(result.errors.msd[row], want, 1e-9 * want) << "lag " << result.lag[row];
    EXPECT_NEAR(result.errors.msd_axis[1][row], 0.0, 1e-12) << "lag " << result.lag[row];
  }
}

TEST(StandardErrors, OnlyWhenAskedAndOnlyForWantedColumns) {
  testing::Records r{{0, 1, 3, 2}, {0, 0, 1, 1}, {0, 1, 2, 3}, {}};
  AnalysisOptions options;
  EXPECT_TRUE(analyse(r.data(), options).errors.empty());
  options.errors = true;
  options.quantities = {.msd = true, .mqd = false, .ngp = false, .skewness = false, .md = false, .mcd = false,
                        .scattering = false};
  const AnalysisResult result = analyse(r.data(), options);
  EXPECT_EQ(result.errors.msd.size(), result.rows());
  EXPECT_TRUE(result.errors.ngp.empty());
  EXPECT_TRUE(result.errors.cos_x.empty());
}

TEST(StandardErrors, CalibratedOnSimulatedBrownianData) {
  using namespace calibration;
  for (const Shape& shape : {Shape{"one trajectory", 1, 16384}, Shape{"many particles", 200, 500}}) {
    const Outcome out = calibrate(shape, 200, 7);
    for (int l = 0; l < 3; ++l) {
      for (int c = 0; c < kColumns; ++c) {
        EXPECT_NEAR(out.ratio[l][c], 1.0, 0.15)
            << shape.name << ", lag " << kCheckedLags[l] << ", column " << kCheckedColumns[c];
      }
    }
    EXPECT_GE(out.d_coverage, 0.90) << shape.name;
    EXPECT_LE(out.d_coverage, 0.98) << shape.name;
    EXPECT_GE(out.alpha_coverage, 0.90) << shape.name;
    EXPECT_LE(out.alpha_coverage, 0.98) << shape.name;
  }
}

TEST(MsdFit, RecoversLinesAndPowerLawsAndRefusesTooFewPoints) {
  std::vector<long> lag;
  std::vector<double> t, line, power, se;
  for (long l = 1; l <= 40; ++l) {
    lag.push_back(l);
    t.push_back(0.5 * static_cast<double>(l));
    line.push_back(4.0 * 0.25 * t.back() + 0.3);
    power.push_back(3.0 * std::pow(t.back(), 0.7));
    se.push_back(0.01 * static_cast<double>(l));
  }
  const MsdFit linear = fit_msd(lag, t, line, se, 2, 30, 2);
  EXPECT_EQ(linear.points, 29);
  EXPECT_NEAR(linear.diffusion, 0.25, 1e-12);
  EXPECT_NEAR(linear.offset, 0.3, 1e-12);
  EXPECT_NEAR(linear.exponent, 1.0, 1e-12);
  EXPECT_GT(linear.diffusion_se, 0.0);
  const MsdFit in_3d = fit_msd(lag, t, power, se, 1, 40, 3);
  EXPECT_NEAR(in_3d.exponent, 0.7, 1e-12);
  EXPECT_NEAR(in_3d.diffusion, 3.0 / 6.0, 1e-12);
  EXPECT_NEAR(in_3d.offset, 0.0, 1e-12);
  std::vector<double> steep;  // alpha 3.5, beyond the exponents searched
  for (const double v : t) steep.push_back(std::pow(v, 3.5));
  for (const auto& [first, last, curve] : {std::tuple{39L, 50L, &line}, {1L, 40L, &steep}}) {
    EXPECT_THROW(fit_msd(lag, t, *curve, se, first, last, 2), FitError) << first << ":" << last;
  }
  se[4] = NAN;
  EXPECT_EQ(fit_msd(lag, t, line, se, 1, 10, 2).points, 9);
}

// Diffusion seen through localisation noise of 0.02 um: the noise lifts the
// short lags' msd, which the offset takes up, so alpha stays 1.
TEST(MsdFit, LocalisationNoiseGoesIntoTheOffsetNotAlpha) {
  const double diffusion = 0.005, sigma = 0.02;  // um^2 per frame, um
  for (const unsigned seed : {1u, 2u, 3u, 4u}) {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    testing::Records r;
    for (int p = 0; p < 100; ++p) {
      double x = 0.0, y = 0.0;
      for (int f = 0; f < 400; ++f) {
        r.x.push_back(x + sigma * gauss(random));
        r.y.push_back(y + sigma * gauss(random));
        r.frame.push_back(f);
        r.particle.push_back(p);
        x += std::sqrt(2.0 * diffusion) * gauss(random);
        y += std::sqrt(2.0 * diffusion) * gauss(random);
      }
    }
    AnalysisOptions options;
    options.lags = LagRequest::up_to(10);
    options.quantities = {.msd = true, .mqd = false, .ngp = false, .skewness = false, .md = false, .mcd = false,
                          .scattering = false};
    options.errors = true;
    const AnalysisResult result = analyse(r.data(), options);
    const std::vector<double> t(result.lag.begin(), result.lag.end());
    const MsdFit fit = fit_msd(result.lag, t, result.msd, result.errors.msd, 1, 10, 2);
    EXPECT_LT(std::fabs(fit.exponent - 1.0), 3.0 * fit.exponent_se) << "seed " << seed << ": " << fit.exponent;
    EXPECT_LT(std::fabs(fit.offset - 4.0 * sigma * sigma), 3.0 * fit.offset_se) << "seed " << seed;
    EXPECT_LT(std::fabs(fit.diffusion - diffusion), 3.0 * fit.diffusion_se) << "seed " << seed;
  }
}

}  // namespace
}  // namespace msdisf
