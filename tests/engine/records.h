// Records held by a test, viewed as the engine's input.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/analysis.h"

namespace msdisf::testing {

struct Records {
  std::vector<double> x, y;
  std::vector<std::int64_t> frame, particle;
  std::vector<double> z = {};  ///< empty in one and two dimensions (y empty in one)
  TrajectoryData data() const { return {x, y, frame, particle, z}; }
};

}  // namespace msdisf::testing
