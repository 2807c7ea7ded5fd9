// The analysis engine: per-lag displacement statistics and intermediate
// scattering functions of any set of trajectories in one, two or three
// dimensions.
//
// What goes in: one record per row, x, y (none in one dimension), z (in
// three), an integer frame number and an optional particle id, in any row
// order. A NaN coordinate marks a missing position; the record keeps its
// frame but forms no pair.
//
// What comes out: one row per requested lag (in frames), with the pair count,
// the displacement moments summed over the axes and the scattering means
// along each axis and along the sum of the axes (x + y, or x + y + z).
// A pair (a, b) of one particle has lag frame_b - frame_a; a missing frame
// never shifts a lag. Each lag's sums are divided by its pooled pair count.
//
// The engine never prints, and two analyses may run at once: what one call
// leaves behind is only a process-wide store of FFT plans and transform
// buffers (bounded; see fft_plans.h), shared under a lock and reused by later
// calls. Progress and cancellation go through callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/method.h"

namespace msdisf {

/// Which pairs of one particle's records are averaged.
enum class PairRule {
  /// Every pair (a, b) with frame_a < frame_b, whether or not b is the
  /// particle's last record.
  kAllPairs,
  /// A particle's first record is never an origin (and so never an end).
  kWindow,
  /// A particle's last record is never an end (and so never an origin).
  kPerTrajectory,
};

/// Which lags get a row. Lags are counted in frames.
struct LagRequest {
  enum class Kind { kAll, kUpTo, kList, kLogSpaced };
  Kind kind = Kind::kAll;
  long max_lag = 0;             ///< kUpTo: the largest lag; kLogSpaced: the largest, 0 for the longest span
  long count = 0;               ///< kLogSpaced: how many lags
  std::vector<long> lags = {};  ///< kList: the lags (sorted and made distinct by the engine)

  /// Lags 1 to the longest span of any particle.
  static LagRequest all() { return {}; }
  /// Lags 1 to min(max_lag, longest span).
  static LagRequest up_to(long max_lag) { return {Kind::kUpTo, max_lag, 0, {}}; }
  /// Exactly these lags, each with a row even if no pair has it.
  static LagRequest list(std::vector<long> lags) { return {Kind::kList, 0, 0, std::move(lags)}; }
  /// `count` distinct integers from 1 to max_lag (0: the longest span), spaced
  /// evenly on a log scale; all of 1..max_lag when count >= max_lag.
  static LagRequest log_spaced(long count, long max_lag = 0) { return {Kind::kLogSpaced, max_lag, count, {}}; }
};

/// Read-only views of the records; all spans have one entry per record
/// (`particle` may be empty: every record then belongs to one particle).
/// `y` empty: one dimension; `z` given: three.
struct TrajectoryData {
  std::span<const double> x;
  std::span<const double> y;
  std::span<const std::int64_t> frame;
  std::span<const std::int64_t> particle;
  std::span<const double> z = {};

  int dimensions() const { return y.empty() ? 1 : z.empty() ? 2 : 3; }
};

/// Which quantities get a column. The others are left empty, and what only
/// they need is not computed.
struct Quantities {
  bool msd = true;
  bool mqd = true;
  bool ngp = true;
  bool skewness = true;
  bool md = true;
  bool mcd = true;
  /// The cos and sin columns of every wave number.
  bool scattering = true;
  /// Per-axis columns, and those formed from them (see AnalysisResult).
  bool msd_axes = false;
  bool mean_axes = false;
  bool msd_centered = false;
  bool alpha2 = false;
  /// The isotropic self scattering function of every wave number.
  bool fs = false;

  /// Whether any column needs each axis's sums on their own.
  bool per_axis() const { return msd_axes || mean_axes || msd_centered || alpha2 || fs; }
};

struct AnalysisOptions {
  PairRule pairs = PairRule::kAllPairs;
  LagRequest lags = LagRequest::all();
  /// Wave numbers q: the scattering columns hold the means of cos(q*dx) and
  /// sin(q*dx). There is no factor 2*pi: pass 2*pi/lambda for a wavelength
  /// lambda. Empty: q = 1/s for the 15 default length scales s.
  std::vector<double> wave_numbers = {};
  Method method = Method::kFast;
  Quantities quantities = {};
  /// Standard errors of the msd, ngp and scattering cos columns that are
  /// wanted (see StandardErrors). They cost one pass over the records per
  /// requested lag and wave number; without them nothing extra is computed.
  bool errors = false;
  /// One row per particle and lag at which the particle has pairs, instead
  /// of one pooled row per lag; AnalysisResult::particle names each row's
  /// particle. Moments are summed pair by pair (as kOrdered sums them,
  /// whatever `method` says). Not with `errors`. The rows' size is checked
  /// against memory_limit before any work.
  bool per_particle = false;
  /// Threads; 0 for every processor. More than the processors is capped (a note says so).
  int threads = 0;
  /// Bytes the result and working arrays may take; 0 for half the physical
  /// memory (or half the address-space limit, when one is set).
  std::size_t memory_limit = 0;
  /// Called on the calling thread with the fraction of the work done.
  std::function<void(double)> progress = {};
  /// Called on the calling thread now and then; returning true cancels the
  /// analysis with AnalysisError::Kind::kCancelled.
  std::function<bool()> cancelled = {};
};

/// Standard errors of the per-lag means, estimated from the spread of
/// independent groups of pairs. When at least 20 particles have pairs at a
/// lag, the groups are the particles: the error is the spread of their own
/// means around the pooled one, weighted by their pair counts. Otherwise the
/// groups are windows of origin frames inside each particle, at least 4 lags
/// long (pairs from overlapping origins are correlated over about one lag),
/// doubled while at least 16 windows remain and the estimate still grows by
/// more than its own uncertainty. Fewer than about 10 groups make the error
/// itself uncertain by more than a quarter; fewer than 2 give NaN.
struct StandardErrors {
  std::vector<double> msd;
  /// Of msd_x and msd_y (two dimensions, with msd_axes), indexed [axis][row].
  std::vector<std::vector<double>> msd_axis;
  std::vector<double> ngp;
  std::vector<double> alpha2;
  /// Of fs, indexed [wave number][row]; NaN where fs is.
  std::vector<std::vector<double>> fs;
  /// Of the cos columns, indexed [wave number][row].
  std::vector<std::vector<double>> cos_x, cos_y, cos_r;
  /// The groups behind each row's msd error (or its first error column).
  std::vector<long> groups;

  bool empty() const { return groups.empty(); }
};

/// One entry per requested lag in every per-lag vector of a wanted quantity
/// (unwanted ones are empty); the scattering vectors are indexed
/// [wave number][row]. A lag without a pair has NaN means.
struct AnalysisResult {
  /// The axes summed over (1, 2 or 3).
  int dimensions = 2;
  std::vector<double> wave_numbers = {};
  /// What was computed; the columns of the others are empty.
  Quantities quantities = {};
  std::vector<long> lag;
  std::vector<long> pairs;
  /// With per_particle: each row's particle id (rows ordered by particle,
  /// then lag); empty otherwise.
  std::vector<std::int64_t> particle;
  // Moments sum over the axes present: in two dimensions msd = <dx^2 + dy^2>.
  std::vector<double> msd;       ///< <sum of d^2>
  std::vector<double> mqd;       ///< <sum of d^4>
  std::vector<double> ngp;       ///< (dimensions / 3) mqd / msd^2 - 1
  std::vector<double> skewness;  ///< mcd - 3 msd md + 2 md^3
  std::vector<double> md;        ///< <sum of d>
  std::vector<double> mcd;       ///< <sum of d^3>
  /// Per axis a (x, y, z: `dimensions` of them): msd_axis[a] = <d_a^2>,
  /// mean_axis[a] = <d_a> (the drift over the lag).
  std::vector<std::vector<double>> msd_axis, mean_axis;
  /// msd - |<d>|^2: the msd about the mean displacement.
  std::vector<double> msd_centered;
  /// d <|dr|^4> / ((d + 2) msd^2) - 1 in d dimensions: 0 for Gaussian
  /// displacements.
  std::vector<double> alpha2;
  /// fs[w][row]: the isotropic self scattering function at wave number w,
  /// <J0(q |dr|)> in two dimensions, <sin(q |dr|) / (q |dr|)> in three,
  /// <cos(q dx)> in one; NaN at lags whose displacements would need more
  /// directions than are allowed (a note says which).
  std::vector<std::vector<double>> fs;
  /// Scattering along x, y, z (each where the axis is present) and r, the
  /// sum of the axes (x + y, or x + y + z; none in one dimension).
  std::vector<std::vector<double>> cos_x, cos_y, cos_z, cos_r, sin_x, sin_y, sin_z, sin_r;
  /// Filled when AnalysisOptions::errors is set.
  StandardErrors errors = {};
  /// Things a front end should tell the user (a capped thread count, ...).
  std::vector<std::string> notes;

  std::size_t rows() const { return lag.size(); }
};

class AnalysisError : public std::runtime_error {
 public:
  enum class Kind {
    kInvalidInput,    ///< the records cannot be analysed (lengths, duplicates, infinities)
    kInvalidOptions,  ///< an option is out of range
    kTooLarge,        ///< the result or the work would exceed the machine
    kOutOfMemory,     ///< memory ran out while computing
    kCancelled,       ///< the cancellation callback asked to stop
  };
  AnalysisError(Kind error_kind, const std::string& message, long first_record = -1, long second_record = -1)
      : std::runtime_error(message), kind(error_kind), record(first_record), other_record(second_record) {}
  Kind kind;
  /// The input rows (counted from 0) the message is about, or -1.
  long record;
  long other_record;
};

/// The wave numbers 1/s of the 15 default length scales.
std::vector<double> default_wave_numbers();

/// Runs the analysis. Throws AnalysisError; never aborts on bad input or
/// exhausted memory. Empty input, or input whose particles have no two
/// records, gives a result without rows (for kAll and kLogSpaced).
///
/// Counts are exact. With kExact and kOrdered, moments are bit-identical to the
/// plain pair kernel (per lag, each particle's terms summed in origin order,
/// particle sums pooled in increasing particle id) for every lag choice,
/// thread count and instruction set, and kOrdered's scattering means are within
/// 1e-9 of it. kFast's promise is in method.h.
///
/// Cost: grouping O(n log n) (O(n) when rows already come sorted by particle
/// and frame); per particle, the cheaper of its pairs and its frame span.
AnalysisResult analyse(const TrajectoryData& data, const AnalysisOptions& options = {});

/// Whether a note only informs (the threads used, the grid of the frames)
/// rather than warns about the results; quiet front ends leave those out.
bool informational_note(std::string_view note);

}  // namespace msdisf
