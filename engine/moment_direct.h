// The moment rows summed pair by pair: those no level of transforms forms
// within the bound, and all of them when that costs less than a level.
//
// Rows are indices into the ascending requested lags. A caller's pending
// rows come in increasing order, as a vector or, before the first level, as
// AllRows. Their sums are bit for bit the plain kernel's (moment_kernel.h).
#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "engine/cost_model.h"
#include "engine/lag_sums.h"
#include "engine/moment_correlation.h"

namespace msdisf::detail {

/// Rows 0..count-1, as a list of rows that is never built.
struct AllRows {
  long count;
  bool empty() const { return count == 0; }
  std::size_t size() const { return static_cast<std::size_t>(count); }
  long operator[](std::size_t i) const { return static_cast<long>(i); }
  long back() const { return count - 1; }
};

/// The rows whose lag some grid can have.
AllRows rows_with_pairs(std::span<const PaddedRange* const> grids, std::span<const long> lags);

/// How many of the rows of `pending` have a lag that a grid of `length`
/// entries can have: a prefix, since the rows increase.
template <class Rows>
long rows_within(const Rows& pending, std::span<const long> lags, long length) {
  long low = 0, high = static_cast<long>(pending.size());
  while (low < high) {
    const long middle = low + (high - low) / 2;
    if (lags[static_cast<std::size_t>(pending[static_cast<std::size_t>(middle)])] <= length - 1) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

/// The cost of summing the pending rows directly, or a partial sum above
/// `limit` once it passes it: callers only compare it with `limit`, and the
/// smallest lags, which cost most, come first.
template <class Rows>
double direct_cost(std::span<const PaddedRange* const> grids, std::span<const long> lags, const Rows& pending,
                   double limit) {
  double cost = 0.0;
  for (const PaddedRange* grid : grids) {
    const long within = rows_within(pending, lags, grid->length());
    for (long i = 0; i < within; ++i) {
      cost += kLaneCost * static_cast<double>(grid->length() -
                                              lags[static_cast<std::size_t>(pending[static_cast<std::size_t>(i)])]);
      if (cost > limit) return cost;
    }
  }
  return cost;
}

/// Adds the sums of the pending rows over every grid, pair by pair, to
/// `out`: counts to the pairs, and each moment column `out` has.
void direct_rows(std::span<const PaddedRange* const> grids, std::span<const long> lags,
                 const std::vector<long>& pending, const SumsView& out, const CorrelationContext& context);

}  // namespace msdisf::detail
