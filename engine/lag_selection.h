// Turning a lag request into the sorted list of lags that get a row.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/analysis.h"

namespace msdisf::detail {

/// The lags of `request`, sorted and distinct, given the longest frame span of
/// any particle. kAll and kUpTo stop at the longest span (no later lag can have
/// a pair); kList keeps every listed lag. Throws AnalysisError
/// (kInvalidOptions) for a lag, maximum or count below 1.
std::vector<long> select_lags(const LagRequest& request, long longest_span);

/// Whether every lag that `request` can give a row lies on a grid of `step`
/// frames: listed lags are multiples of it, and a largest lag is at least it.
bool fits_grid(const LagRequest& request, std::int64_t step);

/// The request in steps of a grid of `step` frames that it fits: largest
/// lags divided by it (rounded down), listed lags too.
LagRequest lags_on_grid(const LagRequest& request, std::int64_t step);

/// The lags of `lags` (ascending) up to `span`: those a particle whose
/// records span `span` frames can have.
inline std::span<const long> lags_within(std::span<const long> lags, long span) {
  return lags.first(static_cast<std::size_t>(std::upper_bound(lags.begin(), lags.end(), span) - lags.begin()));
}

/// `count` distinct integers from 1 to `max_lag`, as evenly spaced on a log
/// scale as distinct integers allow; 1..max_lag when count >= max_lag.
std::vector<long> log_spaced_lags(long count, long max_lag);

}  // namespace msdisf::detail
