// Correlations of many frame grids through shared transforms, with a proven
// bound on what the FFT may get wrong.
//
// A segment is a window of one grid whose first `origins` entries may start a
// pair. Segments are laid side by side in one transform array ("pack"), each
// followed by enough zeros that no pair of lag <= the pack's largest lag can
// reach the next segment, and the array is long enough that the circular
// correlation is the plain one: the correlation of a pack at lag L is the sum
// over its segments of each segment's own.
//
// Error bound. For real or complex sequences f and g, every entry of the
// correlation IFFT(conj(FFT f) * FFT g) / n computed in floating point lies
// within u * (kFftErrorGrowth * log2(n) + kFftErrorFloor) * |f|_2 * |g|_2 of
// the exact one (u = 2^-53):
// - each forward transform has a normwise relative error of at most
//   eta * log2(n), eta = mu + gamma_4 (sqrt 2 + mu) < 7u for accurate
//   twiddle factors; through the product and the inverse transform this
//   moves each entry by at most eta * log2(n) * |f| |g| (Cauchy-Schwarz on
//   the spectra, |F|_2 = sqrt(n) |f|_2);
// - the inverse transform of P errs in each entry by at most
//   c * u * log2(n) * |P|_1 with c <= 5 (each output depends on disjoint
//   cones of inputs, stage by stage), and |P|_1 / n <= |f| |g|;
// - forming the products and their linear combinations adds a few u.
// 2 * 7 + 5 = 19 is rounded up to 24, which also covers transforms of mixed
// radix; the floor covers the products.
#pragma once

#include <cmath>
#include <functional>
#include <vector>

#include "engine/moment_kernel.h"

namespace msdisf::detail {

inline constexpr double kUnitRoundoff = 0x1p-53;
inline constexpr double kFftErrorGrowth = 24.0;
inline constexpr double kFftErrorFloor = 8.0;

/// The factor of |f|_2 |g|_2 that bounds the error of one correlation entry
/// computed by transforms of size n.
inline double fft_error_factor(long n) {
  return kUnitRoundoff * (kFftErrorGrowth * std::log2(static_cast<double>(std::max(n, 2L))) + kFftErrorFloor);
}

/// The accuracy promised for each mean: moments within kPromise * msd^(k/2)
/// of the exact k-th moment, scattering means within kPromise. Half of it is
/// allowed to the transforms; the rest covers every other rounding.
inline constexpr double kPromise = 1e-10;
inline constexpr double kTransformShare = 0.5 * kPromise;

struct Segment {
  const PaddedRange* grid;
  long begin;    ///< the window's first entry
  long origins;  ///< entries [begin, begin + origins) may start a pair
  long window;   ///< entries [begin, begin + window) may end one
  /// Its pairs are also those of two other windows, which count them twice:
  /// its sums are taken away once. Packs hold one kind or the other.
  bool subtracted = false;
};

struct Pack {
  long first;  ///< segments [first, first + count) of the list packed
  long count;
  long max_lag;               ///< lags 0..max_lag are formed
  long size;                  ///< transform size
  std::vector<long> offsets;  ///< where each segment starts in the array
};

/// Packs consecutive segments (best sorted by size) into arrays of about
/// `points` entries or one segment each when larger; lags up to `max_lag`.
/// `size_of` turns a needed length into a transform size.
std::vector<Pack> make_packs(const std::vector<Segment>& segments, long max_lag, long points,
                             const std::function<long(long)>& size_of);

/// Runs work(pack, slot) for every pack on `threads` threads (at most
/// `slots`) and pool(pack, slot) once the pack is done, one pack at a time
/// in pack order; slot < slots names the caller's buffer for the pack.
/// Stops early once `stopped()` says so.
void run_in_order(long packs, int threads, long slots, const std::function<void(long, long)>& work,
                  const std::function<void(long, long)>& pool, const std::function<bool()>& stopped);

}  // namespace msdisf::detail
