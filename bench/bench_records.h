// What the engine benchmarks share: Brownian records as trackers write them,
// and the wall time of a piece of work.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "engine/analysis.h"

namespace msdisf::bench {

struct Records {
  std::vector<double> x, y;
  std::vector<std::int64_t> frame, particle;
  std::vector<double> z = {};
  TrajectoryData data() const { return {x, y, frame, particle, z}; }
};

/// Brownian particles (a variance of 2 per step and axis) starting at 1000,
/// with the fraction `missing` of positions NaN; with several particles,
/// rows come sorted by frame with the particles interleaved.
inline Records brownian(long particles, long frames, double missing = 0.01) {
  Records r;
  std::mt19937_64 random(7);
  std::normal_distribution<double> step(0.0, std::sqrt(2.0));
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> x(static_cast<std::size_t>(particles), 1000.0), y(x);
  for (long f = 0; f < frames; ++f) {
    for (long p = 0; p < particles; ++p) {
      auto& px = x[static_cast<std::size_t>(p)];
      auto& py = y[static_cast<std::size_t>(p)];
      px += step(random);
      py += step(random);
      const bool gone = missing > 0.0 && unit(random) < missing;
      r.x.push_back(gone ? NAN : px);
      r.y.push_back(gone ? NAN : py);
      r.frame.push_back(f);
      if (particles > 1) r.particle.push_back(p);
    }
  }
  return r;
}

inline double seconds_of(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace msdisf::bench
