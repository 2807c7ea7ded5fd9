// Calibration of the standard errors and fits: many independent Brownian
// data sets from the shipped generator, analysed with errors; the reported
// errors are compared with the observed spread of the estimates, and the
// fitted D's and alpha's 95 % intervals with the true ones. Localisation
// noise, a Gaussian error of every recorded position, can be added.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

#include "engine/analysis.h"
#include "engine/msd_fit.h"
#include "job_table/numeric/random_mars.h"

namespace msdisf::calibration {

inline constexpr double kDiffusion = 0.5;  // per frame: msd = 4 D lag = 2 lag
inline constexpr double kWave = 0.3;       // <cos(q dx)> = exp(-q^2 D lag)
inline constexpr long kCheckedLags[] = {1, 10, 100};
inline constexpr long kFitLast = 10;  // D and alpha are fitted over lags 1..kFitLast

struct Shape {
  const char* name;
  int particles;
  int frames;
};

/// The columns checked, in the order of Outcome::ratio.
inline constexpr const char* kCheckedColumns[] = {"msd", "ngp", "isf_x", "alpha2", "fs"};
inline constexpr int kColumns = 5;

/// For each checked lag and column (kCheckedColumns): the root mean square
/// of the reported errors over the observed standard deviation of the
/// estimates; and the share of data sets whose 95 % interval holds D, alpha.
struct Outcome {
  double ratio[3][kColumns] = {};
  double d_coverage = 0.0;
  double alpha_coverage = 0.0;
};

/// noise: the localisation error per axis in units of sqrt(D dt).
inline AnalysisResult analyse_one(const Shape& shape, int seed, double noise = 0.0) {
  RanMars random(seed);
  RanMars blur(seed + 450000000);
  const double sigma = noise * std::sqrt(kDiffusion);
  const double step = std::sqrt(2.0 * kDiffusion);
  std::vector<double> x, y;
  std::vector<std::int64_t> frame, particle;
  for (int p = 0; p < shape.particles; ++p) {
    double px = 0.0, py = 0.0;
    for (int f = 0; f < shape.frames; ++f) {
      x.push_back(noise > 0.0 ? px + sigma * blur.gaussian() : px);
      y.push_back(noise > 0.0 ? py + sigma * blur.gaussian() : py);
      frame.push_back(f);
      particle.push_back(p);
      px += step * random.gaussian();
      py += step * random.gaussian();
    }
  }
  AnalysisOptions options;
  std::vector<long> lags;
  for (long lag = 1; lag <= kFitLast; ++lag) lags.push_back(lag);
  lags.push_back(100);
  options.lags = LagRequest::list(lags);
  options.wave_numbers = {kWave};
  options.quantities = {.msd = true, .mqd = false, .ngp = true, .skewness = false, .md = false, .mcd = false,
                        .scattering = true, .alpha2 = true, .fs = true};
  options.errors = true;
  options.threads = 1;
  return analyse({x, y, frame, particle}, options);
}

inline Outcome calibrate(const Shape& shape, int sets, int first_seed, double noise = 0.0) {
  // values[s][lag][column] and squared errors, per data set, so that the sets
  // can run in parallel and still pool in order.
  using Table = std::array<std::array<double, kColumns>, 3>;
  std::vector<Table> values(static_cast<std::size_t>(sets)), squared(static_cast<std::size_t>(sets));
  std::vector<int> d_in(static_cast<std::size_t>(sets)), alpha_in(static_cast<std::size_t>(sets));
#pragma omp parallel for schedule(dynamic, 1)
  for (int s = 0; s < sets; ++s) {
    const AnalysisResult r = analyse_one(shape, first_seed + s, noise);
    const auto set = static_cast<std::size_t>(s);
    for (std::size_t l = 0; l < 3; ++l) {
      const auto row = static_cast<std::size_t>(std::find(r.lag.begin(), r.lag.end(), kCheckedLags[l]) - r.lag.begin());
      values[set][l] = {r.msd[row], r.ngp[row], r.cos_x[0][row], r.alpha2[row], r.fs[0][row]};
      const double errors[kColumns] = {r.errors.msd[row], r.errors.ngp[row], r.errors.cos_x[0][row],
                                       r.errors.alpha2[row], r.errors.fs[0][row]};
      for (int c = 0; c < kColumns; ++c) squared[set][l][static_cast<std::size_t>(c)] = errors[c] * errors[c];
    }
    std::vector<double> t(r.lag.begin(), r.lag.end());
    const MsdFit fit = fit_msd(r.lag, t, r.msd, r.errors.msd, 1, kFitLast, 2);
    d_in[set] = std::fabs(fit.diffusion - kDiffusion) <= 1.96 * fit.diffusion_se;
    alpha_in[set] = std::fabs(fit.exponent - 1.0) <= 1.96 * fit.exponent_se;
  }
  Outcome out;
  const double n = sets;
  for (std::size_t l = 0; l < 3; ++l) {
    for (std::size_t c = 0; c < kColumns; ++c) {
      double mean = 0.0, spread = 0.0, reported = 0.0;
      for (const Table& v : values) mean += v[l][c] / n;
      for (const Table& v : values) spread += (v[l][c] - mean) * (v[l][c] - mean) / (n - 1.0);
      for (const Table& e : squared) reported += e[l][c] / n;
      out.ratio[l][c] = std::sqrt(reported / spread);
    }
  }
  out.d_coverage = std::accumulate(d_in.begin(), d_in.end(), 0) / n;
  out.alpha_coverage = std::accumulate(alpha_in.begin(), alpha_in.end(), 0) / n;
  return out;
}

}  // namespace msdisf::calibration
