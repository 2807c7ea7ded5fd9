// Positions in a periodic box made continuous along each particle.
//
// Coordinates wrapped into a box of lengths L (one per axis) jump by about
// L where a particle crosses a side. Along each particle, in frame order,
// every step between consecutive records with a position is replaced by
// its minimum image, d - L round(d / L), and the positions are summed anew
// from the particle's first position. A step whose minimum image is longer
// than a quarter box along an axis may have crossed more than the image
// says (the trajectory is sampled too sparsely for its motion); such steps
// are counted and named in a note.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "engine/analysis.h"

namespace msdisf {

struct Unwrapped {
  /// Per axis present (x, y, z), each record's unwrapped coordinate (NaN
  /// stays NaN).
  std::vector<std::vector<double>> axis;
  /// Steps between consecutive positions, and those longer than a quarter box.
  long steps = 0;
  long long_steps = 0;
  std::vector<std::string> notes;
};

/// Unwraps the records in a box with one length per axis present. Throws
/// AnalysisError: kInvalidOptions for a box of another number of lengths or
/// one that is not positive; kInvalidInput, naming the record, its particle
/// and its frame, when the coordinates along an axis spread over more than
/// the box length: positions that are already unwrapped (or a box too small).
Unwrapped unwrap(const TrajectoryData& data, std::span<const double> box);

}  // namespace msdisf
