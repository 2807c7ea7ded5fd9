// FFTW plans for the phase-factor correlations. FFTW's planner is not
// thread-safe, so plans are made and destroyed under one lock and executed
// concurrently on each thread's own buffer (new-array execution).
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>

namespace msdisf::detail {

/// A forward and a backward complex transform of one size, in place and,
/// for sizes up to kOutOfPlaceLimit, also from one buffer into another.
/// FFTW's estimated plans run those at least as fast up to 32768 points (a
/// third faster at 2048: 3.1 against 4.4 us), and much slower above (463
/// against 287 us at 65536).
class FftPlans {
 public:
  /// Throws std::bad_alloc when the memory for planning cannot be had, rather
  /// than let FFTW end the process. `threads` above 1 splits each transform
  /// over that many threads.
  explicit FftPlans(long size, int threads = 1);
  ~FftPlans();
  FftPlans(const FftPlans&) = delete;
  FftPlans& operator=(const FftPlans&) = delete;

  static constexpr long kOutOfPlaceLimit = 32768;

  long size() const { return size_; }
  void forward(fftw_complex* data) const { fftw_execute_dft(forward_, data, data); }
  void backward(fftw_complex* data) const { fftw_execute_dft(backward_, data, data); }
  /// Whether the transforms from `in` into `out` (distinct FFTW buffers) exist.
  bool out_of_place() const { return forward_out_ != nullptr; }
  void forward(fftw_complex* in, fftw_complex* out) const { fftw_execute_dft(forward_out_, in, out); }
  void backward(fftw_complex* in, fftw_complex* out) const { fftw_execute_dft(backward_out_, in, out); }

 private:
  long size_;
  fftw_plan forward_ = nullptr;
  fftw_plan backward_ = nullptr;
  fftw_plan forward_out_ = nullptr;
  fftw_plan backward_out_ = nullptr;
};

/// A real-to-complex transform of an even size in place, and its inverse:
/// the n reals in a buffer of n / 2 + 1 complex values become their
/// spectrum's first half, and back (unnormalised).
class RealFftPlans {
 public:
  explicit RealFftPlans(long size, int threads = 1);
  ~RealFftPlans();
  RealFftPlans(const RealFftPlans&) = delete;
  RealFftPlans& operator=(const RealFftPlans&) = delete;

  /// Sizes up to this also transform from a buffer of reals into another,
  /// which FFTW runs faster than in place at these sizes (and no faster at
  /// larger ones).
  static constexpr long kApartLimit = 1L << 17;

  long size() const { return size_; }
  long spectrum_size() const { return size_ / 2 + 1; }
  void forward(fftw_complex* data) const { fftw_execute_dft_r2c(forward_, &data[0][0], data); }
  /// Sizes up to kApartLimit: `in` and `out` are distinct FFTW buffers.
  void forward(double* in, fftw_complex* out) const { fftw_execute_dft_r2c(forward_apart_, in, out); }
  /// The inverse from `spectrum` into another FFTW buffer, overwriting
  /// both: faster than in place for large sizes.
  void backward(fftw_complex* spectrum, fftw_complex* out) const {
    fftw_execute_dft_c2r(backward_, spectrum, &out[0][0]);
  }

 private:
  long size_;
  fftw_plan forward_ = nullptr;
  fftw_plan forward_apart_ = nullptr;
  fftw_plan backward_ = nullptr;
};

/// Plans shared by the work of one analysis, made once per size and thread
/// count. Planning a large size costs as much as a few of its transforms,
/// so the plans of the most recent analyses
/// are kept for the next ones, up to kRetainedPoints points in all.
class PlanCache {
 public:
  static constexpr long kRetainedPoints = 1L << 22;
  PlanCache() = default;
  ~PlanCache();
  PlanCache(const PlanCache&) = delete;
  PlanCache& operator=(const PlanCache&) = delete;
  std::shared_ptr<const FftPlans> get(long size, int threads);
  std::shared_ptr<const RealFftPlans> get_real(long size, int threads);

 private:
  std::mutex lock_;
  std::map<std::pair<long, int>, std::shared_ptr<const FftPlans>> plans_;
  std::map<std::pair<long, int>, std::shared_ptr<const RealFftPlans>> real_plans_;
};

/// Gives a buffer of `capacity` complex values back. Fresh memory costs a
/// page fault per page on first touch, a quarter of a transform's time at
/// 2 * 10^6 points on this kind of machine, so the buffers given back are
/// kept for the next ones asked for, up to kRetainedBufferPoints in all.
struct FftwFree {
  static constexpr long kRetainedBufferPoints = 1L << 23;
  long capacity = 0;
  void operator()(fftw_complex* p) const;
};
using FftBuffer = std::unique_ptr<fftw_complex[], FftwFree>;
/// A buffer of at least `size` complex values, aligned for FFTW; its contents
/// are arbitrary. Throws std::bad_alloc.
FftBuffer make_fft_buffer(long size);
/// The complex values held in buffers kept for later, and freeing them all.
long retained_fft_buffer_points();
void release_retained_fft_buffers();

/// Room for `count` values of a plain type from the same store, for large
/// temporaries that would otherwise be fresh pages on every call; contents
/// arbitrary.
template <class T>
class ReusedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T> &&
                alignof(T) <= alignof(fftw_complex) && sizeof(fftw_complex) % sizeof(T) == 0);

 public:
  ReusedArray() = default;
  explicit ReusedArray(long count) {
    const std::size_t bytes = static_cast<std::size_t>(std::max(count, 1L)) * sizeof(T);
    buffer_ = make_fft_buffer(static_cast<long>((bytes + sizeof(fftw_complex) - 1) / sizeof(fftw_complex)));
    data_ = reinterpret_cast<T*>(buffer_.get());
    std::uninitialized_default_construct_n(data_, count);
  }
  T* data() const { return data_; }
  T& operator[](long i) const { return data_[i]; }

 private:
  FftBuffer buffer_;
  T* data_ = nullptr;
};

/// Up to kSmallTransform, the smallest size >= n whose prime factors are all
/// 2, 3, 5 or 7 (the least padding; planning them is quick). Above it, the
/// smallest of the form 2^a * 3^b with b <= 4: of the smooth sizes near a
/// large n these are the ones FFTW both plans and runs fastest, and they lie
/// at most a fifth apart.
inline constexpr long kSmallTransform = 65536;
long fft_size(long n);
/// For real transforms, which need an even size: fft_size, or above
/// kSmallTransform the smallest 2^a * 5^b with a >= 6 and b <= 7 when that is
/// smaller: FFTW's estimated real plans run those faster than the nearby
/// sizes with a factor 3.
long real_fft_size(long n);

}  // namespace msdisf::detail
