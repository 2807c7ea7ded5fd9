// FFTW plans for the phase-factor correlations. FFTW's planner is not
// thread-safe, so plans are made and destroyed under one lock and executed
// concurrently on each thread's own buffer (new-array execution).
#pragma once

#include <fftw3.h>

#include <memory>

namespace msdisf::detail {

/// A forward and a backward in-place complex transform of one size.
class FftPlans {
 public:
  /// Throws std::bad_alloc when the memory for planning cannot be had, rather
  /// than let FFTW end the process.
  explicit FftPlans(long size);
  ~FftPlans();
  FftPlans(const FftPlans&) = delete;
  FftPlans& operator=(const FftPlans&) = delete;

  long size() const { return size_; }
  void forward(fftw_complex* data) const { fftw_execute_dft(forward_, data, data); }
  void backward(fftw_complex* data) const { fftw_execute_dft(backward_, data, data); }

 private:
  long size_;
  fftw_plan forward_ = nullptr;
  fftw_plan backward_ = nullptr;
};

/// A buffer of `size` complex values, aligned for FFTW. Throws std::bad_alloc.
struct FftwFree {
  void operator()(fftw_complex* p) const { fftw_free(p); }
};
using FftBuffer = std::unique_ptr<fftw_complex[], FftwFree>;
FftBuffer make_fft_buffer(long size);

/// The smallest size >= n whose prime factors are all 2, 3, 5 or 7.
long fft_size(long n);

}  // namespace msdisf::detail
