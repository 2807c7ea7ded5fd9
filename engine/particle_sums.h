// One particle's per-lag sums, by the cheapest path that keeps the
// guarantees: moments and counts bit-identical to the plain pair kernel,
// scattering within 1e-9 of it.
//
// Paths of the ordered method (Method::kOrdered):
// - dense: the records laid out on their frame grid (missing frames are
//   invalid entries); moments by the lane-per-lag kernel over the grid;
//   scattering sums as correlations of phase factors, by FFT for all lags at
//   once or directly for the requested lags, whichever costs less.
// - sparse: every pair of valid records whose frame difference is requested,
//   in origin order; costs follow the records, not the frame span.
// The exact method walks each requested lag's pairs with the plain kernel.
#pragma once

#include <cstdint>
#include <span>

#include "engine/fft_plans.h"
#include "engine/lag_sums.h"
#include "engine/method.h"
#include "engine/run_control.h"

namespace msdisf::detail {

/// One particle's records, sorted by frame.
struct ParticleRecords {
  const double* x;
  const double* y;
  const std::int64_t* frame;
  long count;
  long span() const { return count > 0 ? static_cast<long>(frame[count - 1] - frame[0]) : 0; }
};

struct SumsContext {
  std::span<const double> waves;
  Method method;
  PlanCache& plans;
  RunControl& control;
  /// Bytes of transform buffers that may be held once per thread; beyond
  /// them, channels go one at a time with every thread on each transform.
  double transform_budget;
  /// Phase factors are formed from positions relative to the particle's
  /// first one; a wave number whose phases q * u pass this limit is summed
  /// pair by pair with the plain kernel's own arguments. Below it, rounding
  /// of a phase stays below about limit * 2^-52: 2^19 keeps the ordered method
  /// within 1e-9, the correlation method uses kPhaseLimit (2^15,
  /// phase_correlation.h) for its 1e-10.
  double phase_limit = 524288.0;
};

/// What a particle's path will cost: work in rough nanoseconds (for progress
/// and path choice) and the working memory it needs beyond the result.
struct ParticleCost {
  double work = 0.0;
  double bytes = 0.0;
  bool dense = false;
};

/// `lags` are the requested lags up to the particle's span (ascending).
ParticleCost particle_cost(const ParticleRecords& records, std::span<const long> lags, int waves, Method method,
                           int threads, double transform_budget);

/// Adds the particle's sums of lags[r] to row r of `out` for every r: the
/// moment rows must start at zero (they receive the particle's own sums);
/// scattering terms are added to whatever the scattering rows hold, in pair
/// order on the plain path. Reports its work through context.control.
/// The particle's pairs one by one (the sparse path), added to `out` whatever it holds.
void add_pair_sums(const ParticleRecords& records, std::span<const long> lags, const SumsContext& context,
                   const SumsView& out);

void add_particle_sums(const ParticleRecords& records, std::span<const long> lags, const SumsContext& context,
                       const SumsView& out, int threads);

}  // namespace msdisf::detail
