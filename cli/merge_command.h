// msdisf merge: the pooled table (or pooled sums) of sums files written by
// msdisf --sums from shards of whole particles.
#pragma once

#include "job_table/state/console.h"

namespace msdisf {

/// argv[0] is "merge". Returns 0 on success, 1 when a file cannot be read or
/// the output cannot be written, 2 for an unusable command line, 3 for sums
/// that are not whole sums files or cannot be merged (nothing is written).
int run_merge(int argc, const char* const* argv, Console& console);

}  // namespace msdisf
