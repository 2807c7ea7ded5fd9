// Scattering sums of many frame grids: correlations of phase factors, many
// short grids sharing one transform, each mean within kPromise of the exact.
//
// Phase factors are taken relative to each grid's first position. The FFT
// error of a lag's sum is at most fft_error_factor(n) * 2 * (valid entries)
// (two channels share each inverse transform); a lag takes the transform's
// value only where that, summed over the packs, is below kTransformShare
// times its pooled pair count, and is summed directly elsewhere. A grid
// whose phases at some wave number pass kPhaseLimit is summed pair by pair
// with the plain kernel's arguments for that wave number: beyond it the
// rounding of the phases themselves would approach the promise.
#pragma once

#include <memory>
#include <span>

#include "engine/lag_sums.h"
#include "engine/moment_correlation.h"

namespace msdisf::detail {

/// The largest phase q * u of a grid whose factors are formed: below it, the
/// rounding of a phase (relative error 2u from the shift and the product)
/// and of its sine and cosine stays under 1e-11 per factor.
inline constexpr double kPhaseLimit = 32768.0;

/// The grids laid out in transform packs for the given lags (which it
/// refers to): made once, for the work estimate and for the sums.
class PhaseLayout {
 public:
  PhaseLayout(std::span<const PaddedRange* const> grids, std::span<const long> lags);
  ~PhaseLayout();
  PhaseLayout(const PhaseLayout&) = delete;
  PhaseLayout& operator=(const PhaseLayout&) = delete;

  struct Parts;
  const Parts& parts() const { return *parts_; }

 private:
  std::unique_ptr<Parts> parts_;
};

/// Adds the pooled sums of cos and sin at lags[r] of every grid, direction
/// and wave number to row r of `out`. `pairs[r]` is row r's pooled pair
/// count over all particles.
void correlate_phases(const PhaseLayout& layout, std::span<const double> waves, std::span<const long> pairs,
                      const SumsView& out, const CorrelationContext& context, double transform_budget);

/// Rough work of correlate_phases in the units of RunControl (nanoseconds).
double phase_correlation_work(const PhaseLayout& layout, int waves);

}  // namespace msdisf::detail
