// Thread counts, teams and shared loops of the parallel estimators.
#pragma once

#include <omp.h>

namespace msdisf::detail {

/// `requested` when positive; otherwise every processor OpenMP may use.
inline int thread_count(int requested) { return requested > 0 ? requested : omp_get_max_threads(); }

/// Whether work for `threads` threads needs a team of its own. One thread at
/// the top level gets none, not even an inactive one: inside it every region
/// of the work would be nested, and libgomp starts new threads for each
/// nested team where a top-level team reuses its own. Inside another team a
/// team of one is kept, so that omp_get_thread_num() is 0 and the work's
/// loops are not shared with the outer team.
inline bool needs_team(int threads) { return threads > 1 || omp_in_parallel(); }

/// Runs body(item) for items 0..count-1 on `threads` threads, each item on
/// one thread, in no set order. With one thread the items run in order on
/// the calling thread outside any parallel region, so that loops shared
/// inside an item bind to a team of their own (an inactive region around
/// them would make them share this loop's team).
template <class Body>
void for_items(long count, int threads, Body&& body) {
  if (threads > 1 && count > 1) {
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
    for (long item = 0; item < count; ++item) body(item);
  } else {
    for (long item = 0; item < count; ++item) body(item);
  }
}

/// Runs body() once on each thread of a team of `threads` where one is
/// needed, otherwise once on the calling thread.
template <class Body>
void on_team(int threads, Body&& body) {
  if (needs_team(threads)) {
#pragma omp parallel num_threads(threads)
    body();
  } else {
    body();
  }
}

}  // namespace msdisf::detail
