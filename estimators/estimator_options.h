// How an estimator computes its sums.
#pragma once

namespace msdisf {

enum class Method {
  /// The plain pair kernel: 45 sine-and-cosine evaluations per pair, lags
  /// spread over threads. The reference for every printed value.
  kExact,
  /// Scattering sums by FFT correlation of phase factors, moment sums by the
  /// lane-per-lag kernel. Moments and counts are bit-identical to kExact;
  /// scattering values agree within 1e-9.
  kFast,
};

struct EstimatorOptions {
  Method method = Method::kFast;
  int threads = 0;  // 0: every processor
};

}  // namespace msdisf
