#include "engine/isotropic.h"

#include <cmath>
#include <algorithm>
#include <limits>
#include <numbers>

namespace msdisf::detail {

namespace {

// log of the two-dimensional bound for M directions at z.
double log_bound_2d(long m, double z) {
  if (z <= 0.0) return -1e300;
  const double n = 2.0 * static_cast<double>(m);
  return std::log(2.2) + n * std::log(z / 2.0) - std::lgamma(n + 1.0);
}

// The three-dimensional bound for degree L at z: 2 sum over even l > L of
// (2l + 1) z^l / (2l + 1)!!, the terms summed until they are negligible.
double bound_3d(long degree, double z) {
  if (z <= 0.0) return 0.0;
  double total = 0.0;
  long l = degree + 1 + (degree + 1) % 2;  // the first even l above L
  for (int terms = 0; terms < 400; ++terms, l += 2) {
    // log((2l+1)!!) = lgamma(2l+2) - l log 2 - lgamma(l+1)
    const double ld = static_cast<double>(l);
    const double log_term = std::log(2.0 * ld + 1.0) + ld * std::log(z) -
                            (std::lgamma(2.0 * ld + 2.0) - ld * std::log(2.0) - std::lgamma(ld + 1.0));
    const double term = std::exp(log_term);
    total += term;
    if (term < total * 1e-17 && ld > z) break;
  }
  return 2.0 * total;
}

// Gauss-Legendre nodes and weights on [-1, 1], by Newton's method.
void gauss_legendre(long n, std::vector<double>& nodes, std::vector<double>& weights) {
  nodes.assign(static_cast<std::size_t>(n), 0.0);
  weights = nodes;
  for (long i = 0; i < n; ++i) {
    double x = std::cos(std::numbers::pi * (static_cast<double>(i) + 0.75) / (static_cast<double>(n) + 0.5));
    double derivative = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      double p0 = 1.0, p1 = x;
      for (long k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / static_cast<double>(k);
        p0 = p1, p1 = p2;
      }
      if (n == 1) p1 = x, p0 = 1.0;
      derivative = static_cast<double>(n) * (x * p1 - p0) / (x * x - 1.0);
      const double step = p1 / derivative;
      x -= step;
      if (std::fabs(step) < 1e-16) break;
    }
    nodes[static_cast<std::size_t>(i)] = x;
    weights[static_cast<std::size_t>(i)] = 2.0 / ((1.0 - x * x) * derivative * derivative);
  }
}

std::vector<Direction> planar(long m) {
  std::vector<Direction> set;
  const long step = kFinestCount / m;
  for (long k = 0; k < m; ++k) {
    const long key = k * step;
    const double angle = std::numbers::pi * static_cast<double>(key) / static_cast<double>(kFinestCount);
    set.push_back({{std::cos(angle), std::sin(angle), 0.0}, 1.0 / static_cast<double>(m), key});
  }
  return set;
}

std::vector<Direction> spherical(long degree) {
  const long n_mu = (degree + 2) / 2;    // exact to degree 2 n_mu - 1 >= L
  const long n_phi = 2 * (degree / 2 + 1);  // even, exact for |m| < n_phi, > L
  std::vector<double> mu, w;
  gauss_legendre(n_mu, mu, w);
  std::vector<Direction> set;
  // Sets of different degrees share no direction: keys start at degree * 2^24.
  long key = degree << 24;
  for (std::size_t i = 0; i < mu.size(); ++i) {
    const double s = std::sqrt(std::max(0.0, 1.0 - mu[i] * mu[i]));
    for (long j = 0; j < n_phi; ++j) {
      const double phi = 2.0 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(n_phi);
      // Of each antipodal pair (mu, phi) and (-mu, phi + pi), keep mu > 0,
      // and at mu = 0 the half phi < pi.
      const bool upper = mu[i] > 1e-15 || (std::fabs(mu[i]) <= 1e-15 && j < n_phi / 2);
      if (!upper) continue;
      const double weight = w[i] / (2.0 * static_cast<double>(n_phi)) * 2.0;
      set.push_back({{s * std::cos(phi), s * std::sin(phi), mu[i]}, weight, key++});
    }
  }
  return set;
}

bool holds(int dimensions, long order, double z, double tolerance) {
  if (dimensions == 2) return log_bound_2d(order, z) <= std::log(std::min(tolerance, 0.1));
  return bound_3d(order, z) <= tolerance;
}

// The largest z the set of `order` serves, by bisection (the bounds grow with z).
double reach_of(int dimensions, long order, double tolerance) {
  double low = 0.0, high = 1.0;
  while (holds(dimensions, order, high, tolerance) && high < 1e12) low = high, high *= 2.0;
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (low + high);
    (holds(dimensions, order, mid, tolerance) ? low : high) = mid;
  }
  return low;
}

DirectionSet set_of(int dimensions, long order, double tolerance) {
  return {dimensions == 2 ? planar(order) : spherical(order), order, reach_of(dimensions, order, tolerance)};
}

}  // namespace

DirectionSet isotropic_directions(int dimensions, double reach, double tolerance, std::size_t most) {
  if (dimensions == 1) return {{{{1.0, 0.0, 0.0}, 1.0, 0}}, 1, std::numeric_limits<double>::infinity()};
  long last = dimensions == 2 ? 1 : 0;
  if (dimensions == 2) {
    for (long m = 1; m <= kFinestCount && static_cast<std::size_t>(m) <= most; m *= 2) {
      last = m;
      if (holds(2, m, reach, tolerance)) break;
    }
    return set_of(2, last, tolerance);
  }
  for (long degree = 0; degree < 4000; degree += 2) {
    if (spherical(degree).size() > most) break;
    last = degree;
    if (holds(3, degree, reach, tolerance)) break;
  }
  return set_of(3, last, tolerance);
}

}  // namespace msdisf::detail
