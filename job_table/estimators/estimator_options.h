// How a job-table estimator runs the engine.
#pragma once

#include <functional>

#include "engine/method.h"

namespace msdisf {

struct EstimatorOptions {
  Method method = Method::kOrdered;
  int threads = 0;   // 0: every processor
  long max_lag = 0;  // above 0: compute (and write) lags 1..max_lag only
  /// Whether the single-trajectory estimators write intermediate tables at
  /// their progress lags (the job table's way; msdisf writes once at the end).
  bool intermediate_tables = true;
  /// The all-origins estimator leaves msdcounter alone unless this is set.
  bool store_counts = false;
  /// Called on the calling thread with the fraction of the work done so far
  /// (0 to 1); may be empty.
  std::function<void(double)> progress = {};
};

}  // namespace msdisf
