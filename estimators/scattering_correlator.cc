#include "estimators/scattering_correlator.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

#include "estimators/parallel.h"

namespace msdisf {

namespace {

// Lags with fewer candidate pairs than this are summed directly.
long direct_tail(long length) { return std::max(256L, length / 2048); }

struct Plans {
  fftw_plan forward;
  fftw_plan backward;
};

// FFTW's planner is not thread-safe; plans are made under a lock, once per
// size, and executed concurrently on each thread's own buffer. The cache
// gives its plans back when the program ends.
class PlanCache {
 public:
  ~PlanCache() {
    for (auto& [size, plans] : plans_) {
      fftw_destroy_plan(plans.forward);
      fftw_destroy_plan(plans.backward);
    }
  }
  Plans get(long size) {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = plans_.find(size);
    if (found != plans_.end()) return found->second;
    fftw_complex* probe = fftw_alloc_complex(static_cast<std::size_t>(size));
    const Plans plans{fftw_plan_dft_1d(static_cast<int>(size), probe, probe, FFTW_FORWARD, FFTW_ESTIMATE),
                      fftw_plan_dft_1d(static_cast<int>(size), probe, probe, FFTW_BACKWARD, FFTW_ESTIMATE)};
    fftw_free(probe);
    plans_.emplace(size, plans);
    return plans;
  }

 private:
  std::mutex lock_;
  std::map<long, Plans> plans_;
};

Plans plans_for(long size) {
  static PlanCache cache;
  return cache.get(size);
}

enum Direction { kX = 0, kY = 1, kR = 2 };

// Channel c < 45 is scale c / 3 in direction c % 3; channel 45 is the mask.
constexpr int kPhaseChannels = 3 * kScaleCount;

void fill_channel(int channel, const double* x, const double* y, long length, long size, fftw_complex* z) {
  const bool mask = channel == kPhaseChannels;
  const double q = mask ? 0.0 : 1.0 / scales[static_cast<std::size_t>(channel / 3)];
  const int direction = channel % 3;
  for (long a = 0; a < length; ++a) {
    if (std::isnan(x[a]) || std::isnan(y[a])) {
      z[a][0] = z[a][1] = 0.0;
      continue;
    }
    if (mask) {
      z[a][0] = 1.0;
      z[a][1] = 0.0;
      continue;
    }
    const double phase = direction == kX ? x[a] * q : direction == kY ? y[a] * q : q * (x[a] + y[a]);
    ::sincos(phase, &z[a][1], &z[a][0]);
  }
  std::fill(&z[length][0], &z[0][0] + 2 * size, 0.0);
}

void store(int channel, const ScatteringTarget& target, double* counts, long lag, double re, double im) {
  if (channel == kPhaseChannels) {
    counts[lag - 1] = std::round(re);
    return;
  }
  const int m = channel / 3;
  const long column = target.column + lag - 1;
  double** cosines[3] = {target.cx, target.cy, target.cr};
  double** sines[3] = {target.sx, target.sy, target.sr};
  cosines[channel % 3][m][column] += re;
  sines[channel % 3][m][column] += im;
}

}  // namespace

long fft_size(long n) {
  for (long size = std::max(n, 1L);; ++size) {
    long rest = size;
    for (const long factor : {2L, 3L, 5L, 7L}) {
      while (rest % factor == 0) rest /= factor;
    }
    if (rest == 1) return size;
  }
}

void add_scattering_by_correlation(const double* x, const double* y, long length, long max_lag,
                                   const ScatteringTarget& target, double* counts, int threads) {
  max_lag = std::min(max_lag, length - 1);
  if (max_lag < 1) return;
  const long first_direct = std::max(1L, length - direct_tail(length) + 1);
  const long fft_lags = std::min(max_lag, first_direct - 1);
  const long size = fft_lags > 0 ? fft_size(2 * length - 1) : length;
  const Plans plans = fft_lags > 0 ? plans_for(size) : Plans{};
  const int channels = kPhaseChannels + (counts != nullptr ? 1 : 0);

#pragma omp parallel num_threads(thread_count(threads))
  {
    fftw_complex* z = fftw_alloc_complex(static_cast<std::size_t>(size));
#pragma omp for schedule(dynamic, 1)
    for (int channel = 0; channel < channels; ++channel) {
      fill_channel(channel, x, y, length, size, z);
      for (long lag = first_direct; lag <= max_lag; ++lag) {
        double re = 0.0;
        double im = 0.0;
        for (long a = 0; a + lag < length; ++a) {
          // conj(z[a]) * z[a + lag]
          re += z[a][0] * z[a + lag][0] + z[a][1] * z[a + lag][1];
          im += z[a][0] * z[a + lag][1] - z[a][1] * z[a + lag][0];
        }
        store(channel, target, counts, lag, re, im);
      }
      if (fft_lags > 0) {
        fftw_execute_dft(plans.forward, z, z);
        for (long k = 0; k < size; ++k) {
          z[k][0] = z[k][0] * z[k][0] + z[k][1] * z[k][1];
          z[k][1] = 0.0;
        }
        fftw_execute_dft(plans.backward, z, z);
        const double scale = 1.0 / static_cast<double>(size);
        for (long lag = 1; lag <= fft_lags; ++lag)
          store(channel, target, counts, lag, z[lag][0] * scale, z[lag][1] * scale);
      }
    }
    fftw_free(z);
  }
}

}  // namespace msdisf
