// Sizing the analysis state from an input file, for front ends without the
// driver's fixed capacity.
#pragma once

#include <string_view>

namespace msdisf {

enum class RecordLayout { kXYT, kTXY, kMulti };

/// An upper bound of the entries a reader stores for `text` (records plus gap
/// markers), at least 1. One trajectory: the frames from the first record's
/// to the largest, since every stored entry has its own frame; several
/// trajectories: twice the records, since each record brings at most one marker.
long entries_bound(std::string_view text, RecordLayout layout);


}  // namespace msdisf
