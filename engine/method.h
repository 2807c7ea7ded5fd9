// How the engine forms its sums.
#pragma once

namespace msdisf {

enum class Method {
  /// The plain pair kernel: every pair's moments and sine and cosine terms,
  /// summed in origin order. The reference for every value.
  kExact,
  /// Moments by the lane-per-lag kernel, bit-identical to kExact (this is
  /// what keeps printed digits of the job tables), scattering sums by
  /// correlation of phase factors (within 1e-9 of kExact).
  kOrdered,
  /// Every sum from correlations computed by FFT, used only where a proven
  /// bound keeps it within 1e-10: each moment <w^k> within 1e-10 * msd^(k/2)
  /// of the exact one, each scattering mean within 1e-10. Counts are exact.
  /// Lags the bound does not cover are summed pair by pair.
  kFast,
};

}  // namespace msdisf
