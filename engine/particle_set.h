// The records grouped by particle and sorted by frame inside each particle.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/analysis.h"

namespace msdisf::detail {

/// Records begin..end-1 of the sorted arrays, all of one particle.
struct ParticleRange {
  long begin;
  long end;
  long records() const { return end - begin; }
};

/// Frames may be as large as this in magnitude, so that every frame
/// difference fits in 64 bits.
inline constexpr std::int64_t kFrameLimit = std::int64_t{1} << 62;

class ParticleSet {
 public:
  /// Validates and groups the records, then applies the pair rule: kWindow
  /// drops each particle's first record, kPerTrajectory its last. Particles
  /// left with fewer than two records are dropped. Throws AnalysisError
  /// (kInvalidInput) naming the records of a repeated (particle, frame), an
  /// infinite coordinate, a frame beyond kFrameLimit or spans of different
  /// lengths. Rows already sorted by particle and frame are used in place.
  ///
  ParticleSet(const TrajectoryData& data, PairRule rule);

  /// The same particles and frames with other coordinates as x and y
  /// (one entry per record of this set, in its order); this set must
  /// outlive it.
  ParticleSet on_axes(std::span<const double> x, std::span<const double> y) const;

  /// The axes of the records (1, 2 or 3); y() holds zeros in one
  /// dimension.
  int dimensions() const { return dimensions_; }
  std::span<const double> x() const { return x_; }
  std::span<const double> y() const { return y_; }
  /// Empty unless there are three dimensions.
  std::span<const double> z() const { return z_; }
  std::span<const std::int64_t> frame() const { return frame_; }
  const std::vector<ParticleRange>& particles() const { return particles_; }
  /// The particle id of each of particles().
  const std::vector<std::int64_t>& ids() const { return ids_; }
  /// Every particle id of the records, ascending, whether or not its
  /// particle kept two records.
  const std::vector<std::int64_t>& all_ids() const { return all_ids_; }

  long span(const ParticleRange& p) const {
    return static_cast<long>(frame_[static_cast<std::size_t>(p.end - 1)] - frame_[static_cast<std::size_t>(p.begin)]);
  }
  /// The largest frame difference within any particle (0 without particles).
  long longest_span() const;
  /// The largest k such that every frame difference inside a particle is a
  /// multiple of k (frames sampled every k steps); 1 when there is none.
  std::int64_t grid_step() const { return grid_step_; }
  /// Counts frames on the grid of grid_step(): frame() then holds them
  /// divided by it (per particle, so that differences divide exactly), and
  /// stride() is grid_step().
  void count_frames_on_grid();
  /// The frames one step of frame() stands for.
  std::int64_t stride() const { return stride_; }

 private:
  ParticleSet() = default;
  void sort_into_own_arrays(const TrajectoryData& data);

  int dimensions_ = 2;
  std::vector<double> own_x_, own_y_, own_z_;
  std::vector<std::int64_t> own_frame_;
  std::span<const double> x_, y_, z_;
  std::span<const std::int64_t> frame_;
  std::vector<ParticleRange> particles_;
  std::vector<std::int64_t> ids_;
  std::vector<std::int64_t> all_ids_;
  std::int64_t grid_step_ = 1;
  std::int64_t stride_ = 1;
};

}  // namespace msdisf::detail
