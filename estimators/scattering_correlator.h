// Scattering sums of every lag at once, by correlation of phase factors.
//
// For a direction v (x, y or x + y) and wave number q, the sum over valid
// pairs (a, a + L) of exp(i q (v[a+L] - v[a])) equals sum_a conj(z[a]) z[a+L]
// with z[a] = exp(i q v[a]) at valid entries and 0 at gap markers: its real
// part is the cosine sum and its imaginary part the sine sum. Zero-padded to
// at least twice the range, one forward and one backward FFT give all lags.
// The same correlation of the 0/1 validity mask gives the pair counts.
//
// FFT roundoff is about eps * log2(P) * (valid entries) in absolute terms for
// every lag; divided by a lag's pair count it would grow for the last lags,
// which have few pairs. Those lags are summed directly from the phase factors
// instead, so every mean stays far inside 1e-9 of the pairwise arithmetic.
#pragma once

#include "estimators/pair_kernel.h"

namespace msdisf {

/// Adds, for lags 1..max_lag of the pairs (a, a + L) with 0 <= a, a + L < length,
/// the cosine and sine sums into target's six matrices at column
/// target.column + L - 1 (target.column is the column of lag 1). When `counts`
/// is not null, counts[L - 1] receives the lag's valid-pair count.
void add_scattering_by_correlation(const double* x, const double* y, long length, long max_lag,
                                   const ScatteringTarget& target, double* counts, int threads);

/// The smallest size >= n whose prime factors are all 2, 3, 5 or 7.
long fft_size(long n);

}  // namespace msdisf
