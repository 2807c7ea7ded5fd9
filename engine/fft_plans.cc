#include "engine/fft_plans.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <variant>
#include <vector>

#include "engine/huge_pages.h"

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

// Called under the planner lock.
void plan_with_threads(int threads) {
  static const bool threads_ready = fftw_init_threads() != 0;
  fftw_plan_with_nthreads(threads_ready ? threads : 1);
}

void destroy_pair(fftw_plan& forward, fftw_plan& backward) {
  if (forward != nullptr) fftw_destroy_plan(forward);
  if (backward != nullptr) fftw_destroy_plan(backward);
  forward = backward = nullptr;
}

}  // namespace

FftPlans::FftPlans(long size, int threads) : size_(size) {
  const FftBuffer probe = make_fft_buffer(size);
  const std::lock_guard<std::mutex> guard(planner_lock());
  probe_planner_memory(size);
  plan_with_threads(threads);
  const int n = static_cast<int>(size);
  forward_ = fftw_plan_dft_1d(n, probe.get(), probe.get(), FFTW_FORWARD, FFTW_ESTIMATE);
  backward_ = fftw_plan_dft_1d(n, probe.get(), probe.get(), FFTW_BACKWARD, FFTW_ESTIMATE);
  bool planned = forward_ != nullptr && backward_ != nullptr;
  if (planned && size <= kOutOfPlaceLimit) {
    const FftBuffer other = make_fft_buffer(size);
    forward_out_ = fftw_plan_dft_1d(n, probe.get(), other.get(), FFTW_FORWARD, FFTW_ESTIMATE);
    backward_out_ = fftw_plan_dft_1d(n, probe.get(), other.get(), FFTW_BACKWARD, FFTW_ESTIMATE);
    planned = forward_out_ != nullptr && backward_out_ != nullptr;
  }
  if (!planned) {
    destroy_pair(forward_, backward_);
    destroy_pair(forward_out_, backward_out_);
    throw std::bad_alloc();
  }
}

FftPlans::~FftPlans() {
  const std::lock_guard<std::mutex> guard(planner_lock());
  destroy_pair(forward_, backward_);
  destroy_pair(forward_out_, backward_out_);
}

RealFftPlans::RealFftPlans(long size, int threads) : size_(size) {
  const FftBuffer probe = make_fft_buffer(size / 2 + 1);
  const FftBuffer other = make_fft_buffer(size / 2 + 1);
  const std::lock_guard<std::mutex> guard(planner_lock());
  probe_planner_memory(size / 2 + 1);
  plan_with_threads(threads);
  const int n = static_cast<int>(size);
  forward_ = fftw_plan_dft_r2c_1d(n, &probe[0][0], probe.get(), FFTW_ESTIMATE);
  backward_ = fftw_plan_dft_c2r_1d(n, probe.get(), &other[0][0], FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  if (size <= kApartLimit) forward_apart_ = fftw_plan_dft_r2c_1d(n, &other[0][0], probe.get(), FFTW_ESTIMATE);
  if (forward_ == nullptr || backward_ == nullptr || (size <= kApartLimit && forward_apart_ == nullptr)) {
    destroy_pair(forward_, backward_);
    if (forward_apart_ != nullptr) fftw_destroy_plan(forward_apart_);
    throw std::bad_alloc();
  }
}

RealFftPlans::~RealFftPlans() {
  const std::lock_guard<std::mutex> guard(planner_lock());
  destroy_pair(forward_, backward_);
  if (forward_apart_ != nullptr) fftw_destroy_plan(forward_apart_);
}

namespace {

// Plans kept between analyses, most recently used last. Never destroyed, so
// that no plan outlives FFTW's own state at exit.
class RetainedPlans {
 public:
  template <class Plans>
  std::shared_ptr<const Plans> take(long size, int threads) {
    const std::lock_guard<std::mutex> guard(lock_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->size != size || it->threads != threads) continue;
      if (auto* plans = std::get_if<std::shared_ptr<const Plans>>(&it->plans)) {
        auto found = std::move(*plans);
        kept_.erase(it);
        return found;
      }
    }
    return nullptr;
  }

  template <class Plans>
  void give(long size, int threads, std::shared_ptr<const Plans> plans) {
    if (!plans) return;          // planning failed for this size
    std::vector<Entry> dropped;  // destroyed outside the lock
    const std::lock_guard<std::mutex> guard(lock_);
    kept_.push_back({size, threads, std::move(plans)});
    long points = 0;
    for (const Entry& e : kept_) points += e.size;
    while (points > PlanCache::kRetainedPoints && !kept_.empty()) {
      points -= kept_.front().size;
      dropped.push_back(std::move(kept_.front()));
      kept_.erase(kept_.begin());
    }
  }

 private:
  struct Entry {
    long size;
    int threads;
    std::variant<std::shared_ptr<const FftPlans>, std::shared_ptr<const RealFftPlans>> plans;
  };
  std::mutex lock_;
  std::vector<Entry> kept_;
};

RetainedPlans& retained() {
  static auto* plans = new RetainedPlans;
  return *plans;
}

template <class Plans>
std::shared_ptr<const Plans> find_or_make(std::map<std::pair<long, int>, std::shared_ptr<const Plans>>& own, long size,
                                          int threads) {
  auto& plans = own[{size, threads}];
  if (!plans) plans = retained().take<Plans>(size, threads);
  if (!plans) plans = std::make_shared<const Plans>(size, threads);
  return plans;
}

}  // namespace

PlanCache::~PlanCache() {
  for (auto& [key, plans] : plans_) retained().give(key.first, key.second, std::move(plans));
  for (auto& [key, plans] : real_plans_) retained().give(key.first, key.second, std::move(plans));
}

std::shared_ptr<const FftPlans> PlanCache::get(long size, int threads) {
  const std::lock_guard<std::mutex> guard(lock_);
  return find_or_make(plans_, size, threads);
}

std::shared_ptr<const RealFftPlans> PlanCache::get_real(long size, int threads) {
  const std::lock_guard<std::mutex> guard(lock_);
  return find_or_make(real_plans_, size, threads);
}

namespace {

// Buffers given back, most recent last. Never destroyed, like the plans.
class RetainedBuffers {
 public:
  // The smallest kept buffer that holds `size` values without being more
  // than twice as large, or null.
  FftBuffer take(long size) {
    const std::lock_guard<std::mutex> guard(lock_);
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->capacity >= size && it->capacity <= 2 * size && (best == kept_.end() || it->capacity < best->capacity)) {
        best = it;
      }
    }
    if (best == kept_.end()) return nullptr;
    FftBuffer found(best->data, FftwFree{best->capacity});
    points_ -= best->capacity;
    kept_.erase(best);
    return found;
  }

  void give(fftw_complex* data, long capacity) {
    if (capacity > FftwFree::kRetainedBufferPoints) {
      fftw_free(data);  // would push out everything kept and then itself
      return;
    }
    keep_at_most(FftwFree::kRetainedBufferPoints, Entry{data, capacity});
  }

  long points() {
    const std::lock_guard<std::mutex> guard(lock_);
    return points_;
  }

  void release() { keep_at_most(0, std::nullopt); }

 private:
  struct Entry {
    fftw_complex* data;
    long capacity;
  };

  // Adds `given`, then frees the oldest buffers until at most `limit`
  // values are kept.
  void keep_at_most(long limit, std::optional<Entry> given) {
    std::vector<Entry> dropped;  // freed outside the lock
    {
      const std::lock_guard<std::mutex> guard(lock_);
      if (given) {
        kept_.push_back(*given);
        points_ += given->capacity;
      }
      while (points_ > limit && !kept_.empty()) {
        points_ -= kept_.front().capacity;
        dropped.push_back(kept_.front());
        kept_.erase(kept_.begin());
      }
    }
    for (const Entry& e : dropped) fftw_free(e.data);
  }

  std::mutex lock_;
  std::vector<Entry> kept_;
  long points_ = 0;
};

RetainedBuffers& retained_buffers() {
  static auto* buffers = new RetainedBuffers;
  return *buffers;
}

}  // namespace

void FftwFree::operator()(fftw_complex* p) const {
  if (p == nullptr) return;
  if (capacity > 0) {
    retained_buffers().give(p, capacity);
  } else {
    fftw_free(p);
  }
}

long retained_fft_buffer_points() { return retained_buffers().points(); }

void release_retained_fft_buffers() { retained_buffers().release(); }

FftBuffer make_fft_buffer(long size) {
  if (FftBuffer kept = retained_buffers().take(size)) return kept;
  const std::size_t bytes = static_cast<std::size_t>(size) * sizeof(fftw_complex);
  auto* data = static_cast<fftw_complex*>(fftw_malloc(bytes));
  if (data == nullptr) throw std::bad_alloc();
  advise_huge_pages(data, bytes);
  return FftBuffer(data, FftwFree{size});
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

long real_fft_size(long n) {
  long size = fft_size(n);
  while (size % 2 != 0) size = fft_size(size + 1);
  if (n <= kSmallTransform) return size;
  for (long five = 1; five <= 78125; five *= 5) {
    long candidate = five * 64;
    while (candidate < n) candidate *= 2;
    size = std::min(size, candidate);
  }
  return size;
}

}  // namespace msdisf::detail
