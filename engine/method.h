// How the engine forms its sums.
#pragma once

namespace msdisf {

enum class Method {
  /// The plain pair kernel: every pair's moments and sine and cosine terms,
  /// summed in origin order. The reference for every value.
  kExact,
  /// Moments by the lane-per-lag kernel (bit-identical to kExact), scattering
  /// sums by correlation of phase factors (within 1e-9 of kExact).
  kFast,
};

}  // namespace msdisf
