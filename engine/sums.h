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

/// What the standard errors of a table need, in sums that add across shards:
/// per lag, over the particles with pairs at it (particle i with n_i pairs
/// and sums S_i of a column's terms), the particle count, sum n_i^2, and per
/// error column sum S_i^2 and sum S_i n_i. Columns: 0 the squared
/// displacements (msd), 1 their fourth powers (mqd, for the ngp), then the
/// cos terms of direction d (x, y, x + y) at wave w at 2 + d * waves + w.
struct ErrorSums {
  std::vector<double> groups;               ///< a whole number per row
  std::vector<double> nn;
  std::vector<std::vector<double>> ss, sn;  ///< [column][row]
  std::vector<double> s2s4;                 ///< sum S_i(msd) S_i(mqd), for the ngp

  /// Whether these sums hold nothing (no standard errors were asked for).
  bool empty() const { return ss.empty(); }
};

/// Per-lag sums over the pairs of whole particles, in one, two or three
/// dimensions. With d_a a pair's displacement along axis a: s_k = sum over
/// pairs of sum over axes of d_a^k for k = 1..4 (empty where no wanted
/// quantity needs them); axis_s_k[a] the same of axis a alone (formed
/// unless the data are two-dimensional, where s_k is summed pair by pair
/// over both axes at once); cos_x[w][row] = sum cos(q_w dx), cos_y and cos_z
/// along y and z (where present), cos_r along the sum of the axes (none in
/// one dimension), and the sin_ sums alike.
struct LagSums {
  /// What was summed; sums merge only when all of it is the same.
  PairRule estimator = PairRule::kAllPairs;
  Quantities quantities = {};
  int dimensions = 2;
  std::vector<double> wave_numbers;
  std::vector<long> lag;  ///< in frames
  /// Time per frame and length per pixel the front end applied (0: none);
  /// a table of the sums gets a time column from dt.
  double dt = 0.0;
  double mpp = 0.0;
  /// The sums.
  std::vector<long> pairs;
  std::vector<double> s1, s2, s3, s4;
  std::vector<std::vector<double>> axis_s1, axis_s2, axis_s3, axis_s4;  ///< [axis][row]
  /// sum |dr|^4 = sum (sum over axes of d_a^2)^2, for alpha2; empty unless wanted.
  std::vector<double> r4;
  /// fs[w][row]: the weighted sums over directions of the cos sums along
  /// each direction (see isotropic.h), NaN where the directions do not
  /// serve the lag's displacements; empty unless wanted.
  std::vector<std::vector<double>> fs;
  std::vector<std::vector<double>> cos_x, cos_y, cos_z, cos_r, sin_x, sin_y, sin_z, sin_r;
  /// With standard errors (two dimensions only); empty otherwise.
  ErrorSums errors;
  /// The particles summed, sorted by key: merging refuses sums that share one.
  std::vector<ParticleKey> particles;
  /// Where the sums come from (file names), for messages.
  std::vector<std::string> sources;
  /// What the run that formed them should tell the user (not kept in files).
  std::vector<std::string> notes;

  std::size_t rows() const { return lag.size(); }
};

/// Which moment sums a set of quantities needs: s1..s4 (summed over the
/// axes), each axis's own (always outside two dimensions), and sum |dr|^4.
struct NeededSums {
  bool s1 = false, s2 = false, s3 = false, s4 = false;
  bool per_axis = false;
  bool r4 = false;
};
NeededSums needed_sums(const Quantities& wanted, int dimensions);

/// The sums of `data` under `options`; with options.errors also what the
/// standard errors of particle groups need (two dimensions only). A table
/// finished from sums has errors only at lags where at least 20 particles
/// have pairs (windows of origins inside particles do not add across
/// shards); elsewhere they are NaN. Lags that depend on the data (kAll,
/// kLogSpaced without a largest lag) are the lags of this data alone; give
/// a largest lag or a list so that sums of other data line up. `ids[i]`
/// names particle id i as the user wrote it (empty: the ids' digits).
LagSums lag_sums(const TrajectoryData& data, const AnalysisOptions& options, const std::vector<std::string>& ids = {});

/// The table of `sums`: the same columns, bit for bit, that analyse() gives
/// for the data the sums came from.
AnalysisResult finish(const LagSums& sums);
/// The same, taking the sums' columns over instead of copying them.
AnalysisResult finish(LagSums&& sums);

/// Adds `other` into `into`. Throws AnalysisError (kInvalidOptions) naming
/// the first difference when they are sums of different things (estimator,
/// quantities, wave numbers, lags, dt, mpp), and (kInvalidInput) naming a particle
/// and both sources when they share a particle.
void merge_into(LagSums& into, const LagSums& other);

}  // namespace msdisf
