// phase_sincos against the C library over its whole range, the quadrant
// boundaries and the tail of a block.
#include "engine/phase_sincos.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace msdisf::detail {
namespace {

TEST(PhaseSincos, AgreesWithTheLibraryOverItsRange) {
  std::mt19937_64 random(3);
  std::vector<double> phi = {0.0, -0.0, M_PI_4, -M_PI_4, M_PI_2, M_PI, 3 * M_PI_2, -M_PI, kSincosRange, -kSincosRange};
  for (const double scale : {1.0, 10.0, 1e3, 1e5, kSincosRange}) {
    std::uniform_real_distribution<double> uniform(-scale, scale);
    for (int i = 0; i < 200001; ++i) phi.push_back(uniform(random));
  }
  std::vector<double> out(2 * phi.size());
  phase_sincos(phi.data(), static_cast<long>(phi.size()), out.data());
  for (std::size_t i = 0; i < phi.size(); ++i) {
    ASSERT_NEAR(out[2 * i], std::cos(phi[i]), 1e-15) << phi[i];
    ASSERT_NEAR(out[2 * i + 1], std::sin(phi[i]), 1e-15) << phi[i];
  }
}

}  // namespace
}  // namespace msdisf::detail
