// The fifteen length scales of the scattering functions. The wave number of
// scale m is q = 1 / scales[m] (no factor 2 pi). The estimators fill one
// matrix row per scale and the writer labels one column per scale, so the
// table and the matrices must have the same number of rows.
#pragma once

#include <array>

namespace msdisf {

inline constexpr int kScaleCount = 15;

inline constexpr std::array<double, kScaleCount> scales = {5.36,  7.5,   10.18,  13.93,  18.75, 25.18,  33.75, 44.46,
                                                           58.93, 80.36, 101.79, 139.29, 187.5, 251.79, 267.86};

}  // namespace msdisf
