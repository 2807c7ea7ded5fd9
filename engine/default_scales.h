// The fifteen length scales of the default scattering columns. Wave number
// q = 1 / s for a scale s (no factor 2 pi).
#pragma once

#include <array>

namespace msdisf {

inline constexpr std::array<double, 15> kDefaultLengthScales = {
    5.36, 7.5, 10.18, 13.93, 18.75, 25.18, 33.75, 44.46, 58.93, 80.36, 101.79, 139.29, 187.5, 251.79, 267.86};

}  // namespace msdisf
