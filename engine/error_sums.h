// The group sums behind standard errors that add across shards: every
// particle's own sums at each lag, folded into sums of squares and products
// (ErrorSums in sums.h), and the errors of particle groups formed from them.
#pragma once

#include <span>

#include "engine/particle_set.h"
#include "engine/run_control.h"
#include "engine/sums.h"

namespace msdisf::detail {

/// The error sums of every particle of `set` at `lags` for the wanted
/// columns, folded in particle order (the same bits on any threads).
ErrorSums error_sums(const ParticleSet& set, std::span<const long> lags, std::span<const double> waves,
                     const Quantities& wanted, RunControl& control, int threads);

/// The standard errors of `result`'s finished means from `sums`: the spread
/// of the particles' own means around the pooled one, weighted by their pair
/// counts, where at least kParticleGroups particles have pairs; NaN
/// elsewhere.
StandardErrors errors_from_sums(const ErrorSums& sums, const AnalysisResult& result);

/// into += from, column by column.
void add_error_sums(ErrorSums& into, const ErrorSums& from);

}  // namespace msdisf::detail
