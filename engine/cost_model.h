// The engine's cost model: rough costs of its inner steps in nanoseconds on
// one core, and the bytes its transform buffers take per point.
//
// The costs steer choices between paths that all keep their promises
// (transforms or pair sums, one more level of windows or none, a thread per
// channel or every thread on one transform) and weigh the progress reports.
// The paths chosen decide which exact-by-construction or bounded arithmetic
// forms a value, so the constants are part of what the results are: a
// change to one may move values within their bounds, never beyond them.
#pragma once

#include <cmath>

namespace msdisf::detail {

/// One pair in the lane-per-lag moment kernel (moment_kernel.h): five sums
/// of one SIMD lane updated, a share of the loads of its vector.
inline constexpr double kLaneCost = 0.6;

/// One pair on the sparse path: its four moments, the lookup of its lag's
/// row and the walk over the records to find it.
inline constexpr double kPairCost = 4.0;

/// One sine and one cosine of the plain kernel, a call to libm each.
inline constexpr double kSincosCost = 16.0;

/// One phase factor by phase_sincos, vectorised over a reduced range.
inline constexpr double kPhaseCost = 2.0;

/// One product conj(z_a) * z_b added to a running sum, the data in cache.
inline constexpr double kProductCost = 1.0;

/// The same product over arrays far larger than the caches, with both
/// threads streaming them from memory at once: bound by memory bandwidth.
inline constexpr double kStreamedProductCost = 4.0;

/// One complex transform, per point and per log2 of its size.
inline constexpr double kComplexFftCost = 0.8;

/// One real transform (half as many complex points as real ones), per
/// point and per log2 of its size.
inline constexpr double kRealFftCost = 0.35;

/// Writing one entry of one sequence that is to be transformed.
inline constexpr double kFillCost = 1.0;

/// One record at one lag in a pass of the standard errors: its pair found,
/// its terms formed and added to its groups.
inline constexpr double kErrorRecordCost = 3.0;

/// The transforms of one scattering channel of n points: its forward
/// transform and half of an inverse shared with the next channel (both
/// squared spectra are real), 1.5 complex transforms in all.
inline double channel_transform_cost(double n) { return 1.5 * kComplexFftCost * n * std::log2(n); }

/// Bytes per point of the transform buffers of one scattering channel: a
/// complex buffer (16) and a real squared spectrum (8).
inline constexpr double kTransformBytesPerPoint = 24.0;

}  // namespace msdisf::detail
