// Shared helpers for the estimator tests: a state filled from coordinate
// lists, and comparisons of the state's per-lag results with reference values.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "job_table/estimators/estimator_options.h"
#include "job_table/state/analysis_state.h"
#include "job_table/state/console.h"
#include "tests/job_table/estimators/reference_estimator.h"

namespace msdisf::testing {

/// A state whose entries 0..x.size()-1 hold the given coordinates; N = x.size().
inline std::unique_ptr<AnalysisState> state_from(const std::vector<double>& x, const std::vector<double>& y,
                                                 long capacity = 0) {
  auto state = std::make_unique<AnalysisState>(std::max<long>(capacity, static_cast<long>(x.size()) + 2));
  for (std::size_t i = 0; i < x.size(); ++i) {
    state->X[i] = x[i];
    state->Y[i] = y[i];
    state->T[i] = static_cast<int>(i) + 1;
  }
  state->N = static_cast<int>(x.size());
  return state;
}

/// A random walk with steps of the given size and about `gap_fraction` gap markers.
inline void random_walk(std::mt19937_64& random, long n, double step, double offset, double gap_fraction,
                        std::vector<double>& x, std::vector<double>& y) {
  std::normal_distribution<double> normal(0.0, step);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  x.assign(static_cast<std::size_t>(n), 0.0);
  y.assign(static_cast<std::size_t>(n), 0.0);
  double px = offset;
  double py = -offset;
  for (long i = 0; i < n; ++i) {
    px += normal(random);
    py += normal(random);
    const bool gap = uniform(random) < gap_fraction;
    x[static_cast<std::size_t>(i)] = gap ? NAN : px;
    y[static_cast<std::size_t>(i)] = gap ? NAN : py;
  }
}

inline bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

/// Compares lag index k of the state with `expected`: moments and counts bit
/// for bit, scattering values within `tolerance` (0: bit for bit), and only
/// where the reference has them (a lag with pairs).
inline void expect_lag_equals(const AnalysisState& state, long k, const LagValues& expected, bool with_counter,
                              double tolerance = 0.0) {
  EXPECT_PRED2(same_bits, state.msd[k], expected.msd) << "msd at lag " << k + 1;
  EXPECT_PRED2(same_bits, state.md[k], expected.md) << "md at lag " << k + 1;
  EXPECT_PRED2(same_bits, state.mcd[k], expected.mcd) << "mcd at lag " << k + 1;
  EXPECT_PRED2(same_bits, state.mqd[k], expected.mqd) << "mqd at lag " << k + 1;
  EXPECT_PRED2(same_bits, state.ngp[k], expected.ngp) << "ngp at lag " << k + 1;
  EXPECT_PRED2(same_bits, state.skewness[k], expected.skewness) << "skewness at lag " << k + 1;
  if (with_counter) {
    EXPECT_EQ(state.msdcounter[k], expected.count) << "count at lag " << k + 1;
  }
  double** const matrices[6] = {state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im};
  for (int g = 0; g < 6; ++g) {
    for (int m = 0; m < kScaleCount; ++m) {
      if (std::isnan(expected.isf[g][m])) continue;
      if (tolerance == 0.0) {
        ASSERT_PRED2(same_bits, matrices[g][m][k], expected.isf[g][m])
            << "group " << g << " scale " << m << " lag " << k + 1;
      } else {
        ASSERT_NEAR(matrices[g][m][k], expected.isf[g][m], tolerance)
            << "group " << g << " scale " << m << " lag " << k + 1;
      }
    }
  }
}

inline const EstimatorOptions kExact{.method = Method::kExact, .threads = 0};
inline const EstimatorOptions kOrdered{.method = Method::kOrdered, .threads = 0};
/// Scattering values of the fast method agree with the pairwise arithmetic within this.
inline constexpr double kFastTolerance = 1e-9;

/// A console whose two channels are kept in strings.
struct CapturedConsole {
  std::ostringstream out;
  std::ostringstream err;
  Console console{out, err};
};

}  // namespace msdisf::testing
