// Packing windows into shared transform arrays: every pair a pack forms
// belongs to one window, and windows whose sums are taken away never share
// an array with those whose sums are added. Running packs in order: a lone
// pack runs outside any parallel region at the top level, and as thread 0
// inside another team.
#include "engine/correlation_packs.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <vector>

#include "engine/fft_plans.h"

namespace msdisf::detail {
namespace {

TEST(Packs, HoldEachWindowsPairsApartAndNeverMixSubtractedWindows) {
  auto windows = [](std::vector<long> lengths, std::vector<bool> subtracted, long reach) {
    std::vector<Segment> list;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      const long origins = subtracted[i] ? lengths[i] : lengths[i] - reach;
      list.push_back({nullptr, 0, origins > 0 ? origins : lengths[i], lengths[i], subtracted[i]});
    }
    return list;
  };
  struct Case {
    const char* name;
    std::vector<Segment> segments;
    long max_lag;
  };
  const Case cases[] = {
      {"many short, all added", windows(std::vector<long>(40, 300), std::vector<bool>(40, false), 0), 299},
      {"cut windows, then their overlaps",
       windows({5500, 5500, 5500, 5500, 323, 323, 323}, {false, false, false, false, true, true, true}, 323), 323},
      {"kinds alternating", windows({900, 50, 900, 50, 900}, {false, true, false, true, false}, 40), 49},
      {"one longer than a pack", windows({100, 70000, 100}, {false, false, false}, 0), 99},
  };
  for (const Case& c : cases) {
    const std::vector<Pack> packs = make_packs(c.segments, c.max_lag, 1L << 15, real_fft_size);
    long next = 0;
    for (const Pack& pack : packs) {
      ASSERT_EQ(pack.first, next) << c.name;
      next = pack.first + pack.count;
      ASSERT_LE(pack.max_lag, c.max_lag) << c.name;
      for (long i = 0; i < pack.count; ++i) {
        const Segment& s = c.segments[static_cast<std::size_t>(pack.first + i)];
        const long at = pack.offsets[static_cast<std::size_t>(i)];
        EXPECT_EQ(s.subtracted, c.segments[static_cast<std::size_t>(pack.first)].subtracted) << c.name;
        EXPECT_GE(pack.max_lag, std::min(c.max_lag, s.window - 1)) << c.name;
        // A pair of a formed lag never reaches the next window, nor wraps
        // around the array's end; the window's own entries fit before both.
        const long reach = at + s.origins + pack.max_lag;
        const bool last = i + 1 == pack.count;
        const long limit = last ? pack.size : pack.offsets[static_cast<std::size_t>(i) + 1];
        EXPECT_LE(reach, limit) << c.name << " window " << i;
        EXPECT_LE(at + s.window, limit) << c.name << " window " << i;
      }
    }
    EXPECT_EQ(next, static_cast<long>(c.segments.size())) << c.name;
  }
}

TEST(RunInOrder, ALonePackOpensNoRegionAtTheTopAndIsThreadZeroInsideATeam) {
  // At the top level the work must see level 0, so that its own regions
  // reuse the top-level threads; inside a team, the work indexes per-thread
  // buffers by omp_get_thread_num() and must see 0 whichever thread runs it.
  auto levels_and_threads = [](long packs, int threads) {
    std::vector<std::pair<int, int>> seen(static_cast<std::size_t>(packs));
    run_in_order(
        packs, threads, 4,
        [&](long p, long) {
          seen[static_cast<std::size_t>(p)] = {omp_get_level(), omp_get_thread_num()};
        },
        [](long, long) {}, [] { return false; });
    return seen;
  };
  for (const long packs : {1L, 3L}) {
    for (const auto& [level, thread] : levels_and_threads(packs, 1)) {
      EXPECT_EQ(level, 0) << packs << " packs on one thread";
      EXPECT_EQ(thread, 0);
    }
  }
  std::vector<std::pair<int, int>> inside[2];
#pragma omp parallel num_threads(2)
  inside[omp_get_thread_num()] = levels_and_threads(1, 2);
  for (const auto& team_thread : inside) {
    ASSERT_EQ(team_thread.size(), 1U);
    EXPECT_EQ(team_thread[0].second, 0) << "a lone pack inside a team";
  }
}

}  // namespace
}  // namespace msdisf::detail
