// Phase factors exp(i q w) of one direction (0: x, 1: y, 2: x + y) on a frame
// grid, and the sums of their products over the pairs of a lag.
#pragma once

#include <fftw3.h>

#include <span>
#include <vector>

#include "engine/moment_kernel.h"

namespace msdisf::detail {

/// The largest |u|, |v| and |u + v| over the valid records, (u, v) being the
/// position relative to the first valid record: what q multiplies into the
/// phases the correlations use.
double largest_excursion(const double* x, const double* y, long count);

/// The argument of direction d as the plain kernel forms it.
inline double plain_argument(int d, double dx, double dy, double q) {
  return d == 0 ? dx * q : d == 1 ? dy * q : q * (dx + dy);
}

/// The phase of direction d relative to (x0, y0).
inline double phase_of(int d, double q, double x, double y, double x0, double y0) {
  const double u = x - x0, v = y - y0;
  return d == 0 ? q * u : d == 1 ? q * v : q * (u + v);
}

/// z[0 .. grid length) = the phase factors of direction d at wave number q
/// relative to (x0, y0), zero at invalid entries; `phases` is scratch space.
void fill_phases(const PaddedRange& grid, int d, double q, double x0, double y0, fftw_complex* z,
                 std::vector<double>& phases);

/// out[k * stride] = |z[k]|^2 for k < n, on the widest vectors the processor
/// has (the same bits on all).
void squared_magnitudes(const fftw_complex* z, long n, double* out, long stride);

/// sum_a conj(z[a]) * z[a + lag] over z[0 .. length).
void direct_correlation(const fftw_complex* z, long length, long lag, double& re, double& im);

/// Adds the plain kernel's sums of cos and sin of direction d at wave number
/// q over the pairs of lags[r] to cos[r] and sin[r].
void plain_channel(const PaddedRange& grid, int d, double q, std::span<const long> lags, double* cos, double* sin);

}  // namespace msdisf::detail
