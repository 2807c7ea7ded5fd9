#include "engine/phase_channels.h"

#include <algorithm>
#include <cmath>

#include "engine/phase_sincos.h"

namespace msdisf::detail {

namespace {

bool valid_at(const double* x, const double* y, long i) { return !std::isnan(x[i]) && !std::isnan(y[i]); }

}  // namespace

double largest_excursion(const double* x, const double* y, long count) {
  double x0 = NAN, y0 = NAN, largest = 0.0;
  for (long i = 0; i < count; ++i) {
    if (!valid_at(x, y, i)) continue;
    if (std::isnan(x0)) {
      x0 = x[i];
      y0 = y[i];
    }
    const double u = x[i] - x0, v = y[i] - y0;
    largest = std::max({largest, std::fabs(u), std::fabs(v), std::fabs(u + v)});
  }
  return largest;
}

namespace {

// phases[a] = the phase of entry a, 0 where it is invalid; one loop per
// direction so that each vectorises.
template <int kDirection>
void phases_of_direction(const PaddedRange& grid, double q, double x0, double y0, double* phases) {
  const double* x = grid.x();
  const double* y = grid.y();
  const long long* valid = grid.valid();
  for (long a = 0; a < grid.length(); ++a) {
    const double u = x[a] - x0, v = y[a] - y0;
    const double phase = kDirection == 0 ? q * u : kDirection == 1 ? q * v : q * (u + v);
    phases[a] = valid[a] != 0 ? phase : 0.0;
  }
}

}  // namespace

void fill_phases(const PaddedRange& grid, int d, double q, double x0, double y0, fftw_complex* z,
                 std::vector<double>& phases) {
  const long length = grid.length();
  phases.resize(static_cast<std::size_t>(length));
  if (d == 0) phases_of_direction<0>(grid, q, x0, y0, phases.data());
  if (d == 1) phases_of_direction<1>(grid, q, x0, y0, phases.data());
  if (d == 2) phases_of_direction<2>(grid, q, x0, y0, phases.data());
  phase_sincos(phases.data(), length, &z[0][0]);
  const long long* valid = grid.valid();
  double* out = &z[0][0];
  for (long a = 0; a < length; ++a) {
    const double keep = valid[a] != 0 ? 1.0 : 0.0;
    out[2 * a] *= keep;
    out[2 * a + 1] *= keep;
  }
}

namespace {

[[gnu::always_inline]] inline void squares_body(const double* z, long n, double* out, long stride) {
  if (stride == 1) {
    for (long k = 0; k < n; ++k) out[k] = z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1];
  } else {
    for (long k = 0; k < n; ++k) out[k * stride] = z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1];
  }
}
__attribute__((target("avx512f"))) void squares_avx512(const double* z, long n, double* out, long stride) {
  squares_body(z, n, out, stride);
}
__attribute__((target("avx2"))) void squares_avx2(const double* z, long n, double* out, long stride) {
  squares_body(z, n, out, stride);
}
void squares_baseline(const double* z, long n, double* out, long stride) { squares_body(z, n, out, stride); }

}  // namespace

void squared_magnitudes(const fftw_complex* z, long n, double* out, long stride) {
  static const auto squares = __builtin_cpu_supports("avx512f") ? squares_avx512
                              : __builtin_cpu_supports("avx2")  ? squares_avx2
                                                                : squares_baseline;
  squares(&z[0][0], n, out, stride);
}

void direct_correlation(const fftw_complex* z, long length, long lag, double& re, double& im) {
  re = 0.0;
  im = 0.0;
  for (long a = 0; a + lag < length; ++a) {
    re += z[a][0] * z[a + lag][0] + z[a][1] * z[a + lag][1];
    im += z[a][0] * z[a + lag][1] - z[a][1] * z[a + lag][0];
  }
}

void plain_channel(const PaddedRange& grid, int d, double q, std::span<const long> lags, double* cos, double* sin) {
  const long length = grid.length();
  const double* x = grid.x();
  const double* y = grid.y();
  const long long* valid = grid.valid();
  for (std::size_t row = 0; row < lags.size(); ++row) {
    const long lag = lags[row];
    double c = 0.0, s = 0.0;
    for (long a = 0; a + lag < length; ++a) {
      if (valid[a] == 0 || valid[a + lag] == 0) continue;
      double sine = 0.0, cosine = 0.0;
      ::sincos(plain_argument(d, x[a + lag] - x[a], y[a + lag] - y[a], q), &sine, &cosine);
      c += cosine;
      s += sine;
    }
    cos[row] += c;
    sin[row] += s;
  }
}

}  // namespace msdisf::detail
