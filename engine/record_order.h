// The records of each particle in frame order, as indices into the input,
// for the position corrections that follow a particle step by step.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/analysis.h"

namespace msdisf::detail {

/// Indices of the records sorted by particle, then frame (input order among
/// equal keys). Throws AnalysisError (kInvalidInput) when the spans of
/// `data` have different lengths.
std::vector<std::size_t> particle_frame_order(const TrajectoryData& data);

/// The particle id of record i (0 when the data has no particle ids).
inline std::int64_t particle_of(const TrajectoryData& data, std::size_t i) {
  return data.particle.empty() ? 0 : data.particle[i];
}

/// The coordinate spans of `data` (x, then y and z where present).
std::vector<std::span<const double>> axes_of(const TrajectoryData& data);

}  // namespace msdisf::detail
