#include "engine/fft_plans.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>

namespace msdisf::detail {

namespace {

std::mutex& planner_lock() {
  static std::mutex lock;
  return lock;
}

// FFTW ends the process when its own allocations fail. Planning a size
// allocates twiddle factors and scratch of a few times the transform, so
// that much is asked for first, where a failure can still be reported.
void probe_planner_memory(long size) {
  const std::size_t bytes = static_cast<std::size_t>(size) * sizeof(fftw_complex) * 4 + (1 << 20);
  void* probe = std::malloc(bytes);
  if (probe == nullptr) throw std::bad_alloc();
  std::free(probe);
}

}  // namespace

FftPlans::FftPlans(long size, int threads) : size_(size) {
  const FftBuffer probe = make_fft_buffer(size);
  const std::lock_guard<std::mutex> guard(planner_lock());
  probe_planner_memory(size);
  static const bool threads_ready = fftw_init_threads() != 0;
  fftw_plan_with_nthreads(threads_ready ? threads : 1);
  const int n = static_cast<int>(size);
  forward_ = fftw_plan_dft_1d(n, probe.get(), probe.get(), FFTW_FORWARD, FFTW_ESTIMATE);
  backward_ = fftw_plan_dft_1d(n, probe.get(), probe.get(), FFTW_BACKWARD, FFTW_ESTIMATE);
  if (forward_ == nullptr || backward_ == nullptr) {
    if (forward_ != nullptr) fftw_destroy_plan(forward_);
    if (backward_ != nullptr) fftw_destroy_plan(backward_);
    throw std::bad_alloc();
  }
}

FftPlans::~FftPlans() {
  const std::lock_guard<std::mutex> guard(planner_lock());
  fftw_destroy_plan(forward_);
  fftw_destroy_plan(backward_);
}

FftBuffer make_fft_buffer(long size) {
  auto* data = static_cast<fftw_complex*>(fftw_malloc(static_cast<std::size_t>(size) * sizeof(fftw_complex)));
  if (data == nullptr) throw std::bad_alloc();
  return FftBuffer(data);
}

long fft_size(long n) {
  n = std::max(n, 1L);
  if (n <= kSmallTransform) {
    for (long size = n;; ++size) {
      long rest = size;
      for (const long factor : {2L, 3L, 5L, 7L}) {
        while (rest % factor == 0) rest /= factor;
      }
      if (rest == 1) return size;
    }
  }
  long best = 0;
  for (const long odd : {1L, 3L, 9L, 27L, 81L}) {
    long size = odd;
    while (size < n) size *= 2;
    if (best == 0 || size < best) best = size;
  }
  return best;
}

}  // namespace msdisf::detail
