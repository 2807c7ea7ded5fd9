// Fits of an msd curve with standard errors: a diffusion coefficient from
// msd = 4 D t + offset (the offset absorbs localisation noise) and, apart,
// the exponent alpha of msd ~ t^alpha.
//
// Both are least-squares fits weighted by 1 / se^2. The msd of nearby lags
// comes from largely the same displacements, so the points are not
// independent; the fitted values' errors take the covariance of the points
// into account as overlapping windows of a diffusing particle give it: for
// lags i <= j, corr(msd_i, msd_j) = S(i, j) / sqrt(S(i, i) S(j, j)) with
// S(i, j) = (j - i + 1) i^2 + (i - 1) i (2i - 1) / 3, the sum over window
// offsets of the squared overlap of the two windows, scaled by the measured
// per-lag errors. For other motion the errors of D and alpha are approximate.
#pragma once

#include <span>
#include <stdexcept>
#include <string>

namespace msdisf {

struct MsdFit {
  long first_lag = 0;  ///< the fitted lags, in frames
  long last_lag = 0;
  long points = 0;  ///< rows with a finite msd and a positive standard error
  double diffusion = 0.0, diffusion_se = 0.0;
  double offset = 0.0, offset_se = 0.0;
  double exponent = 0.0, exponent_se = 0.0;
};

class FitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Fits the rows whose lag lies in [first_lag, last_lag]. `lag` is in frames
/// (it sets the correlations); `t` is the abscissa, the lag or the lag times
/// a time step (D is then per that unit). Rows without a finite msd or a
/// positive error are left out; the exponent uses the rows with msd > 0.
/// Throws FitError when fewer than two rows are left.
MsdFit fit_msd(std::span<const long> lag, std::span<const double> t, std::span<const double> msd,
               std::span<const double> msd_se, long first_lag, long last_lag);

/// The fit as a readable block, and as one JSON object.
std::string describe_fit(const MsdFit& fit, const std::string& time_unit);
std::string fit_json(const MsdFit& fit, const std::string& time_unit);

}  // namespace msdisf
