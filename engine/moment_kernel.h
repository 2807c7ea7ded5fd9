// Displacement moment sums for many lags at once, in the exact order of the
// plain pair kernel.
//
// Each SIMD lane holds one lag and walks the origins in increasing order, so
// every lane's sum is the plain sequential sum of its lag: the bits do not
// depend on the vector width, the processor, or how lags are split among
// threads. The kernel is compiled for AVX-512, AVX2 and baseline x86-64 and
// picks the widest the processor has when the program starts.
#pragma once

#include <cstdint>
#include <vector>

namespace msdisf::detail {

/// Moment sums of one lag: s1 = sum(dx + dy), s2 = sum(dx^2 + dy^2),
/// s3 = sum(dx^3 + dy^3), s4 = sum(dx^4 + dy^4), pairs = the valid-pair count.
struct LagMoments {
  double s1 = 0.0;
  double s2 = 0.0;
  double s3 = 0.0;
  double s4 = 0.0;
  double pairs = 0.0;
};

/// A copy of one contiguous range of entries with a validity mask (all bits
/// set where x and y are both numbers), followed by padding that is invalid,
/// so that pairs reaching past the range need no bounds test.
class PaddedRange {
 public:
  static constexpr long kPadding = 64;
  /// Where a range keeps its arrays when the caller provides the room: each
  /// holds entries(span) values and outlives the range.
  struct Storage {
    double* x;
    double* y;
    long long* valid;
  };
  /// The entries of each array of a range spanning `length` entries.
  static long entries(long length) { return length + kPadding; }

  PaddedRange(const double* x, const double* y, long length);
  /// Records at sorted frames laid out on the frame grid frame[0]..frame[n-1];
  /// frames without a record are invalid entries.
  PaddedRange(const double* x, const double* y, const std::int64_t* frame, long records);
  /// The same in the caller's storage, so that many short ranges share a few
  /// large allocations.
  PaddedRange(const double* x, const double* y, const std::int64_t* frame, long records, Storage storage);
  PaddedRange(const PaddedRange&) = delete;
  PaddedRange& operator=(const PaddedRange&) = delete;
  PaddedRange(PaddedRange&&) = default;
  PaddedRange& operator=(PaddedRange&&) = default;

  long length() const { return length_; }
  const double* x() const { return x_; }
  const double* y() const { return y_; }
  const long long* valid() const { return valid_; }
  /// Whether every entry of the range is valid.
  bool without_gaps() const { return valid_entries_ == length_; }

 private:
  void allocate();
  void lay_out(const double* x, const double* y, const std::int64_t* frame, long records);

  long length_;
  long valid_entries_ = 0;
  std::vector<double> own_x_;
  std::vector<double> own_y_;
  std::vector<long long> own_valid_;
  double* x_ = nullptr;
  double* y_ = nullptr;
  long long* valid_ = nullptr;
};

/// Sums of the pairs (a, a + L) with 0 <= a and a + L < length, for every lag L
/// in [lag_begin, lag_end); out[L - lag_begin] receives lag L. A pair counts
/// when both coordinates at both ends are numbers. Runs on `threads` threads
/// (1 for the calling thread only, 0 for all processors).
void lag_moment_sums(const PaddedRange& range, long lag_begin, long lag_end, LagMoments* out, int threads);

/// Sums of the pairs (a, a + L) for each of the `count` lags in `lags`
/// (ascending); out[i] receives lags[i]. Blocks of consecutive lags use the
/// contiguous kernel, scattered lags a gathering one; either way each lag's
/// sum is the plain sequential sum over its origins.
void lag_moment_sums_for(const PaddedRange& range, const long* lags, long count, LagMoments* out, int threads);

/// The instruction sets the kernel is built for.
enum class KernelPath { kBaseline, kAvx2, kAvx512 };

/// Whether this processor can run `path`.
bool kernel_path_supported(KernelPath path);

/// lag_moment_sums on a chosen instruction set, so that every path can be
/// checked against the others; `path` must be supported.
void lag_moment_sums_on(KernelPath path, const PaddedRange& range, long lag_begin, long lag_end, LagMoments* out,
                        int threads);

}  // namespace msdisf::detail
