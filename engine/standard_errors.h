// Standard errors of the per-lag means from the spread of independent groups
// of pairs (see StandardErrors in analysis.h for the rules).
#pragma once

#include <vector>

#include "engine/analysis.h"
#include "engine/particle_set.h"
#include "engine/run_control.h"

namespace msdisf::detail {

/// At least this many particles with pairs at a lag make them the groups.
inline constexpr long kParticleGroups = 20;
/// Windows of origins are at least this many lags long. Squared
/// displacements of diffusive motion from origins k frames apart correlate
/// like (1 - k/lag)^2, and windows w long then underestimate the variance
/// by about lag/(4w): 6 % at 4 lags, 3 % in the standard error.
inline constexpr long kWindowLags = 4;
/// Windows are doubled only while at least this many remain.
inline constexpr long kPlateauGroups = 16;

/// Rough work of add_standard_errors, in the engine's nanoseconds.
double standard_error_work(const ParticleSet& set, const std::vector<long>& lags, int waves, const Quantities& wanted);

/// Working memory of add_standard_errors beyond the result, in bytes.
double standard_error_bytes(const ParticleSet& set, std::size_t rows, int threads);

/// Fills result.errors for the wanted msd, ngp, alpha2, scattering and fs
/// columns (alpha2 and fs of two dimensions). Call
/// it on finalised means, before unwanted columns are dropped: the means
/// serve as reference points, so that the group sums do not cancel.
void add_standard_errors(const ParticleSet& set, AnalysisResult& result, RunControl& control, int threads);

}  // namespace msdisf::detail
