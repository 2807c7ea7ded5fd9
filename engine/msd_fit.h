// Fits of an msd curve with standard errors: msd = 2 d D t^alpha + offset
// in d dimensions, D, alpha and the offset fitted together. The offset
// absorbs localisation noise (2 d sigma^2 for a noise sigma per axis), which
// a fit of alpha alone would read as subdiffusion.
//
// The fit is least squares weighted by 1 / se^2. The msd of nearby lags
// comes from largely the same displacements, so the points are not
// independent; the fitted values' errors take the covariance of the points
// into account as overlapping windows of a diffusing particle give it: for
// lags i <= j, corr(msd_i, msd_j) = S(i, j) / sqrt(S(i, i) S(j, j)) with
// S(i, j) = (j - i + 1) i^2 + (i - 1) i (2i - 1) / 3, the sum over window
// offsets of the squared overlap of the two windows, scaled by the measured
// per-lag errors. For other motion the errors are approximate.
#pragma once

#include <span>
#include <stdexcept>
#include <string>

namespace msdisf {

/// The exponents the fit searches, in steps of kExponentStep, before it
/// refines the best one.
inline constexpr double kSmallestExponent = 0.01;
inline constexpr double kLargestExponent = 3.0;
inline constexpr double kExponentStep = 0.01;

struct MsdFit {
  long first_lag = 0;  ///< the fitted lags, in frames
  long last_lag = 0;
  long points = 0;  ///< rows with a finite msd, a positive t and a positive standard error
  int dimensions = 2;
  double diffusion = 0.0, diffusion_se = 0.0;  ///< D, in length^2 per unit of t to the alpha
  double offset = 0.0, offset_se = 0.0;
  double exponent = 0.0, exponent_se = 0.0;  ///< alpha
};

class FitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Fits the rows whose lag lies in [first_lag, last_lag] of a table in
/// `dimensions` dimensions (1 to 3). `lag` is in frames (it sets the
/// correlations); `t` is the abscissa, the lag or the lag times a time step
/// (D is then per that unit). Rows without a finite msd, a positive t or a
/// positive error are left out. Throws FitError when fewer than three rows
/// are left, or when the best alpha lies at the edge of the exponents
/// searched (the msd does not have that shape over these lags).
MsdFit fit_msd(std::span<const long> lag, std::span<const double> t, std::span<const double> msd,
               std::span<const double> msd_se, long first_lag, long last_lag, int dimensions);

/// The fit as a readable block, and as one JSON object.
std::string describe_fit(const MsdFit& fit, const std::string& time_unit);
std::string fit_json(const MsdFit& fit, const std::string& time_unit);

}  // namespace msdisf
