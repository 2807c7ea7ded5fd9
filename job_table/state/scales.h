// The fifteen length scales of the scattering functions. The wave number of
// scale m is q = 1 / scales[m] (no factor 2 pi). The estimators fill one
// matrix row per scale and the writer labels one column per scale, so the
// table and the matrices must have the same number of rows.
#pragma once

#include <array>

#include "engine/default_scales.h"

namespace msdisf {

inline constexpr int kScaleCount = static_cast<int>(kDefaultLengthScales.size());

inline constexpr std::array<double, kScaleCount> scales = kDefaultLengthScales;

}  // namespace msdisf
