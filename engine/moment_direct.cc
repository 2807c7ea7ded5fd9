#include "engine/moment_direct.h"

#include "engine/correlation_packs.h"
#include "engine/lag_selection.h"

namespace msdisf::detail {

namespace {

// Where each chunk of grids starts, and where the last ends: short grids go
// in chunks, so that each work item is worth its scheduling.
std::vector<long> grid_chunks(std::span<const PaddedRange* const> grids, std::size_t rows) {
  constexpr double kChunkWork = 2e5;  // pairs and lags
  const long count = static_cast<long>(grids.size());
  std::vector<long> first_of_chunk = {0};
  double chunk_work = 0.0;
  for (long g = 0; g < count; ++g) {
    const double length = static_cast<double>(grids[static_cast<std::size_t>(g)]->length());
    chunk_work += length * std::min(length, static_cast<double>(rows));
    if (chunk_work >= kChunkWork || g + 1 == count) {
      first_of_chunk.push_back(g + 1);
      chunk_work = 0.0;
    }
  }
  return first_of_chunk;
}

// The valid pairs (a, a + lag) of a grid, for rows that want no moment.
double valid_pairs(const PaddedRange& grid, long lag) {
  const long long* valid = grid.valid();
  long count = 0;
  for (long a = 0; a + lag < grid.length(); ++a) count += (valid[a] & valid[a + lag]) != 0 ? 1 : 0;
  return static_cast<double>(count);
}

}  // namespace

AllRows rows_with_pairs(std::span<const PaddedRange* const> grids, std::span<const long> lags) {
  long longest = 0;
  for (const PaddedRange* grid : grids) longest = std::max(longest, grid->length() - 1);
  return {static_cast<long>(lags_within(lags, longest).size())};
}

void direct_rows(std::span<const PaddedRange* const> grids, std::span<const long> lags,
                 const std::vector<long>& pending, const SumsView& out, const CorrelationContext& context) {
  const long count = static_cast<long>(grids.size());
  const int inner = count == 1 ? context.threads : 1;
  const std::vector<long> first_of_chunk = grid_chunks(grids, pending.size());
  const long chunks = static_cast<long>(first_of_chunk.size()) - 1;
  const long slots = 4L * context.threads;
  // Without moment columns only the counts are formed.
  const bool counts_only = out.s1 == nullptr && out.s2 == nullptr && out.s3 == nullptr && out.s4 == nullptr;
  // Per slot: each grid's sums of its rows, one grid after another.
  std::vector<std::vector<LagMoments>> sums(static_cast<std::size_t>(slots));
  auto rows_of = [&](long g) { return rows_within(pending, lags, grids[static_cast<std::size_t>(g)]->length()); };
  auto grids_of = [&](long c) {
    return std::pair(first_of_chunk[static_cast<std::size_t>(c)], first_of_chunk[static_cast<std::size_t>(c) + 1]);
  };
  run_in_order(
      chunks, chunks == 1 ? 1 : context.threads, slots,
      [&](long c, long slot) {
        context.control.guarded([&] {
          auto& moments = sums[static_cast<std::size_t>(slot)];
          moments.clear();
          double work = 0.0;
          thread_local std::vector<long> own_lags;
          const auto [first, last] = grids_of(c);
          for (long g = first; g < last; ++g) {
            const PaddedRange& grid = *grids[static_cast<std::size_t>(g)];
            own_lags.clear();
            const long within = rows_of(g);
            for (long i = 0; i < within; ++i) own_lags.push_back(lags[static_cast<std::size_t>(pending[i])]);
            const std::size_t at = moments.size();
            moments.resize(at + own_lags.size(), LagMoments{});
            if (counts_only) {
              for (std::size_t i = 0; i < own_lags.size(); ++i) moments[at + i].pairs = valid_pairs(grid, own_lags[i]);
            } else {
              lag_moment_sums_for(grid, own_lags.data(), static_cast<long>(own_lags.size()), moments.data() + at,
                                  inner);
            }
            for (const long lag : own_lags) work += kLaneCost * static_cast<double>(grid.length() - lag);
          }
          context.control.advance(work);
        });
      },
      [&](long c, long slot) {
        const auto& moments = sums[static_cast<std::size_t>(slot)];
        std::size_t at = 0;
        const auto [first, last] = grids_of(c);
        for (long g = first; g < last; ++g) {
          const long within = rows_of(g);
          for (long i = 0; i < within; ++i, ++at) {
            const long row = pending[static_cast<std::size_t>(i)];
            const LagMoments& m = moments[at];
            add_moment(out.s1, row, m.s1);
            add_moment(out.s2, row, m.s2);
            add_moment(out.s3, row, m.s3);
            add_moment(out.s4, row, m.s4);
            out.pairs[row] += static_cast<long>(m.pairs);
          }
        }
      },
      [&] { return context.control.stopped(); });
}

}  // namespace msdisf::detail
