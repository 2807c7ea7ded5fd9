// How an estimator computes its sums.
#pragma once

#include <functional>

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
  int threads = 0;   // 0: every processor
  long max_lag = 0;  // above 0: compute (and write) lags 1..max_lag only
  /// The all-origins estimator leaves msdcounter alone unless this is set.
  bool store_counts = false;
  /// Called on the calling thread between blocks of lags with the fraction of
  /// the pair work done so far (0 to 1); may be empty.
  std::function<void(double)> progress = {};
};

}  // namespace msdisf
