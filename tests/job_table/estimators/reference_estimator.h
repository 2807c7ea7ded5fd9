// A plain, obviously correct statement of the per-lag statistics, written
// without the production kernel: for each lag, walk the pairs in origin
// order, add each valid pair's terms, divide by the count. It fixes the same
// order of operations as the definition (sums in origin order, powers from
// the left), so faster estimators must match it bit for bit.
#pragma once

#include <cmath>
#include <utility>
#include <vector>

#include "job_table/state/scales.h"

namespace msdisf::testing {

struct LagValues {
  double msd = 0, md = 0, mcd = 0, mqd = 0, ngp = 0, skewness = 0, count = 0;
  // [group][m]: cos x, cos y, cos r, sin x, sin y, sin r; NaN where no pair was valid
  double isf[6][kScaleCount] = {};
};

struct Sums {
  double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  long n = 0;
  double isf[6][kScaleCount] = {};
};

inline void add_scattering_terms(double (&isf)[6][kScaleCount], double dx, double dy) {
  for (int m = 0; m < kScaleCount; ++m) {
    const double q = 1.0 / scales[m];
    const double args[3] = {dx * q, dy * q, q * (dx + dy)};
    for (int g = 0; g < 3; ++g) {
      isf[g][m] += std::cos(args[g]);
      isf[g + 3][m] += std::sin(args[g]);
    }
  }
}

inline void add_pair(Sums& sums, double dx, double dy) {
  sums.s2 = (dx * dx + dy * dy) + sums.s2;
  sums.n += 1;
  sums.s1 = sums.s1 + (dx + dy);
  sums.s3 = (dx * dx * dx + dy * dy * dy) + sums.s3;
  sums.s4 = (dx * dx * dx * dx + dy * dy * dy * dy) + sums.s4;
  add_scattering_terms(sums.isf, dx, dy);
}

inline bool add_if_valid(Sums& sums, const std::vector<double>& x, const std::vector<double>& y, long a, long b) {
  if (std::isnan(x[a]) || std::isnan(x[b]) || std::isnan(y[a]) || std::isnan(y[b])) return false;
  add_pair(sums, x[b] - x[a], y[b] - y[a]);
  return true;
}

/// Means from moment sums (s1..s4, count) and scattering sums with their own count.
inline LagValues finish(double s1, double s2, double s3, double s4, double count, const double (&isf)[6][kScaleCount],
                        double isf_count) {
  LagValues v;
  v.count = count;
  v.msd = s2 / count;
  v.md = s1 / count;
  v.mcd = s3 / count;
  v.mqd = s4 / count;
  v.ngp = (2.0 / 3.0) * v.mqd / (v.msd * v.msd) - 1.0;
  v.skewness = v.mcd - (v.msd * 3.0) * v.md + ((v.md + v.md) * v.md) * v.md;
  for (int g = 0; g < 6; ++g) {
    for (int m = 0; m < kScaleCount; ++m) v.isf[g][m] = isf_count > 0 ? isf[g][m] / isf_count : NAN;
  }
  return v;
}

/// Time-averaged lags 1..n-1 of one trajectory, origins from `first_origin`.
inline std::vector<LagValues> reference_single(const std::vector<double>& x, const std::vector<double>& y,
                                               long first_origin) {
  const long n = static_cast<long>(x.size());
  std::vector<LagValues> lags;
  for (long lag = 1; lag < n; ++lag) {
    Sums sums;
    for (long a = first_origin; a + lag < n; ++a) add_if_valid(sums, x, y, a, a + lag);
    const double count = static_cast<double>(sums.n);
    lags.push_back(finish(sums.s1, sums.s2, sums.s3, sums.s4, count, sums.isf, count));
  }
  return lags;
}

/// Pooled lags over trajectories given as [first, last] entry ranges: pairs
/// (l, l + j) with l + j < last; moment sums pooled per trajectory, scattering
/// sums pair by pair. Returns lags 1..(largest last - first).
inline std::vector<LagValues> reference_pooled(const std::vector<double>& x, const std::vector<double>& y,
                                               const std::vector<std::pair<long, long>>& trajectories) {
  long lag_count = 0;
  for (const auto& [first, last] : trajectories) lag_count = std::max(lag_count, last - first);
  std::vector<LagValues> lags;
  for (long j = 1; j <= lag_count; ++j) {
    double s1 = 0, s2 = 0, s3 = 0, s4 = 0, count = 0;
    Sums all;  // scattering sums, pair by pair across trajectories
    for (const auto& [first, last] : trajectories) {
      if (j > last - first) continue;
      Sums one;
      for (long l = first; l + j < last; ++l) {
        if (add_if_valid(one, x, y, l, l + j)) {
          add_scattering_terms(all.isf, x[l + j] - x[l], y[l + j] - y[l]);
          all.n += 1;
        }
      }
      s1 += one.s1;
      s2 += one.s2;
      s3 += one.s3;
      s4 += one.s4;
      count += static_cast<double>(one.n);
    }
    lags.push_back(finish(s1, s2, s3, s4, count, all.isf, static_cast<double>(all.n)));
  }
  return lags;
}

}  // namespace msdisf::testing
