// Thread counts for the parallel estimators.
#pragma once

#include <omp.h>

namespace msdisf::detail {

/// `requested` when positive; otherwise every processor OpenMP may use.
inline int thread_count(int requested) { return requested > 0 ? requested : omp_get_max_threads(); }

}  // namespace msdisf::detail
