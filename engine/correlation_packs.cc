#include "engine/correlation_packs.h"

#include <algorithm>

#include "engine/parallel.h"

namespace msdisf::detail {

std::vector<Pack> make_packs(const std::vector<Segment>& segments, long max_lag, long points,
                             const std::function<long(long)>& size_of) {
  std::vector<Pack> packs;
  const long count = static_cast<long>(segments.size());
  long first = 0;
  while (first < count) {
    long origins = 0, lag = 0, last = first;
    // Each segment takes its origins plus the pack's largest lag of slots.
    while (last < count) {
      const Segment& s = segments[static_cast<std::size_t>(last)];
      const long own_lag = std::min(max_lag, s.window - 1);
      const long needed = origins + s.origins + (last - first + 1) * std::max(lag, own_lag);
      if (last > first && (needed > points || s.subtracted != segments[static_cast<std::size_t>(first)].subtracted)) {
        break;
      }
      origins += s.origins;
      lag = std::max(lag, own_lag);
      ++last;
    }
    Pack pack{first, last - first, lag, 0, {}};
    long at = 0;
    for (long i = first; i < last; ++i) {
      pack.offsets.push_back(at);
      at += segments[static_cast<std::size_t>(i)].origins + lag;
    }
    // The last window may reach past its slot only up to the lag bound.
    const Segment& end = segments[static_cast<std::size_t>(last - 1)];
    at = std::max(at, pack.offsets.back() + end.window);
    pack.size = size_of(at);
    packs.push_back(std::move(pack));
    first = last;
  }
  return packs;
}

void run_in_order(long packs, int threads, long slots, const std::function<void(long, long)>& work,
                  const std::function<void(long, long)>& pool, const std::function<bool()>& stopped) {
  // Pack p may reuse a slot once pack p - slots is pooled: a thread takes a
  // new pack only after pooling its last one, in order, so with slots >=
  // threads every earlier holder of the slot is done. No round of packs
  // waits for its slowest member.
  slots = std::max(slots, 1L);
  threads = static_cast<int>(std::min<long>(threads, slots));
  if (!needs_team(packs > 1 ? threads : 1)) {
    // One pack or one thread at the top level: no region (see needs_team).
    for (long p = 0; p < packs; ++p) {
      if (!stopped()) work(p, p % slots);
      if (!stopped()) pool(p, p % slots);
    }
    return;
  }
#pragma omp parallel for ordered schedule(dynamic, 1) num_threads(threads) if (threads > 1 && packs > 1)
  for (long p = 0; p < packs; ++p) {
    const long slot = p % slots;
    if (!stopped()) work(p, slot);
#pragma omp ordered
    {
      if (!stopped()) pool(p, slot);
    }
  }
}

}  // namespace msdisf::detail
