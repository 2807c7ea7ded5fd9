#include "engine/msd_fit.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace msdisf {

namespace {

struct Points {
  std::vector<long> lag;
  std::vector<double> t, y, se;
};

// Summed squared overlap of windows of i and j frames over their offsets.
double overlap(double i, double j) {
  if (i > j) std::swap(i, j);
  return (j - i + 1.0) * i * i + (i - 1.0) * i * (2.0 * i - 1.0) / 3.0;
}

struct Line {
  double slope, slope_se, intercept, intercept_se;
};

// Weighted least squares with weights 1/se^2; the parameters' covariance is
// (X'WX)^-1 X'W C W X (X'WX)^-1 with C the modelled covariance of the points.
Line weighted_line(const Points& p) {
  const std::size_t n = p.t.size();
  double sw = 0.0, swt = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double w = 1.0 / (p.se[k] * p.se[k]);
    sw += w;
    swt += w * p.t[k];
  }
  const double mean_t = swt / sw;
  // With t centred on its weighted mean the two columns are orthogonal.
  double swuu = 0.0, swy = 0.0, swuy = 0.0;
  std::vector<double> u(n), g(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double w = 1.0 / (p.se[k] * p.se[k]);
    u[k] = p.t[k] - mean_t;
    swuu += w * u[k] * u[k];
    swy += w * p.y[k];
    swuy += w * u[k] * p.y[k];
  }
  double m00 = 0.0, m01 = 0.0, m11 = 0.0;
  std::vector<double> self(n);
  for (std::size_t k = 0; k < n; ++k) self[k] = overlap(static_cast<double>(p.lag[k]), static_cast<double>(p.lag[k]));
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = j; k < n; ++k) {
      const double lj = static_cast<double>(p.lag[j]), lk = static_cast<double>(p.lag[k]);
      const double r = overlap(lj, lk) / std::sqrt(self[j] * self[k]) / (p.se[j] * p.se[k]);
      const double twice = j == k ? 1.0 : 2.0;
      m00 += twice * r;
      m11 += twice * r * u[j] * u[k];
      m01 += r * (j == k ? u[j] : u[j] + u[k]);
    }
  }
  Line line;
  line.slope = swuy / swuu;
  const double centre = swy / sw;
  line.intercept = centre - line.slope * mean_t;
  const double var_slope = m11 / (swuu * swuu), var_centre = m00 / (sw * sw), cov = m01 / (sw * swuu);
  line.slope_se = std::sqrt(std::max(0.0, var_slope));
  line.intercept_se =
      std::sqrt(std::max(0.0, var_centre + mean_t * mean_t * var_slope - 2.0 * mean_t * cov));
  return line;
}

std::string number(double value) {
  if (!std::isfinite(value)) return "nan";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string json_number(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

MsdFit fit_msd(std::span<const long> lag, std::span<const double> t, std::span<const double> msd,
               std::span<const double> msd_se, long first_lag, long last_lag) {
  if (first_lag < 1 || last_lag < first_lag) {
    throw FitError("the lag range must be A:B with 1 <= A <= B, not " + std::to_string(first_lag) + ":" +
                   std::to_string(last_lag));
  }
  Points linear, logarithmic;
  for (std::size_t k = 0; k < lag.size(); ++k) {
    if (lag[k] < first_lag || lag[k] > last_lag) continue;
    if (!std::isfinite(msd[k]) || !std::isfinite(t[k]) || !(msd_se[k] > 0.0) || !std::isfinite(msd_se[k])) continue;
    linear.lag.push_back(lag[k]);
    linear.t.push_back(t[k]);
    linear.y.push_back(msd[k]);
    linear.se.push_back(msd_se[k]);
    if (msd[k] > 0.0 && t[k] > 0.0) {
      logarithmic.lag.push_back(lag[k]);
      logarithmic.t.push_back(std::log(t[k]));
      logarithmic.y.push_back(std::log(msd[k]));
      logarithmic.se.push_back(msd_se[k] / msd[k]);
    }
  }
  if (linear.t.size() < 2) {
    throw FitError("lags " + std::to_string(first_lag) + " to " + std::to_string(last_lag) + " hold " +
                   std::to_string(linear.t.size()) +
                   " row(s) with an msd and a positive msd_se; a fit needs two");
  }
  MsdFit fit;
  fit.first_lag = first_lag;
  fit.last_lag = last_lag;
  fit.points = static_cast<long>(linear.t.size());
  const Line line = weighted_line(linear);
  fit.diffusion = line.slope / 4.0;
  fit.diffusion_se = line.slope_se / 4.0;
  fit.offset = line.intercept;
  fit.offset_se = line.intercept_se;
  fit.exponent = fit.exponent_se = NAN;
  if (logarithmic.t.size() >= 2) {
    const Line power = weighted_line(logarithmic);
    fit.exponent = power.slope;
    fit.exponent_se = power.slope_se;
  }
  return fit;
}

std::string describe_fit(const MsdFit& fit, const std::string& time_unit) {
  std::string out = "msd fit over lags " + std::to_string(fit.first_lag) + " to " + std::to_string(fit.last_lag) +
                    " (" + std::to_string(fit.points) + " points, weights 1/msd_se^2):\n";
  out += "  D      = " + number(fit.diffusion) + " +/- " + number(fit.diffusion_se) + "   (length^2 per " +
         time_unit + "; msd = 4 D t + offset)\n";
  out += "  offset = " + number(fit.offset) + " +/- " + number(fit.offset_se) + "\n";
  out += "  alpha  = " + number(fit.exponent) + " +/- " + number(fit.exponent_se) + "   (msd ~ t^alpha)\n";
  out += "Errors are one standard error; nearby lags count as correlated as for a diffusing particle.\n";
  return out;
}

std::string fit_json(const MsdFit& fit, const std::string& time_unit) {
  return "{\"first_lag\": " + std::to_string(fit.first_lag) + ", \"last_lag\": " + std::to_string(fit.last_lag) +
         ", \"points\": " + std::to_string(fit.points) + ", \"D\": " + json_number(fit.diffusion) +
         ", \"D_se\": " + json_number(fit.diffusion_se) + ", \"offset\": " + json_number(fit.offset) +
         ", \"offset_se\": " + json_number(fit.offset_se) + ", \"alpha\": " + json_number(fit.exponent) +
         ", \"alpha_se\": " + json_number(fit.exponent_se) + ", \"time_unit\": \"" + time_unit + "\"}\n";
}

}  // namespace msdisf
