// What one pair contributes, and how a lag's sums become its means. The
// order of operations is part of the result: the moment sums and their
// finalisation must give the same bits on every path.
//
// A pair (a, b) is valid when x and y at both ends are numbers. With
// dx = x[b] - x[a] and dy = y[b] - y[a] it adds dx + dy, dx^2 + dy^2,
// dx^3 + dy^3, dx^4 + dy^4 (powers multiplied from the left, each new term
// added to the running sum as written below), and cos and sin of dx*q, dy*q
// and q*(dx + dy). The "r" direction is the plain sum dx + dy.
#pragma once

#include <cmath>

namespace msdisf::detail {

struct MomentSums {
  double s1 = 0.0;  // dx + dy
  double s2 = 0.0;  // dx^2 + dy^2
  double s3 = 0.0;  // dx^3 + dy^3
  double s4 = 0.0;  // dx^4 + dy^4
  long pairs = 0;
};

inline void add_moments(MomentSums& sums, double dx, double dy) {
  sums.s2 = (dx * dx + dy * dy) + sums.s2;
  ++sums.pairs;
  sums.s1 = sums.s1 + (dx + dy);
  sums.s3 = (dx * dx * dx + dy * dy * dy) + sums.s3;
  sums.s4 = (dx * dx * dx * dx + dy * dy * dy * dy) + sums.s4;
}

/// cos and sin of the three arguments of one wave number, as the plain
/// kernel forms them: dx*q, dy*q and q*(dx + dy).
struct PairPhases {
  double cos[3];
  double sin[3];
};

inline PairPhases pair_phases(double dx, double dy, double q) {
  PairPhases p;
  ::sincos(dx * q, &p.sin[0], &p.cos[0]);
  ::sincos(dy * q, &p.sin[1], &p.cos[1]);
  ::sincos(q * (dx + dy), &p.sin[2], &p.cos[2]);
  return p;
}

/// The non-Gaussian parameter (d/3)*mqd/msd^2 - 1 in d dimensions. mqd and
/// msd each sum the d components, so for Gaussian steps of variance s^2 per
/// component mqd = d*3s^4 and msd^2 = (d s^2)^2, and the value is 0.
inline double non_gaussian_parameter(double mqd, double msd, int dimensions = 2) {
  const double factor = dimensions == 1 ? 1.0 / 3.0 : dimensions == 2 ? 2.0 / 3.0 : 1.0;
  return factor * mqd / (msd * msd) - 1.0;
}

/// mcd - 3 msd md + 2 md^3, with its operations in this order: the job
/// table's printed digits depend on it.
inline double skewness_of(double mcd, double msd, double md) { return mcd - (msd * 3.0) * md + ((md + md) * md) * md; }

}  // namespace msdisf::detail
