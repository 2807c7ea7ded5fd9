// The windows of the moment correlations, level by level, and what a level
// costs.
//
// A level forms every lag up to its top lag from windows cut from the
// grids, each with its own reference position, laid side by side in
// transform packs (correlation_packs.h). Longer windows spend fewer
// transform points per origin but have larger excursions from their
// reference, which fail the bound at more small lags: the first level's
// windows are a few times its top lag long, and each later level's length
// is chosen from the lags that failed the one before. Costs are in the
// units of RunControl (cost_model.h).
#pragma once

#include <span>
#include <vector>

#include "engine/correlation_packs.h"
#include "engine/moment_terms.h"

namespace msdisf::detail {

/// One level: its windows, packed, and which packs are free of gaps.
struct Level {
  long top = 0;                   ///< the largest lag formed
  long widest = 0;                ///< the longest window
  std::vector<Segment> segments;  ///< the windows, shortest first
  std::vector<Pack> packs;
  std::vector<char> gap_free;  ///< per pack: whether every window in it is free of gaps
};

/// The level of lags up to `top` over `grids`, in windows of `multiple`
/// times `top` origins.
Level plan_level(std::span<const PaddedRange* const> grids, long top, long multiple);

/// The first level's windows, in multiples of its top lag.
long first_multiple(MomentNeeds needs);

/// The next level's windows, in multiples of its top lag, when the largest
/// lag still failing is `failing_lag` in windows of at most `widest` entries.
long next_multiple(long failing_lag, long widest);

/// The windows of `pack`.
std::span<const Segment> segments_of(const Pack& pack, const std::vector<Segment>& segments);

/// Whether every window of the pack is all origins, so that its origin and
/// end sequences are the same.
bool origins_only(const Pack& pack, const std::vector<Segment>& segments);

/// Work of one pack: its transforms and, on every window entry, the fills
/// and prefix sums.
double pack_cost(const Pack& pack, const std::vector<Segment>& segments, const Layout& layout);

/// Work of a whole level.
double level_cost(const Level& level, const Layouts& layouts);

/// A lower bound of any level's work over grids of `entries` entries in
/// all: each entry is transformed at least once per sequence (for lag 1 of
/// a long grid, one level has one window per entry).
double least_level_cost(const Layouts& layouts, double entries);

}  // namespace msdisf::detail
