// The ensemble drift of a set of trajectories, and positions with it taken
// out.
//
// Between each two consecutive frames of the data (consecutive among the
// distinct frames any record has), the drift step along each axis is the
// mean displacement of the particles with a position in both frames; the
// drift at a frame is the sum of the steps up to it, 0 at the first frame.
// A frame step that no particle spans adds nothing (the drift is held
// across it). Subtracting the drift takes the common motion of the field
// (a flowing medium, a moving stage) out of every displacement.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/analysis.h"

namespace msdisf {

struct Drift {
  /// Every distinct frame of the records, ascending.
  std::vector<std::int64_t> frame;
  /// Per axis present (x, y, z), the drift at each of `frame`.
  std::vector<std::vector<double>> axis;
  /// Frame steps without a particle in both frames.
  long steps_without_particles = 0;
  /// Things a front end should tell the user.
  std::vector<std::string> notes;
};

/// The drift of the records in one, two or three dimensions. Records with a
/// NaN coordinate take no part. Throws AnalysisError: kInvalidInput for
/// spans of different lengths, kInvalidOptions when all records are of one
/// particle (its drift would be its whole motion).
Drift ensemble_drift(const TrajectoryData& data);

/// Each record's coordinates minus the drift at its frame, one vector per
/// axis present; `drift` must be ensemble_drift(data).
std::vector<std::vector<double>> without_drift(const TrajectoryData& data, const Drift& drift);

}  // namespace msdisf
