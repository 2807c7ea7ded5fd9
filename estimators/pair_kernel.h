// What one pair of entries contributes to its lag, and how a lag's sums
// become the per-lag results. All three estimators use these; they differ
// only in which pairs they visit and where they keep the sums.
//
// A pair (a, b) is valid when X and Y at both ends are numbers; gap markers
// (NaN) thus remove every pair that starts or ends on a missing frame. With
// dx = X[b] - X[a] and dy = Y[b] - Y[a], a valid pair adds
//   dx + dy, dx^2 + dy^2, dx^3 + dy^3, dx^4 + dy^4 (powers multiplied from the left),
//   cos and sin of dx*q, dy*q and q*(dx + dy) for q = 1/scales[m], m = 0..14.
// The "r" direction is the plain sum dx + dy, not the length of the step.
#pragma once

#include <cmath>

#include "state/analysis_state.h"

namespace msdisf {

/// The displacement moment sums of one lag and its valid-pair count.
struct MomentSums {
  double s1 = 0.0;  // dx + dy, only while ALL is set
  double s2 = 0.0;  // dx^2 + dy^2
  double s3 = 0.0;  // dx^3 + dy^3, only while ALL is set
  double s4 = 0.0;  // dx^4 + dy^4, only while ALL is set
  long pairs = 0;
};

/// Wave numbers 1/scales[m], formed once: the arguments stay dx*q, dy*q and
/// q*(dx + dy) with the same q as a per-pair division would give.
struct WaveNumbers {
  double q[kScaleCount];
  WaveNumbers() {
    for (int m = 0; m < kScaleCount; ++m) q[m] = 1.0 / scales[m];
  }
};

/// Where one lag's scattering sums are added: six rows of kScaleCount values
/// reached through a column of the state's matrices or of local arrays.
struct ScatteringTarget {
  double** cx;
  double** cy;
  double** cr;
  double** sx;
  double** sy;
  double** sr;
  long column;
};

inline bool valid_pair(const AnalysisState& state, long a, long b) {
  return !std::isnan(state.X[a]) && !std::isnan(state.X[b]) && !std::isnan(state.Y[a]) && !std::isnan(state.Y[b]);
}

inline void add_moments(MomentSums& sums, double dx, double dy, bool all) {
  sums.s2 = (dx * dx + dy * dy) + sums.s2;
  ++sums.pairs;
  if (all) {
    sums.s1 = sums.s1 + (dx + dy);
    sums.s3 = (dx * dx * dx + dy * dy * dy) + sums.s3;
    sums.s4 = (dx * dx * dx * dx + dy * dy * dy * dy) + sums.s4;
  }
}

/// One lag's scattering sums while its pairs are added: a private copy of
/// the lag's column, so that threads working on neighbouring lags do not share
/// cache lines. Loading, adding pair by pair and storing back performs the
/// same additions in the same order as adding into the column directly.
struct ScatteringSums {
  double cx[kScaleCount], cy[kScaleCount], cr[kScaleCount];
  double sx[kScaleCount], sy[kScaleCount], sr[kScaleCount];

  explicit ScatteringSums(const ScatteringTarget& from) {
    for (int m = 0; m < kScaleCount; ++m) {
      cx[m] = from.cx[m][from.column];
      cy[m] = from.cy[m][from.column];
      cr[m] = from.cr[m][from.column];
      sx[m] = from.sx[m][from.column];
      sy[m] = from.sy[m][from.column];
      sr[m] = from.sr[m][from.column];
    }
  }
  void store(const ScatteringTarget& to) const {
    for (int m = 0; m < kScaleCount; ++m) {
      to.cx[m][to.column] = cx[m];
      to.cy[m][to.column] = cy[m];
      to.cr[m][to.column] = cr[m];
      to.sx[m][to.column] = sx[m];
      to.sy[m][to.column] = sy[m];
      to.sr[m][to.column] = sr[m];
    }
  }
};

inline void add_scattering(ScatteringSums& to, const WaveNumbers& waves, double dx, double dy) {
  for (int m = 0; m < kScaleCount; ++m) {
    const double q = waves.q[m];
    double sine = 0.0;
    double cosine = 0.0;
    ::sincos(dx * q, &sine, &cosine);
    to.cx[m] += cosine;
    to.sx[m] += sine;
    ::sincos(dy * q, &sine, &cosine);
    to.cy[m] += cosine;
    to.sy[m] += sine;
    ::sincos(q * (dx + dy), &sine, &cosine);
    to.cr[m] += cosine;
    to.sr[m] += sine;
  }
}

/// Adds the pair (a, b) to a lag's sums when it is valid.
inline void add_pair(const AnalysisState& state, long a, long b, const WaveNumbers& waves, MomentSums& moments,
                     ScatteringSums& scattering) {
  if (!valid_pair(state, a, b)) return;
  const double dx = state.X[b] - state.X[a];
  const double dy = state.Y[b] - state.Y[a];
  add_moments(moments, dx, dy, state.ALL);
  add_scattering(scattering, waves, dx, dy);
}

/// The non-Gaussian parameter from the lag's means: (2/3)*mqd/msd^2 - 1.
/// mqd and msd each sum both components, so for Gaussian steps of variance s^2
/// per component mqd = 2*3s^4 and msd^2 = (2s^2)^2, and the value is 0.
inline double non_gaussian_parameter(double mqd_k, double msd_k) { return (2.0 / 3.0) * mqd_k / (msd_k * msd_k) - 1.0; }

/// Turns lag k's moment sums into msd, md, mcd, mqd, ngp and skewness by
/// dividing by `divisor`. A divisor of 0 is not guarded: the means become NaN.
inline void finalise_moments(AnalysisState& state, long k, double s1, double s2, double s3, double s4, double divisor) {
  state.msd[k] = s2 / divisor;
  if (state.ALL) {
    state.md[k] = s1 / divisor;
    state.mcd[k] = s3 / divisor;
    state.mqd[k] = s4 / divisor;
    state.ngp[k] = non_gaussian_parameter(state.mqd[k], state.msd[k]);
    state.skewness[k] =
        state.mcd[k] - (state.msd[k] * 3.0) * state.md[k] + ((state.md[k] + state.md[k]) * state.md[k]) * state.md[k];
  }
}

}  // namespace msdisf
