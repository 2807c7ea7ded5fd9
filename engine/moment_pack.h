// The correlations of one transform pack of the moment sums, and a bound
// on their error.
//
// For each window of the pack, u = x - c and v = y - c are taken from its
// own reference position c (the mean of its valid positions); the
// sequences of the layout are filled, transformed, multiplied term by term
// (moment_terms.h) and transformed back, and the mask terms of closed
// layouts come from prefix sums instead. The sums of lag L are those of
// every pair (a, a + L) in every window of the pack with a among the
// window's origins; each output's sums lie within its bound of the exact
// ones at every lag up to the pack's largest. Sums and bounds do not depend
// on the number of threads.
#pragma once

#include <vector>

#include "engine/correlation_packs.h"
#include "engine/fft_plans.h"
#include "engine/moment_terms.h"

namespace msdisf::detail {

/// A pack's sums and the bound of each output's error.
struct PackSums {
  ReusedArray<double> sums;  ///< [slot of the output * (max_lag + 1) + lag]
  double bound[kOutputs] = {};
};

/// Transform buffers of one thread, each grown as packs need. A buffer is
/// made no larger than asked: one made at the largest size seen would give
/// a short pack's extra buffers the size of a long one's.
class Workspace {
 public:
  /// Buffer `index`, of at least `spectrum` complex values.
  fftw_complex* buffer(int index, long spectrum);

 private:
  std::vector<FftBuffer> buffers_;
};

/// A pack, the windows it refers to and the layout of its outputs.
struct PackInput {
  const Pack& pack;
  const std::vector<Segment>& segments;
  const Layout& layout;
};

/// Forms the correlations of one pack and their bounds into `result`, on
/// `threads` threads with transforms planned in `cache`.
void correlate_pack(const PackInput& input, PlanCache& cache, int threads, Workspace& workspace, PackSums& result);

}  // namespace msdisf::detail
