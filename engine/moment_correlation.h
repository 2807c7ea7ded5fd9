// Pair counts and displacement moment sums of many frame grids from
// correlations, with every value inside a proven bound.
//
// Over the pairs (a, b) of one lag, sum (w_b - w_a)^k expands into
// correlations of the masked powers w^j with w^(k-j) and the mask, for
// w = x - c and y - c with c a reference position of the window. Each
// correlation is formed by FFT for all lags at once; its error is bounded
// (correlation_packs.h) by the norms of the sequences. Where windows have no
// gaps the mask's correlations are counts and stretches of prefix sums, so
// only the terms pairing two powers are transformed (the msd alone needs
// two forward transforms and one inverse). A lag's value is kept
// only where the bound is below kTransformShare * pairs * msd^(k/2) for every
// wanted moment; the bound is smallest where positions stay close to the
// reference, so lags that fail are tried again with shorter windows, each
// with its own reference, and the last few are summed pair by pair.
//
// The parts: the expansion into correlations (moment_terms.h), the windows
// of each level and their costs (moment_windows.h), one pack's correlations
// and bound (moment_pack.h), and the rows summed pair by pair
// (moment_direct.h).
#pragma once

#include <span>

#include "engine/fft_plans.h"
#include "engine/lag_sums.h"
#include "engine/moment_kernel.h"
#include "engine/run_control.h"

namespace msdisf::detail {

/// The moment sums a caller wants; counts are always formed, and s2 is
/// formed whenever any moment is (it sets the scale of the bound).
struct MomentNeeds {
  bool s1 = true;
  bool s2 = true;
  bool s3 = true;
  bool s4 = true;
  /// The second coordinate only marks validity (zero wherever the first is
  /// valid): its terms vanish and are not transformed, and every sum is
  /// the first coordinate's own.
  bool single_axis = false;
  bool any() const { return s1 || s2 || s3 || s4; }
};

struct CorrelationContext {
  PlanCache& plans;
  RunControl& control;
  int threads;
  /// Use the transforms wherever the bound allows, even where summing pair
  /// by pair would cost less (so that tests reach every path).
  bool prefer_transforms = false;
};

/// Adds the pooled counts and wanted moment sums of all grids at lags[r] to
/// row r of `out`. `out` may already hold exact sums of other particles
/// (they count towards the scale of the bound). The counts are exact; each
/// moment sum lies within kPromise * pairs * msd^(k/2) of the exact sum.
void correlate_moments(std::span<const PaddedRange* const> grids, std::span<const long> lags, MomentNeeds needs,
                       const SumsView& out, const CorrelationContext& context);

/// Rough work of correlate_moments in the units of RunControl (nanoseconds).
double moment_correlation_work(std::span<const PaddedRange* const> grids, std::span<const long> lags,
                               MomentNeeds needs);

}  // namespace msdisf::detail
