#include "engine/moment_correlation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

#include "engine/correlation_packs.h"
#include "engine/huge_pages.h"
#include "engine/moment_direct.h"
#include "engine/moment_pack.h"
#include "engine/moment_terms.h"
#include "engine/moment_windows.h"
#include "engine/parallel.h"

namespace msdisf::detail {

namespace {

using Bounds = std::array<double, kOutputs>;

// A count formed by transforms, within a quarter of a whole number, as
// that number: counts per lag are far below 2^52, where adding and taking
// away 2^52 rounds to the nearest whole number without a call to libm.
double rounded_count(double value) { return (value + 0x1p52) - 0x1p52; }

// m^(k/2) for the moment orders k = 1..4, without a call to pow per row.
double half_power(double m, int k) {
  const double root = std::sqrt(m);
  return k == 1 ? root : k == 2 ? m : k == 3 ? m * root : m * m;
}

// The grids, shortest first.
std::vector<const PaddedRange*> shortest_first(std::span<const PaddedRange* const> grids) {
  std::vector<const PaddedRange*> sorted(grids.begin(), grids.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const PaddedRange* a, const PaddedRange* b) { return a->length() < b->length(); });
  return sorted;
}

// The entries of all grids.
double total_entries(std::span<const PaddedRange* const> grids) {
  double entries = 0.0;
  for (const PaddedRange* grid : grids) entries += static_cast<double>(grid->length());
  return entries;
}

// What every level of one call shares.
struct LevelRun {
  const Layouts& layouts;
  std::span<const long> lags;
  const SumsView& out;
  std::vector<Workspace>& workspaces;  // one per thread
  const CorrelationContext& context;
};

// A level's correlations: the sums of lags 0..top of all its packs, and
// each pack's bound with the largest lag it forms.
struct LevelSums {
  std::vector<PackSums> results;  // per slot
  std::vector<double> pooled;     // the packs' sums pooled in pack order, when there are several
  bool single = false;            // one pack, whose sums are the level's
  std::vector<std::pair<long, Bounds>> pack_bounds;

  const double* sums() const { return single ? results[0].sums.data() : pooled.data(); }
};

// Correlates every pack of the level and pools their sums. A few packs of
// long windows go one at a time, each transform on every thread; many
// packs one pack per thread.
LevelSums correlate_level(const Level& level, const LevelRun& run) {
  const CorrelationContext& context = run.context;
  const long width = level.top + 1;
  const Layout& layout = run.layouts.masked;  // slots are the same in both
  const bool wide = static_cast<long>(level.packs.size()) < 2L * context.threads;
  const int pack_threads = wide ? 1 : context.threads;
  const long slots = wide ? 1 : 4L * context.threads;
  LevelSums sums;
  sums.results.resize(static_cast<std::size_t>(slots));
  sums.single = level.packs.size() == 1;
  if (!sums.single) assign_huge(sums.pooled, static_cast<std::size_t>(layout.outputs * width), 0.0);
  run_in_order(
      static_cast<long>(level.packs.size()), pack_threads, slots,
      [&](long p, long slot) {
        context.control.guarded([&] {
          const Pack& pack = level.packs[static_cast<std::size_t>(p)];
          Workspace& workspace = run.workspaces[static_cast<std::size_t>(wide ? 0 : omp_get_thread_num())];
          const Layout& own = run.layouts.of(level.gap_free[static_cast<std::size_t>(p)] != 0);
          correlate_pack({pack, level.segments, own}, context.plans, wide ? context.threads : 1, workspace,
                         sums.results[static_cast<std::size_t>(slot)]);
          context.control.advance(pack_cost(pack, level.segments, own));
        });
      },
      [&](long p, long slot) {
        const Pack& pack = level.packs[static_cast<std::size_t>(p)];
        const PackSums& own = sums.results[static_cast<std::size_t>(slot)];
        Bounds bound{};
        std::copy(std::begin(own.bound), std::end(own.bound), bound.begin());
        sums.pack_bounds.emplace_back(pack.max_lag, bound);
        if (sums.single) return;
        const long own_width = pack.max_lag + 1;
        const bool subtracted = level.segments[static_cast<std::size_t>(pack.first)].subtracted;
        for (int o = 0; o < layout.outputs; ++o) {
          double* target = sums.pooled.data() + o * width;
          const double* source = own.sums.data() + o * own_width;
          if (subtracted) {
            for (long lag = 0; lag < own_width; ++lag) target[lag] -= source[lag];
          } else {
            for (long lag = 0; lag < own_width; ++lag) target[lag] += source[lag];
          }
        }
      },
      [&] { return context.control.stopped(); });
  return sums;
}

// The bound of each lag: the summed bounds of the packs forming it, those
// whose largest lag is at least its own.
class LagBounds {
 public:
  explicit LagBounds(std::vector<std::pair<long, Bounds>> pack_bounds) : pack_bounds_(std::move(pack_bounds)) {
    // from_[i]: the summed bounds of the packs i.. in order of their
    // largest lag.
    std::sort(pack_bounds_.begin(), pack_bounds_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    from_.assign(pack_bounds_.size() + 1, Bounds{});
    for (std::size_t i = pack_bounds_.size(); i-- > 0;) {
      for (int o = 0; o < kOutputs; ++o) from_[i][o] = from_[i + 1][o] + pack_bounds_[i].second[o];
    }
  }

  // The first pack forming `lag`, from `first` on: for lags in increasing
  // order it only moves on.
  std::size_t first_forming(long lag, std::size_t first) const {
    while (first < pack_bounds_.size() && pack_bounds_[first].first < lag) ++first;
    return first;
  }
  const Bounds& from(std::size_t first) const { return from_[first]; }

 private:
  std::vector<std::pair<long, Bounds>> pack_bounds_;
  std::vector<Bounds> from_;
};

// Whether the moment sums of `row` from the transforms, with `pairs` pairs,
// hold the bound: every wanted moment's bound at most kTransformShare *
// pairs * msd^(k/2). The scale is a lower bound of the mean squared
// displacement, with the exact sums the row already holds from other
// particles.
bool moments_hold(const Layout& layout, const Bounds& bound, double pairs, double s2, long row, const SumsView& out) {
  const double total_pairs = pairs + static_cast<double>(out.pairs[row]);
  const double least_s2 = s2 - bound[kSum2] + out.s2[row];
  bool keep = least_s2 > 0.0;
  const double msd = least_s2 / total_pairs;
  for (int o = kSum1; o < kOutputs && keep; ++o) {
    if (!layout.output[o]) continue;
    keep = bound[o] <= kTransformShare * total_pairs * half_power(msd, order_of(static_cast<Output>(o)));
  }
  return keep;
}

// Checks the pending rows [first, last) against the level's bounds: adds
// the sums of those that hold them to `out` and appends the others to
// `failed`, in order.
void check_rows(const Level& level, const LevelSums& sums, const LagBounds& bounds, std::span<const long> rows,
                const LevelRun& run, std::vector<long>& failed) {
  const Layout& layout = run.layouts.masked;
  const SumsView& out = run.out;
  const long width = level.top + 1;
  double* moment_out[kOutputs] = {nullptr, out.s1, out.s2, out.s3, out.s4};
  std::size_t first_forming = 0;
  for (const long row : rows) {
    const long lag = run.lags[static_cast<std::size_t>(row)];
    auto value = [&](int o) { return sums.sums()[static_cast<std::size_t>(layout.slot[o] * width + lag)]; };
    first_forming = bounds.first_forming(lag, first_forming);
    const Bounds& bound = bounds.from(first_forming);
    bool keep = lag <= level.top && bound[kCount] < 0.25;
    const double pairs = keep ? rounded_count(value(kCount)) : 0.0;
    if (keep && pairs > 0.0 && layout.output[kSum2]) keep = moments_hold(layout, bound, pairs, value(kSum2), row, out);
    if (!keep) {
      failed.push_back(row);
      continue;
    }
    out.pairs[row] += static_cast<long>(pairs);
    if (pairs == 0.0) continue;  // no pair: every sum is exactly zero
    for (int o = kSum1; o < kOutputs; ++o) {
      if (layout.output[o]) moment_out[o][row] = moment_out[o][row] + value(o);
    }
  }
}

// Forms one level's correlations and keeps the pending rows whose bound
// holds; returns how many it kept. The rows are checked in chunks on all
// threads; each chunk keeps its failures, in order.
long run_level(const Level& level, std::vector<long>& pending, const LevelRun& run) {
  const LevelSums sums = correlate_level(level, run);
  if (run.context.control.stopped()) return 0;
  const LagBounds bounds(sums.pack_bounds);
  constexpr long kRowChunk = 1L << 15;
  const long count = static_cast<long>(pending.size());
  const long chunks = (count + kRowChunk - 1) / kRowChunk;
  std::vector<std::vector<long>> failed(static_cast<std::size_t>(chunks));
  for_items(chunks, run.context.threads, [&](long chunk) {
    const long first = chunk * kRowChunk, last = std::min(count, (chunk + 1) * kRowChunk);
    const std::span<const long> rows(pending.data() + first, static_cast<std::size_t>(last - first));
    check_rows(level, sums, bounds, rows, run, failed[static_cast<std::size_t>(chunk)]);
  });
  std::vector<long> still;
  for (const auto& chunk : failed) still.insert(still.end(), chunk.begin(), chunk.end());
  const long kept = count - static_cast<long>(still.size());
  pending.swap(still);
  return kept;
}

// Moves the pending rows whose lags windows of `multiple` times them could
// not hold within windows of at most `widest` entries to `direct`.
void send_direct(long multiple, long widest, std::span<const long> lags, std::vector<long>& pending,
                 std::vector<long>& direct) {
  while (!pending.empty() && 2 * (multiple + 1) * lags[static_cast<std::size_t>(pending.back())] > widest) {
    direct.push_back(pending.back());
    pending.pop_back();
  }
}

}  // namespace

void correlate_moments(std::span<const PaddedRange* const> grids, std::span<const long> lags, MomentNeeds needs,
                       const SumsView& out, const CorrelationContext& context) {
  const auto all_rows = rows_with_pairs(grids, lags);
  if (all_rows.empty()) return;
  // Advised for huge pages: on virtual machines a vector grown to millions
  // of rows spends most of its time in page faults.
  std::vector<long> pending;
  assign_huge(pending, all_rows.size(), 0L);
  std::iota(pending.begin(), pending.end(), 0L);
  const std::vector<const PaddedRange*> sorted = shortest_first(grids);
  const Layouts layouts(needs);
  std::vector<Workspace> workspaces(static_cast<std::size_t>(context.threads));
  const LevelRun run{layouts, lags, out, workspaces, context};
  const double least_cost = least_level_cost(layouts, total_entries(sorted));
  // Each level uses windows about as long as the largest lag still open:
  // lags that fail the bound are those whose displacements are small next
  // to the window's excursions, and shorter windows have smaller ones.
  // Later levels choose their windows from the failures seen.
  std::vector<long> direct;
  long multiple = first_multiple(needs);
  while (!pending.empty() && !context.control.stopped()) {
    const long top = lags[static_cast<std::size_t>(pending.back())];
    if (!context.prefer_transforms && direct_cost(sorted, lags, pending, least_cost) <= least_cost) break;
    const Level level = plan_level(sorted, top, multiple);
    const double transforms = level_cost(level, layouts);
    if (!context.prefer_transforms && direct_cost(sorted, lags, pending, transforms) <= transforms) break;
    const long kept = run_level(level, pending, run);
    if (kept == 0) break;  // no lag holds the bound in windows this long
    // A failed lag fails again in windows about as long as this level's,
    // and shorter windows cannot hold lags near the top: those are summed
    // directly. The next windows are made long enough for few failures.
    send_direct(1, level.widest, lags, pending, direct);
    if (pending.empty()) break;
    multiple = next_multiple(lags[static_cast<std::size_t>(pending.back())], level.widest);
    send_direct(multiple, level.widest, lags, pending, direct);
  }
  direct.insert(direct.end(), pending.begin(), pending.end());
  std::sort(direct.begin(), direct.end());
  if (!direct.empty() && !context.control.stopped()) direct_rows(sorted, lags, direct, out, context);
}

double moment_correlation_work(std::span<const PaddedRange* const> grids, std::span<const long> lags,
                               MomentNeeds needs) {
  const auto pending = rows_with_pairs(grids, lags);
  if (pending.empty()) return 0.0;
  const Layouts layouts(needs);
  const double least = least_level_cost(layouts, total_entries(grids));
  const double direct = direct_cost(grids, lags, pending, least);
  if (direct <= least) return direct;
  const Level level = plan_level(grids, lags[static_cast<std::size_t>(pending.back())], first_multiple(needs));
  // About three levels when the transforms win.
  const double levels = 3.0 * level_cost(level, layouts);
  return std::min(direct_cost(grids, lags, pending, levels), levels);
}

}  // namespace msdisf::detail
