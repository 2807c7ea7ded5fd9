// Lag sums: what an analysis adds up before it divides. Every column of a
// result is a ratio of sums over pairs, and sums add, so the sums of shards
// of whole particles merge into the sums of all of them, and one small step
// (finish) turns any of them into the table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/analysis.h"

namespace msdisf {

/// One particle of a set of sums: a 64-bit key of its id and the id as the
/// user wrote it (for messages).
struct ParticleKey {
  std::uint64_t key = 0;
  std::string id;
  friend bool operator<(const ParticleKey& a, const ParticleKey& b) { return a.key < b.key; }
};

/// The key of a particle id as text: whole-numbered ids are keyed by their
/// decimal digits (so 5 and "5" are one particle), any other by its bytes.
std::uint64_t particle_key(std::string_view id);

/// Per-lag sums over the pairs of whole particles, in two dimensions. With
/// dx, dy a pair's displacement: s1 = sum (dx + dy), s2 = sum (dx^2 + dy^2),
/// s3 = sum (dx^3 + dy^3), s4 = sum (dx^4 + dy^4) (empty where no wanted
/// quantity needs them); cos_x[w][row] = sum cos(q_w dx), cos_y with dy,
/// cos_r with dx + dy, and the sin_ sums alike.
struct LagSums {
  /// What was summed; sums merge only when all of it is the same.
  PairRule estimator = PairRule::kAllPairs;
  Quantities quantities = {};
  std::vector<double> wave_numbers;
  std::vector<long> lag;  ///< in frames
  /// Time per frame and length per pixel the front end applied (0: none);
  /// a table of the sums gets a time column from dt.
  double dt = 0.0;
  double mpp = 0.0;
  /// The sums.
  std::vector<long> pairs;
  std::vector<double> s1, s2, s3, s4;
  std::vector<std::vector<double>> cos_x, cos_y, cos_r, sin_x, sin_y, sin_r;
  /// The particles summed, sorted by key: merging refuses sums that share one.
  std::vector<ParticleKey> particles;
  /// Where the sums come from (file names), for messages.
  std::vector<std::string> sources;

  std::size_t rows() const { return lag.size(); }
};

/// The sums of `data` under `options` (standard errors are not among them:
/// options.errors must be false). Lags that depend on the data (kAll,
/// kLogSpaced without a largest lag) are the lags of this data alone; give
/// a largest lag or a list so that sums of other data line up. `ids[i]`
/// names particle id i as the user wrote it (empty: the ids' digits).
LagSums lag_sums(const TrajectoryData& data, const AnalysisOptions& options, const std::vector<std::string>& ids = {});

/// The table of `sums`: the same columns, bit for bit, that analyse() gives
/// for the data the sums came from.
AnalysisResult finish(const LagSums& sums);

/// Adds `other` into `into`. Throws AnalysisError (kInvalidOptions) naming
/// the first difference when they are sums of different things (estimator,
/// quantities, wave numbers, lags, dt, mpp), and (kInvalidInput) naming a particle
/// and both sources when they share a particle.
void merge_into(LagSums& into, const LagSums& other);

}  // namespace msdisf
