#include "engine/moment_windows.h"

#include <algorithm>
#include <cmath>

#include "engine/cost_model.h"
#include "engine/fft_plans.h"

namespace msdisf::detail {

namespace {

constexpr long kPackPoints = 1L << 15;   // packs of short windows share transforms of about this size
constexpr long kMostOriginsPerLag = 16;  // a window's origins are at most this many times its level's top lag

// Windows for lags up to `top`: a grid of at most (multiple + 1) * top
// entries is one window, all origins; a longer one is cut into windows of
// `multiple` * top origins, each reaching `top` entries past its origins.
// Longer windows spend fewer transform points per origin, (multiple + 1) /
// multiple, but their larger excursions fail the bound at more small lags.
//
// Windows cut from a grid may also be all origins (`shared`), which
// transforms each sequence once rather than twice: a pair within the `top`
// entries where two windows overlap is then in both, and the overlap is a
// window of its own whose sums are taken away.
std::vector<Segment> segments_for(std::span<const PaddedRange* const> grids, long top, long multiple, bool shared) {
  const long block = multiple * top;
  std::vector<Segment> segments;
  for (const PaddedRange* grid : grids) {
    const long length = grid->length();
    if (length < 2) continue;
    if (length <= block + top) {
      segments.push_back({grid, 0, length, length});
      continue;
    }
    for (long begin = 0; begin < length - 1; begin += block) {
      const long window = std::min(block + top, length - begin);
      segments.push_back({grid, begin, shared ? window : std::min(block, length - begin), window});
      const long overlap = std::min(top, length - begin);
      if (shared && begin > 0 && overlap >= 2) segments.push_back({grid, begin, overlap, overlap, true});
    }
  }
  std::stable_sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
    return a.subtracted != b.subtracted ? b.subtracted : a.window < b.window;
  });
  return segments;
}

// Whether windows cut from grids are shared: each then takes top more
// transform points, and its overlap 2 top, against half the transforms.
// Cheaper from windows of about four times top origins.
bool shared_windows(long multiple) { return multiple >= 4; }

bool without_gaps(const Segment& s) {
  if (s.grid->without_gaps()) return true;
  const long long* valid = s.grid->valid() + s.begin;
  return std::all_of(valid, valid + s.window, [](long long v) { return v != 0; });
}

// Per pack: whether every window in it is free of gaps.
std::vector<char> gap_free_packs(const std::vector<Pack>& packs, const std::vector<Segment>& segments) {
  std::vector<char> gap_free;
  for (const Pack& pack : packs) {
    const auto own = segments_of(pack, segments);
    gap_free.push_back(std::all_of(own.begin(), own.end(), without_gaps) ? 1 : 0);
  }
  return gap_free;
}

}  // namespace

Level plan_level(std::span<const PaddedRange* const> grids, long top, long multiple) {
  Level level;
  level.top = top;
  level.segments = segments_for(grids, top, multiple, shared_windows(multiple));
  level.packs = make_packs(level.segments, top, kPackPoints, real_fft_size);
  level.gap_free = gap_free_packs(level.packs, level.segments);
  for (const Segment& s : level.segments) level.widest = std::max(level.widest, s.window);
  return level;
}

// Where only the first two moments are asked for, few small lags fail in
// long windows; the higher moments fail at many more, so their windows
// start short.
long first_multiple(MomentNeeds needs) { return needs.s3 || needs.s4 ? 1 : kMostOriginsPerLag / 2; }

// The lags that fail are those below a share of the window (its excursions
// grow with the window, the displacements with the lag): windows of about
// 1 / (kMostOriginsPerLag * share) times the lag leave few failures.
long next_multiple(long failing_lag, long widest) {
  const double failing_share = static_cast<double>(failing_lag) / static_cast<double>(widest);
  return std::clamp(static_cast<long>(1.0 / (kMostOriginsPerLag * failing_share)) - 1, 1L, kMostOriginsPerLag);
}

std::span<const Segment> segments_of(const Pack& pack, const std::vector<Segment>& segments) {
  return std::span<const Segment>(segments).subspan(static_cast<std::size_t>(pack.first),
                                                    static_cast<std::size_t>(pack.count));
}

bool origins_only(const Pack& pack, const std::vector<Segment>& segments) {
  const auto own = segments_of(pack, segments);
  return std::all_of(own.begin(), own.end(), [](const Segment& s) { return s.origins == s.window; });
}

double pack_cost(const Pack& pack, const std::vector<Segment>& segments, const Layout& layout) {
  const bool shared = origins_only(pack, segments);
  const double n = static_cast<double>(pack.size);
  const double transforms = layout.transforms * (shared ? 1.0 : 2.0) + layout.inverses;
  return transforms * n * (kRealFftCost * std::log2(n) + kFillCost) + layout.outputs * n * kFillCost;
}

double level_cost(const Level& level, const Layouts& layouts) {
  double cost = 0.0;
  for (std::size_t p = 0; p < level.packs.size(); ++p) {
    cost += pack_cost(level.packs[p], level.segments, layouts.of(level.gap_free[p] != 0));
  }
  return cost;
}

double least_level_cost(const Layouts& layouts, double entries) {
  auto least = [&](const Layout& layout) {
    return ((layout.transforms + layout.inverses) * (kRealFftCost + kFillCost) + layout.outputs * kFillCost) * entries;
  };
  return std::min(least(layouts.masked), least(layouts.closed));
}

}  // namespace msdisf::detail
