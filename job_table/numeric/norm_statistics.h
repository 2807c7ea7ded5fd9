// Simple statistics on sequences: mean, population variance, an
// autocorrelation time, and the normalised autocorrelation of the norms of
// a sequence of two-dimensional points.
#pragma once

#include <iostream>
#include <utility>
#include <vector>

namespace msdisf {

/// Sum in index order divided by the count; NaN for an empty list or any NaN value.
double mean(const std::vector<double>& values);

/// Population variance about the given centre (divisor n, not n - 1); NaN when empty.
double variance(const std::vector<double>& values, double mean_value);

/// Sum of the leading run of strictly positive values, lag 0 included; stops at
/// the first value that is zero, negative or NaN. 0 for an empty list.
double calculate_autocorrelation_time(const std::vector<double>& values);

/// Normalised autocorrelation of the norms r = sqrt(x^2 + y^2), entries for
/// lags 0..max_lag-1. A point with a NaN norm is missing: it is skipped in
/// every sum but still counts in every divisor. Reports its input and progress
/// on `out`. A negative max_lag throws std::length_error before printing.
std::vector<double> autocorrelation_2D(const std::vector<std::pair<double, double>>& points, int max_lag,
                                       std::ostream& out = std::cout);

}  // namespace msdisf
