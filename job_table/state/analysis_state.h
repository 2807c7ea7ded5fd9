// The analysis state: every counter and array that the readers, estimators
// and writer share. The driver creates one; every stage receives it by
// reference and reads and writes the members directly.
//
// Every array has `capacity` entries (matrices: 15 rows of `capacity`
// columns) and reads as zero until first written, TRAJNUMS excepted, which
// reads -1.0. The zeros come from zero-filled system memory, so creating the
// state at the driver's capacity (about 8 GB of address space) touches
// almost none of it.
#pragma once

#include <bit>
#include <cstdint>

#include "job_table/state/scales.h"

namespace msdisf {

/// The driver's capacity: entries per frame array, per lag array and matrix row.
inline constexpr int CAPACITY = 10'000'000;

/// Trajectory numbers per entry, reading -1.0 (no record) until written.
/// Values are stored with their bits flipped against -1.0, so zero-filled
/// memory reads as -1.0 without 80 MB being written at start-up; every
/// double, NaN included, comes back bit for bit.
class TrajectoryNumbers {
 public:
  explicit TrajectoryNumbers(long capacity);
  ~TrajectoryNumbers();
  TrajectoryNumbers(const TrajectoryNumbers&) = delete;
  TrajectoryNumbers& operator=(const TrajectoryNumbers&) = delete;

  double operator[](long i) const { return std::bit_cast<double>(bits_[i] ^ kMinusOneBits); }
  void set(long i, double value) { bits_[i] = std::bit_cast<std::uint64_t>(value) ^ kMinusOneBits; }

 private:
  static constexpr std::uint64_t kMinusOneBits = std::bit_cast<std::uint64_t>(-1.0);
  unsigned long* bits_;
};

struct AnalysisState {
  /// Creates every array at `capacity` entries; N starts at capacity.
  explicit AnalysisState(long capacity);
  ~AnalysisState();
  AnalysisState(const AnalysisState&) = delete;
  AnalysisState& operator=(const AnalysisState&) = delete;

  /// (Re)creates the seven zeroed accumulator matrices of the per-trajectory
  /// estimator with `columns` columns. A column count below 1 cannot be had and
  /// ends the process through the fatal allocation report.
  void create_accumulators(long columns);

  const long capacity;

  int N;
  int RANK = 0;
  int SIZE = 0;
  /// Higher-moment switch: set from start-up on, and nothing clears it.
  bool ALL = true;

  // Extraction targets of the readers.
  double x = 0.0;
  double y = 0.0;
  double t = 0.0;
  double trajnum = 0.0;

  // Per-frame arrays; a gap marker has NaN in X and Y.
  double* X;
  double* Y;
  int* T;
  TrajectoryNumbers TRAJNUMS;

  // Per-lag results: index k holds lag k + 1.
  double* md;
  double* msd;
  double* mcd;
  double* mqd;
  double* skewness;
  double* ngp;
  double* msdcounter;

  // Scattering matrices: row = scale index, column = lag index.
  double** isfx;
  double** isfy;
  double** isfr;
  double** isfx_im;
  double** isfy_im;
  double** isfr_im;

  // Accumulators of the per-trajectory estimator (null until it runs).
  long accum_columns = 0;
  double** isfx_accum = nullptr;
  double** isfy_accum = nullptr;
  double** isf_counts = nullptr;
  double** isfr_accum = nullptr;
  double** isfx_im_accum = nullptr;
  double** isfy_im_accum = nullptr;
  double** isfr_im_accum = nullptr;

 private:
  void release_accumulators();
};

}  // namespace msdisf
