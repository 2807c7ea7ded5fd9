// Sine and cosine of many phases at once, for the phase factors exp(i*phi)
// of the correlation paths. Vectorised, and accurate to a few units in the
// last place for |phi| <= 2^20, the range the engine keeps its phases in.
#pragma once

namespace msdisf::detail {

/// Largest |phi| for which phase_sincos keeps its accuracy (abs error < 1e-15).
inline constexpr double kSincosRange = 1048576.0;  // 2^20

/// cos_sin[2 i] = cos(phi[i]), cos_sin[2 i + 1] = sin(phi[i]) for i < n: the
/// layout of an array of complex numbers.
void phase_sincos(const double* phi, long n, double* cos_sin);

}  // namespace msdisf::detail
